// vorlex-sim: a virtual card reader on a pty (or a serial device) for the library and its tools.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "decimal_option.h"
#include "device_link.h"
#include "link.h"
#include "private_dev.h"
#include "replay.h"
#include "scripted_reader.h"
#include "sim_responder.h"
#include "supervise.h"
#include "virtual_reader.h"

namespace {

using namespace vorlex::sim;
namespace launch = vorlex::launch;

// What --help prints after the options: the reader that answers.
constexpr char kReaderSummary[] = R"(The simulated reader (details in docs/simulator.md):
  versions   "VORLEX-SIM HW 1.0" / "VORLEX-SIM SW 1.0"
  card       one dual-interface card: Mifare Classic 1K (ATQA 0004, UID 3A5C719E unless the
             card file says otherwise) with an ISO 14443-4 application. Card request mode 0
             wakes an idle card, mode 1 a halted one too; a request or halt ends every
             authentication. Keys FFFFFFFFFFFF, access bytes FF0780 69 in every trailer;
             reading or writing a block needs its sector authenticated with a key the access
             bits allow. Block 0 is read-only, key A always reads as zeros.
  APDUs      card, SAMs and RF-SIM answer SELECT (by name or file id), GET CHALLENGE,
             READ BINARY (EF 0015 on the cards, EF 0016 on the SAMs), 80 5C 00 02 04 GET
             BALANCE on the cards; 6D00 unknown INS, 6E00 unknown CLA.
  SAMs       slots 1 and 2 answer APDUs only while powered on.
  RF-SIM     identifier 860123456789ABCD.
  purses     CPU card (class FE) and RF-SIM (class FD): init, then search with an amount,
             then purchase. A purchase debits the balance; a short balance is refused.
Reader status words: 0101 unknown command, 0102 bad length, 0103 bad checksum,
  0104 bad argument, 0201 no card, 0202 card not selected, 0301 authentication failed,
  0302 not authenticated, 0303 access denied, 0304 bad block address, 0305 bad access bits,
  0306 card file not saved, 0401 SAM not powered, 0501 module not initialised,
  0502 insufficient balance, 0503 no purchase prepared, 0504 bad amount.
)";

struct Settings {
  ReaderOptions reader;
  FaultOptions faults;
  bool trace = false;
  std::optional<std::string> device, link, log;
  std::optional<unsigned long> slow_bytes;
  bool pace = false;
  std::optional<std::string> replay;
  bool replay_timing = false, replay_strict = false;
  // run
  bool run = false;
  std::optional<int> com;
  std::vector<std::string> program;
  std::vector<std::string> lose_answers;
};

[[noreturn]] void UsageError(const std::string& text) {
  std::cerr << "vorlex-sim: " << text << "\nTry 'vorlex-sim --help'.\n";
  std::exit(2);
}

// Every option of the simulated reader, in one place: the plain simulator and `run` take the
// same set.
void AddReaderOptions(CLI::App& app, Settings& s) {
  const std::string line = "Line", cards = "Cards", faults = "Faults", other = "Other";
  app.add_option("--device", s.device, "serve this serial device (raw, 115200 8N1), not a new pty")
      ->option_text("PATH")
      ->group(line);
  app.add_option("--link", s.link,
                 "keep a symlink PATH to the pty (a stale symlink is replaced; removed at exit)")
      ->option_text("PATH")
      ->group(line);

  app.add_option("--card-file", s.reader.card_file,
                 "Mifare 1K image, 1024 bytes: loaded if it exists, saved after each write")
      ->option_text("PATH")
      ->group(cards);
  app.add_option("--balance", s.reader.balance,
                 "starting balance of both purses (default 10000 = 100.00)")
      ->transform(vorlex::command_line::Decimal())
      ->check(CLI::Range(0u, 0x7FFFFFFFu))
      ->option_text("CENTS")
      ->group(cards);
  app.add_flag("--no-card", s.reader.no_card,
               "an empty field: card requests and purse searches answer \"no card\"")
      ->group(cards);

  app.add_flag("--silent", s.faults.silent, "never answer")->group(faults);
  app.add_option("--drop-every", s.faults.drop_every, "no answer to every Nth request")
      ->transform(vorlex::command_line::Decimal())
      ->check(CLI::Range(1u, 1000000u))
      ->option_text("N")
      ->group(faults);
  app.add_option("--corrupt", s.faults.corrupt, "answers with a wrong stx, etx or checksum")
      ->transform(CLI::CheckedTransformer(
          std::map<std::string, Corruption>{{"stx", Corruption::kStx},
                                            {"etx", Corruption::kEtx},
                                            {"checksum", Corruption::kChecksum}}))
      ->option_text("stx|etx|checksum")
      ->group(faults);
  app.add_flag("--truncate", s.faults.truncate, "answers cut after half their bytes")
      ->group(faults);
  app.add_option("--fault-every", s.faults.fault_every,
                 "--corrupt and --truncate hit every Nth answer only (default 1)")
      ->transform(vorlex::command_line::Decimal())
      ->check(CLI::Range(1u, 1000000u))
      ->option_text("N")
      ->group(faults);
  app.add_option("--lose-answer", s.lose_answers,
                 "no answer to the Nth request (default 1) for command NAME (a name from the "
                 "trace, or its end: PURCHASE is CPU_PBOC_PURCHASE and RFSIM_PURCHASE); the "
                 "request is carried out. Repeatable")
      ->option_text("NAME[:N]")
      ->group(faults);
  app.add_option("--slow-bytes", s.slow_bytes, "wait US microseconds before each answer byte")
      ->transform(vorlex::command_line::Decimal())
      ->check(CLI::Range(0ul, 10000000ul))
      ->option_text("US")
      ->group(faults);
  app.add_flag("--pace", s.pace, "answer at line speed, 115200 baud (86.8 us a byte)")
      ->group(faults);

  app.add_flag("--trace", s.trace, "print every request and answer, decoded")->group(other);
  app.add_option("--log", s.log,
                 "write the simulator's lines (all but the pty path) to FILE, not stdout "
                 "(run: stderr)")
      ->option_text("FILE")
      ->group(other);

  const std::string replay = "Replay (docs/tap.md)";
  auto* file = app.add_option("--replay", s.replay,
                              "answer from a vorlex-tap recording (JSON lines) instead of the "
                              "simulated reader; exit 1 at the end after a mismatch")
                   ->option_text("FILE")
                   ->group(replay);
  app.add_flag("--replay-timing", s.replay_timing, "answer after the recorded delays")
      ->needs(file)
      ->group(replay);
  app.add_flag("--replay-strict", s.replay_strict, "stop at the first mismatch")
      ->needs(file)
      ->group(replay);
}

// Combinations in which an option would change nothing, or contradict another, are refused, so
// that a mistyped test setup fails at once instead of quietly testing something else.
void CheckCombination(const std::function<bool(const char*)>& given, const Settings& s) {
  const auto refuse_with = [&given](const char* option, std::initializer_list<const char*> names,
                                    const std::string& why) {
    if (!given(option)) return;
    for (const char* name : names) {
      if (given(name)) UsageError(std::string(name) + " changes nothing: " + why);
    }
  };
  if (given("--fault-every") && !given("--corrupt") && !given("--truncate")) {
    UsageError("--fault-every changes nothing: it applies to --corrupt and --truncate");
  }
  refuse_with("--silent",
              {"--drop-every", "--corrupt", "--truncate", "--fault-every", "--slow-bytes", "--pace",
               "--lose-answer"},
              "--silent never answers");
  if (s.faults.drop_every == 1) {
    refuse_with("--drop-every",
                {"--corrupt", "--truncate", "--slow-bytes", "--pace", "--lose-answer"},
                "--drop-every 1 drops every answer");
  }
  refuse_with("--no-card", {"--card-file", "--balance"}, "with --no-card no card is ever found");
  if (given("--slow-bytes") && given("--pace")) UsageError("--slow-bytes and --pace contradict");
  if (given("--device") && given("--link")) UsageError("--link is for the pty, not --device");
  refuse_with("--replay",
              {"--card-file", "--balance", "--no-card", "--silent", "--drop-every", "--corrupt",
               "--truncate", "--fault-every", "--lose-answer"},
              "the answers come from the recording, faults included");
  refuse_with("--replay-timing", {"--pace", "--slow-bytes"}, "the recording has the timing");
}

Settings Parse(int argc, char** argv) {
  CLI::App app(
      "A virtual VORLEX contactless reader. It creates a pseudo-terminal, prints the path of\n"
      "its device on the first line of standard output (the bare path, for scripts) and\n"
      "answers the library there until it is stopped (Ctrl-C, SIGTERM). Other output: one\n"
      "line per display text, beep and purchase, and with --trace every request and answer.",
      "vorlex-sim");
  Settings settings;
  AddReaderOptions(app, settings);
  app.set_version_flag("--version", std::string("vorlex-sim ") + VORLEX_VERSION);
  app.footer(kReaderSummary);

  CLI::App* run = app.add_subcommand(
      "run",
      "Usage: vorlex-sim run [--com [N]] [simulator options] -- PROGRAM [ARGS...]\n"
      "Start the simulator and run PROGRAM against it; the simulator ends with PROGRAM, whose\n"
      "exit status is run's. PROGRAM finds the port in $VORLEX_PORT and the edition in\n"
      "$VORLEX_EDITION. With --com, PROGRAM runs in a private mount namespace whose /dev holds\n"
      "the COM port's device (COM33: /dev/ttyUSB0) as the simulator's pty, besides the usual\n"
      "nodes; as an ordinary user in a user namespace, as root in a mount namespace. Without\n"
      "--com PROGRAM gets the pty's path. The simulator's lines go to stderr or --log FILE.\n"
      "Exit 3: the simulator or the namespace could not be set up (the reason is printed).");
  AddReaderOptions(*run, settings);
  run->add_option("--com", settings.com,
                  "the e-purse edition's port COM N (default 33) is the simulator, in a private "
                  "/dev")
      ->transform(vorlex::command_line::Decimal())
      ->expected(0, 1)
      ->default_str("33")
      ->check(CLI::Validator(
          [](std::string& text) -> std::string {
            int number = 0;
            if (!CLI::detail::lexical_cast(text, number) || !launch::ComDevice(number)) {
              return "no COM port " + text + " (1 to 96)";
            }
            return {};
          },
          "N"))
      ->option_text("[N]")
      ->group("Run");

  // PROGRAM and its arguments follow "--" and are not ours to parse.
  int ours = argc;
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--") {
      ours = i;
      break;
    }
  }
  settings.program.assign(argv + std::min(ours + 1, argc), argv + argc);
  try {
    app.parse(ours, argv);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) std::exit(app.exit(error));
    UsageError(error.what());
  }
  settings.run = run->parsed();
  CheckCombination([&](const char* name) { return app.count(name) + run->count(name) != 0; },
                   settings);
  if (settings.run) {
    if (settings.program.empty()) UsageError("run: give the program after --");
    if (settings.device) UsageError("run serves a pty of its own; --device is not for run");
  } else {
    if (ours != argc) UsageError("a program after -- is for run: vorlex-sim run -- PROGRAM");
  }
  if (settings.slow_bytes) {
    settings.faults.per_byte = std::chrono::microseconds(*settings.slow_bytes);
  }
  if (settings.pace) settings.faults.per_byte = kLineSpeedPerByte;
  for (const std::string& text : settings.lose_answers) {
    std::string error;
    const std::optional<LostAnswer> lost = ParseLostAnswer(text, error);
    if (!lost) UsageError(error);
    settings.faults.lost_answers.push_back(*lost);
  }
  return settings;
}

// Where the simulator's lines go. Lines from the serving thread and the main thread never
// interleave.
std::mutex output_mutex;
std::ostream* lines = &std::cout;
void Say(const std::string& line) {
  std::lock_guard lock(output_mutex);
  *lines << line << std::endl;
}

// With --replay, the recording answers instead of the virtual reader.
std::optional<Replay> replay;

vorlex::engine::ScriptedReader::Responder Answering(const Settings& settings, VirtualReader& reader,
                                                    const TraceSink& trace) {
  if (!replay) return MakeResponder(reader, settings.faults, trace);
  return [&settings, trace](const vorlex::engine::ParsedFrame& request) {
    if (trace) trace("-> " + DescribeRequest(request.payload));
    vorlex::engine::Reply reply = replay->Answer(request);
    if (!settings.replay_timing && settings.faults.per_byte.count() > 0) {
      reply.Paced(settings.faults.per_byte);
    }
    if (trace) trace("<- " + vorlex::engine::HexText(reply.bytes, true));
    return reply;
  };
}

// What the run ends with: 1 after a replay mismatch, whatever it would have been otherwise.
int ReplayEnd(int status) {
  if (!replay) return status;
  std::cerr << replay->Summary() << "\n";
  return replay->mismatches() > 0 ? 1 : status;
}

// Hosts open the port exclusively (TIOCEXCL). A real serial device forgets that on its last
// close, but this pty stays open on our side: a host that ends without dropping the flag (the
// library does on Close_Reader; a killed program or another tool does not) would leave EBUSY
// to everyone but root. Drop it whenever a host closes the device.
class ExclusiveReleaser {
 public:
  explicit ExclusiveReleaser(const std::string& path) {
    own_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    watch_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    stop_ = ::eventfd(0, EFD_CLOEXEC);
    if (own_ < 0 || watch_ < 0 || stop_ < 0 ||
        ::inotify_add_watch(watch_, path.c_str(), IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
      std::cerr << "vorlex-sim: warning: cannot watch " << path
                << "; without root, only the first program to open it may succeed\n";
      return;
    }
    thread_ = std::thread([this] { Run(); });
  }
  ~ExclusiveReleaser() {
    if (thread_.joinable()) {
      const std::uint64_t one = 1;
      [[maybe_unused]] const ssize_t n = ::write(stop_, &one, sizeof one);
      thread_.join();
    }
    for (int fd : {own_, watch_, stop_}) {
      if (fd >= 0) ::close(fd);
    }
  }
  ExclusiveReleaser(const ExclusiveReleaser&) = delete;
  ExclusiveReleaser& operator=(const ExclusiveReleaser&) = delete;

 private:
  void Run() {
    char events[4096];
    for (;;) {
      pollfd fds[2] = {{stop_, POLLIN, 0}, {watch_, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
      if (fds[0].revents != 0) return;
      if (fds[1].revents == 0) continue;
      while (::read(watch_, events, sizeof events) > 0) {
      }
      ::ioctl(own_, TIOCNXCL);
    }
  }

  int own_ = -1, watch_ = -1, stop_ = -1;
  std::thread thread_;
};

// The reader and what answers on the line, as the settings want them: one place for both the
// pty and --device.
ReaderOptions LoggingReader(ReaderOptions options) {
  options.log = Say;
  return options;
}

vorlex::engine::ScriptedReader::Responder Responder(VirtualReader& reader,
                                                    const Settings& settings) {
  TraceSink trace;
  if (settings.trace) trace = Say;
  return Answering(settings, reader, trace);
}

// The simulator on a pty of its own: the reader, the pty, and the link when asked for one.
class PtySimulator {
 public:
  explicit PtySimulator(const Settings& settings) : reader_(LoggingReader(settings.reader)) {
    releaser_.emplace(engine_.port());
    engine_.SetResponder(Responder(reader_, settings));
    if (settings.link) link_.emplace(*settings.link, engine_.port());
  }
  PtySimulator(const PtySimulator&) = delete;
  PtySimulator& operator=(const PtySimulator&) = delete;

  const std::string& port() const { return engine_.port(); }

 private:
  VirtualReader reader_;
  vorlex::engine::ScriptedReader engine_;
  std::optional<ExclusiveReleaser> releaser_;
  std::optional<launch::PublishedLink> link_;  // gone first, while the pty still serves
};

int Run(const Settings& settings, int signals) {
  std::unique_ptr<PtySimulator> simulator;
  try {
    simulator = std::make_unique<PtySimulator>(settings);
  } catch (const std::exception& error) {
    std::cerr << "vorlex-sim: run: the simulator did not start: " << error.what() << "\n";
    return 3;
  }
  launch::ProgramLaunch program;
  program.argv = settings.program;
  program.pty = simulator->port();
  std::string port = program.pty;
  if (settings.com) {
    program.device = launch::ComDevice(*settings.com);
    port = "COM" + std::to_string(*settings.com);
  }
  program.environment = launch::EnvironmentWith(
      {{"VORLEX_PORT", port}, {"VORLEX_EDITION", settings.com ? "epurse" : "display"}});
  launch::LaunchResult started;
  try {
    started = launch::LaunchProgram(program);
  } catch (const std::exception& error) {
    std::cerr << "vorlex-sim: run: " << error.what() << "\n";
    return 3;
  }
  if (started.pid < 0) {
    std::cerr << "vorlex-sim: run: " << started.error << "\n";
    return started.exit_code;
  }
  Say("vorlex-sim: " + (program.device ? port + " is " + *program.device + " = " + program.pty +
                                             ", in " + started.isolation
                                       : "the reader is " + program.pty));
  return ReplayEnd(launch::WaitForProgram(started.pid, signals));
}

}  // namespace

int main(int argc, char** argv) {
  const Settings settings = Parse(argc, argv);
  const int start_failure = settings.run ? 3 : 1;
  static std::ofstream log_file;
  if (settings.run) lines = &std::cerr;
  if (settings.log) {
    log_file.open(*settings.log, std::ios::out | std::ios::trunc);
    if (!log_file) {
      std::cerr << "vorlex-sim: cannot write --log " << *settings.log << ": "
                << std::strerror(errno) << "\n";
      return start_failure;
    }
    lines = &log_file;
  }
  const int signals = launch::StopSignals(settings.run);
  if (signals < 0) {
    std::perror("vorlex-sim: signalfd");
    return start_failure;
  }
  try {
    if (settings.replay) {
      replay.emplace(
          LoadRecording(*settings.replay),
          ReplayOptions{.timing = settings.replay_timing, .strict = settings.replay_strict},
          [](const std::string& line) {
            std::lock_guard lock(output_mutex);
            std::cerr << line << std::endl;
          },
          [] { ::kill(::getpid(), SIGTERM); });
    }
  } catch (const std::exception& error) {
    std::cerr << "vorlex-sim: --replay: " << error.what() << "\n";
    return start_failure;
  }
  if (settings.run) return Run(settings, signals);
  try {
    if (settings.device) {
      VirtualReader reader(LoggingReader(settings.reader));
      const auto responder = Responder(reader, settings);
      const int device = OpenRawDevice(*settings.device);
      {
        std::lock_guard lock(output_mutex);
        std::cout << *settings.device << std::endl;
      }
      const bool ok = ServeDevice(device, signals, responder);
      ::close(device);
      if (!ok) {
        std::cerr << "vorlex-sim: " << *settings.device << " failed or went away\n";
        return 1;
      }
      return ReplayEnd(0);
    }
    PtySimulator simulator(settings);
    {
      std::lock_guard lock(output_mutex);
      std::cout << simulator.port() << std::endl;  // the first line: the bare path, for scripts
    }
    launch::WaitReadable(signals);
    return ReplayEnd(0);
  } catch (const std::exception& error) {
    std::cerr << "vorlex-sim: " << error.what() << "\n";
    return 1;
  }
}
