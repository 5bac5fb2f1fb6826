// vorlex-sim: a virtual card reader on a pty (or a serial device) for the library and its tools.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
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

#include "com_port_option.h"
#include "decimal_option.h"
#include "device_link.h"
#include "guarded_main.h"
#include "link.h"
#include "log_file.h"
#include "private_agent.h"
#include "private_dev.h"
#include "privileges.h"
#include "replay.h"
#include "scripted_reader.h"
#include "sim_control.h"
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
             card file says otherwise) with an ISO 14443-4 application (--card mifare: no
             ATS, no APDUs; --card cpu: no Mifare memory). Card request mode 0
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
  0104 bad argument, 0201 no card, 0202 card not selected, 0203 no ISO 14443-4,
  0301 authentication failed,
  0302 not authenticated, 0303 access denied, 0304 bad block address, 0305 bad access bits,
  0306 card file not saved, 0401 SAM not powered, 0402 no SAM, 0501 module not initialised,
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
  // ctl
  bool ctl = false;
  std::vector<std::string> ctl_words;
  std::vector<std::string> replay_vary;
  // run
  bool run = false;
  std::optional<int> com;
  bool pcsc = false;
  std::optional<std::string> agent;
  std::vector<std::string> allow;
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

  app.add_option("--card", s.reader.card,
                 "the card in the field: mifare (Classic 1K alone, no ATS), cpu (ISO 14443-4 "
                 "alone) or dual (both, the default)")
      ->transform(CLI::CheckedTransformer(std::map<std::string, CardKind>{
          {"mifare", CardKind::kMifare}, {"cpu", CardKind::kCpu}, {"dual", CardKind::kDual}}))
      ->option_text("mifare|cpu|dual")
      ->group(cards);
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
                              "simulated reader; exit 1 at the end (run: 4 for a program's 0) "
                              "unless every recorded exchange played without a mismatch")
                   ->option_text("FILE")
                   ->group(replay);
  app.add_flag("--replay-timing", s.replay_timing, "answer after the recorded delays")
      ->needs(file)
      ->group(replay);
  app.add_flag("--replay-strict", s.replay_strict, "stop at the first mismatch")
      ->needs(file)
      ->group(replay);
  app.add_option("--replay-vary", s.replay_vary,
                 "COMMAND:FIRST-LAST: these data bytes of COMMAND's requests may differ from the "
                 "recording (shown when they do), e.g. CPU_PBOC_REQA_CARD:5-11, a purchase's time")
      ->check(CLI::Validator(
          [](std::string& text) -> std::string {
            try {
              ParseVaryingBytes(text);
            } catch (const std::invalid_argument& error) {
              return error.what();
            }
            return {};
          },
          "COMMAND:FIRST-LAST"))
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
      "Usage: vorlex-sim run [--com [N] | --pcsc | --agent [EDITION]] [simulator options]\n"
      "                      -- PROGRAM [ARGS...]\n"
      "Start the simulator and run PROGRAM against it; the simulator ends with PROGRAM, whose\n"
      "exit status is run's. PROGRAM finds the port in $VORLEX_PORT, the edition in\n"
      "$VORLEX_EDITION and a link to the simulator's pty in $VORLEX_SIM_LINK (--link's, or\n"
      "one of run's own, for vorlex-sim ctl), and gets descriptors 0-2 only. Signals sent to\n"
      "run are passed on, once; after SIGHUP, SIGINT, SIGQUIT or SIGTERM\n"
      "PROGRAM has 5 s before SIGKILL. PROGRAM and all it started end with run, even when run\n"
      "is killed. With --com, PROGRAM runs in a private mount namespace whose /dev holds the\n"
      "COM port's device (COM33: /dev/ttyUSB0) as the simulator's pty, besides the usual\n"
      "nodes; as an ordinary user in a user namespace, as root in a mount namespace. Without\n"
      "--com PROGRAM gets the pty's path. With --pcsc a private pcscd with the driver serves\n"
      "the simulator (docs/pcsc.md) and PROGRAM finds it through $PCSCLITE_CSOCK_NAME.\n"
      "With --agent a private vorlex-agent serves it (docs/agent.md): PROGRAM finds it\n"
      "through $VORLEX_AGENT_URL and $VORLEX_AGENT_TOKEN.\n"
      "The simulator's lines go to stderr or --log FILE.\n"
      "Exit 3: the simulator or the namespace could not be set up (the reason is printed).");
  AddReaderOptions(*run, settings);
  run->add_option("--com", settings.com,
                  "the e-purse edition's port COM N (default 33) is the simulator, in a private "
                  "/dev")
      ->expected(0, 1)
      ->default_str("33")
      ->transform(vorlex::command_line::ComPortNumber())
      ->option_text("[N]")
      ->group("Run");
  run->add_flag("--pcsc", settings.pcsc,
                "a private pcscd (own namespace, own socket) with libifdvorlex serves the "
                "simulator; PROGRAM gets $PCSCLITE_CSOCK_NAME and $VORLEX_SIM_LINK")
      ->group("Run");
  run->add_option("--agent", settings.agent,
                  "a private vorlex-agent (EDITION epurse or display, default epurse) serves the "
                  "simulator; PROGRAM gets $VORLEX_AGENT_URL and $VORLEX_AGENT_TOKEN")
      ->expected(0, 1)
      ->default_str("epurse")
      ->check(CLI::IsMember({"epurse", "display"}))
      ->option_text("[EDITION]")
      ->group("Run");
  run->add_option("--allow", settings.allow, "with --agent: a web origin the agent lets in")
      ->option_text("ORIGIN")
      ->group("Run");

  CLI::App* ctl = app.add_subcommand(
      "ctl",
      "Usage: vorlex-sim ctl [--link PATH] COMMAND [ARG]\n"
      "Change the cards of a running simulator (one started with --link PATH; inside\n"
      "`vorlex-sim run` the link comes from $VORLEX_SIM_LINK). Commands: remove [card|sam1|\n"
      "sam2|rfsim] and insert [...] (default: the card), load FILE (another 1024-byte Mifare\n"
      "image for the card, which is inserted), stats (requests answered so far).\n"
      "Exit 0 when done, 1 when the simulator refused, 3 when no simulator serves the link.");
  ctl->add_option("--link", settings.link, "the running simulator's --link")->option_text("PATH");
  ctl->add_option("command", settings.ctl_words, "COMMAND [ARG]")->required()->expected(1, 2);

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
  settings.ctl = ctl->parsed();
  if (settings.ctl) {
    if (!settings.link) {
      if (const char* link = std::getenv("VORLEX_SIM_LINK"); link != nullptr && *link != '\0') {
        settings.link = link;
      } else {
        UsageError("ctl: give --link PATH, or run it where $VORLEX_SIM_LINK is set");
      }
    }
    return settings;
  }
  CheckCombination([&](const char* name) { return app.count(name) + run->count(name) != 0; },
                   settings);
  if (settings.run) {
    if (settings.program.empty()) UsageError("run: give the program after --");
    // CLI11 takes an empty value of an option whose value is optional as no value at all.
    for (const std::string& given : run->get_option("--com")->results()) {
      if (given.empty()) {
        UsageError(
            "run: --com \"\" is no COM port: give --com N (1 to 96), --com alone for "
            "COM33, or no --com for the pty's path");
      }
    }
    if (settings.device) UsageError("run serves a pty of its own; --device is not for run");
    if (settings.pcsc && settings.com) UsageError("--pcsc and --com contradict: choose one");
    if (settings.agent && (settings.pcsc || settings.com)) {
      UsageError("--agent owns the simulator's port: not with --com or --pcsc");
    }
    if (!settings.allow.empty() && !settings.agent) UsageError("--allow is for --agent");
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

// A replay that did not play through (a mismatch, or recorded exchanges left unplayed) ends the
// plain simulator with 1. `run` hides neither outcome: a failing program keeps its status, and
// a program's 0 becomes kReplayNotPlayedThrough; the summary line tells the replay's side.
constexpr int kReplayNotPlayedThrough = 4;
int ReplayEnd(int status, bool run) {
  if (!replay) return status;
  std::cerr << replay->Summary() << "\n";
  if (replay->PlayedThrough()) return status;
  if (!run) return 1;
  if (status != 0) return status;
  std::cerr << "vorlex-sim: run: the program exited 0, but the replay did not play through: exit "
            << kReplayNotPlayedThrough << "\n";
  return kReplayNotPlayedThrough;
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
    if (settings.link) {
      link_.emplace(*settings.link, engine_.port());
      control_.emplace(link_->claim(), reader_);
    }
  }
  PtySimulator(const PtySimulator&) = delete;
  PtySimulator& operator=(const PtySimulator&) = delete;

  const std::string& port() const { return engine_.port(); }

 private:
  VirtualReader reader_;
  vorlex::engine::ScriptedReader engine_;
  std::optional<ExclusiveReleaser> releaser_;
  std::optional<launch::PublishedLink> link_;  // gone first, while the pty still serves
  std::optional<ControlServer> control_;       // before that, on the link's claim socket
};

// The driver for `run --pcsc`: $VORLEX_PCSC_DRIVER, else beside us as installed
// (bin/../lib/pcsc/drivers/serial) or as built (bin/../pcsc).
std::optional<std::string> PcscDriver() {
  if (const char* given = std::getenv("VORLEX_PCSC_DRIVER"); given != nullptr && *given != '\0') {
    return given;
  }
  std::error_code error;
  const std::filesystem::path bin =
      std::filesystem::read_symlink("/proc/self/exe", error).parent_path();
  for (const char* relative :
       {"../lib/pcsc/drivers/serial/libifdvorlex.so", "../pcsc/libifdvorlex.so"}) {
    const std::filesystem::path candidate = (bin / relative).lexically_normal();
    if (std::filesystem::exists(candidate, error)) return candidate.string();
  }
  return std::nullopt;
}

// A private pcscd for `run --pcsc`: its folder (configuration, the socket folder bound on its
// /run/pcscd, the simulator's link), the daemon, and their end.
class PrivatePcscd {
 public:
  PrivatePcscd() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vorlex-pcsc-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::system_error(errno, std::generic_category(), "mkdtemp");
    }
    folder_ = pattern;
    std::filesystem::create_directory(folder_ / "run");
  }
  ~PrivatePcscd() {
    if (pid_ > 0) {
      launch::PassSignal(lifeline_, SIGTERM, ::getpid());  // through its keeper
      ::waitpid(pid_, nullptr, 0);
    }
    if (lifeline_ >= 0) ::close(lifeline_);
    std::error_code error;
    std::filesystem::remove_all(folder_, error);
  }
  PrivatePcscd(const PrivatePcscd&) = delete;
  PrivatePcscd& operator=(const PrivatePcscd&) = delete;

  std::string link() const { return (folder_ / "reader").string(); }
  std::string socket() const { return (folder_ / "run" / "pcscd.comm").string(); }

  // Starts pcscd on `pty`; empty when it runs, else why not (and `exit_code`).
  std::string Start(const std::string& pty, const std::string& driver, int& exit_code) {
    const std::filesystem::path config = folder_ / "reader.conf";
    std::ofstream(config) << "FRIENDLYNAME \"VORLEX reader\"\nDEVICENAME " << pty << "\nLIBPATH "
                          << driver << "\n";
    launch::ProgramLaunch daemon;
    daemon.argv = {"pcscd", "--foreground", "--config", config.string()};
    daemon.environment = launch::EnvironmentWith({});
    daemon.pty = pty;
    daemon.folder = launch::FolderMount{(folder_ / "run").string(), "/run/pcscd"};
    // Its log is no part of the program's output: the run's standard output is the program's.
    daemon.output_to_errors = true;
    const launch::LaunchResult started = launch::LaunchProgram(daemon);
    if (started.pid < 0) {
      exit_code = started.exit_code == 127 ? 3 : started.exit_code;
      return "pcscd: " + started.error;
    }
    pid_ = started.pid;
    lifeline_ = started.lifeline;  // held until we end, however we end: then pcscd ends too
    isolation_ = started.isolation;
    // Ready once its socket is there; a daemon that ended has said why on stderr.
    for (int tries = 0; tries < 200; ++tries) {
      if (std::filesystem::exists(socket())) return {};
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        exit_code = 3;
        return "pcscd ended at its start (exit status " +
               std::to_string(launch::ExitStatus(status)) + ")";
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    exit_code = 3;
    return "pcscd made no socket in 10 s";
  }
  const std::string& isolation() const { return isolation_; }

 private:
  std::filesystem::path folder_;
  pid_t pid_ = -1;
  int lifeline_ = -1;
  std::string isolation_;
};

// A private folder of the run's (`run` without --link keeps its link there), removed at the end.
class RunFolder {
 public:
  RunFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vorlex-run-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
    }
    path_ = pattern;
  }
  ~RunFolder() {
    std::error_code error;
    std::filesystem::remove_all(path_, error);
  }
  RunFolder(const RunFolder&) = delete;
  RunFolder& operator=(const RunFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

int Run(const Settings& given, launch::Supervisor& supervisor) {
  Settings settings = given;
  std::optional<RunFolder> own_link;  // outlives the simulator, which removes the link first
  std::unique_ptr<PrivatePcscd> pcscd;
  std::optional<std::string> driver;
  if (settings.pcsc) {
    driver = PcscDriver();
    if (!driver) {
      std::cerr << "vorlex-sim: run: --pcsc: no libifdvorlex.so beside vorlex-sim (set "
                   "VORLEX_PCSC_DRIVER)\n";
      return 3;
    }
    try {
      pcscd = std::make_unique<PrivatePcscd>();
    } catch (const std::exception& error) {
      std::cerr << "vorlex-sim: run: --pcsc: " << error.what() << "\n";
      return 3;
    }
    // ctl reaches the simulator inside the run through a link of the run's own.
    if (!settings.link) settings.link = pcscd->link();
  }
  if (!settings.link) {
    // The same without --pcsc: the program's `vorlex-sim ctl` finds the simulator by it.
    try {
      own_link.emplace();
    } catch (const std::exception& error) {
      std::cerr << "vorlex-sim: run: " << error.what() << "\n";
      return 3;
    }
    settings.link = (own_link->path() / "reader").string();
  }
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
  std::vector<std::pair<std::string, std::string>> environment = {
      {"VORLEX_PORT", port},
      {"VORLEX_EDITION", settings.agent ? *settings.agent
                         : settings.com ? "epurse"
                                        : "display"}};
  // The link (vorlex-sim ctl finds the simulator by it): --link's, or the run's own.
  environment.emplace_back("VORLEX_SIM_LINK", std::filesystem::absolute(*settings.link).string());
  if (pcscd) {
    int exit_code = 3;
    const std::string failure = pcscd->Start(program.pty, *driver, exit_code);
    if (!failure.empty()) {
      std::cerr << "vorlex-sim: run: --pcsc: " << failure << "\n";
      return exit_code;
    }
    environment.emplace_back("PCSCLITE_CSOCK_NAME", pcscd->socket());
    Say("vorlex-sim: pcscd serves the reader in " + pcscd->isolation() + ", socket " +
        pcscd->socket());
  }
  std::unique_ptr<PrivateAgent> agent;
  if (settings.agent) {
    try {
      agent = std::make_unique<PrivateAgent>(PrivateAgent::Program(), program.pty, *settings.agent,
                                             settings.allow);
    } catch (const std::exception& error) {
      std::cerr << "vorlex-sim: run: --agent: " << error.what() << "\n";
      return 3;
    }
    environment.emplace_back("VORLEX_AGENT_URL", agent->url());
    environment.emplace_back("VORLEX_AGENT_TOKEN", agent->token());
    Say("vorlex-sim: vorlex-agent serves the reader at " + agent->url());
  }
  program.environment = launch::EnvironmentWith(environment);
  launch::LaunchResult started;
  try {
    started = supervisor.Start(program);
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
  return ReplayEnd(supervisor.Wait(), true);
}

int Main(int argc, char** argv) {
  const Settings settings = Parse(argc, argv);
  if (settings.ctl) return RunControl(*settings.link, settings.ctl_words);
  const int start_failure = settings.run ? 3 : 1;
  std::optional<launch::Supervisor> supervisor;
  try {
    supervisor.emplace();
  } catch (const std::exception& error) {
    std::cerr << "vorlex-sim: " << error.what() << "\n";
    return start_failure;
  }
  static std::optional<launch::LogFile> log_file;
  if (settings.run) lines = &std::cerr;
  if (settings.log) {
    try {
      lines = &log_file.emplace(*settings.log);
    } catch (const std::exception& error) {
      std::cerr << "vorlex-sim: cannot write --log " << error.what() << "\n";
      return start_failure;
    }
  }
  try {
    if (settings.replay) {
      std::vector<VaryingBytes> vary;
      for (const std::string& text : settings.replay_vary) vary.push_back(ParseVaryingBytes(text));
      replay.emplace(
          LoadRecording(*settings.replay),
          ReplayOptions{.timing = settings.replay_timing,
                        .strict = settings.replay_strict,
                        .vary = std::move(vary)},
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
  if (settings.run) return Run(settings, *supervisor);
  try {
    if (settings.device) {
      VirtualReader reader(LoggingReader(settings.reader));
      const auto responder = Responder(reader, settings);
      const int device = OpenRawDevice(*settings.device);
      {
        std::lock_guard lock(output_mutex);
        std::cout << *settings.device << std::endl;
      }
      const bool ok = ServeDevice(device, supervisor->fd(), responder);
      ::close(device);
      if (!ok) {
        std::cerr << "vorlex-sim: " << *settings.device << " failed or went away\n";
        return 1;
      }
      return ReplayEnd(0, false);
    }
    PtySimulator simulator(settings);
    {
      std::lock_guard lock(output_mutex);
      std::cout << simulator.port() << std::endl;  // the first line: the bare path, for scripts
    }
    return ReplayEnd(supervisor->Wait(), false);
  } catch (const std::exception& error) {
    std::cerr << "vorlex-sim: " << error.what() << "\n";
    return 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  vorlex::command_line::RefuseBorrowedPrivileges("vorlex-sim");
  return vorlex::command_line::GuardedMain("vorlex-sim", Main, argc, argv);
}
