// vorlex-sim: a virtual card reader on a pty (or a serial device) for the library and its tools.
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "device_link.h"
#include "scripted_reader.h"
#include "sim_responder.h"
#include "virtual_reader.h"

namespace {

using namespace vorlex::sim;

constexpr char kUsage[] = R"(Usage: vorlex-sim [OPTION]...
A virtual VORLEX contactless reader. It creates a pseudo-terminal, prints the path of its
device on the first line of standard output and answers the library there until it is stopped
(Ctrl-C, SIGTERM). Other output: one line per display text, beep and purchase, and with
--trace every request and answer.

Line:
  --device PATH      serve this serial device (raw, 115200 8N1) instead of a new pty
  --link PATH        keep a symlink PATH to the pty device (replaced if it is a symlink,
                     removed at exit)
Cards:
  --card-file PATH   Mifare 1K image (1024 bytes, blocks in order): loaded at start if it
                     exists, saved after every successful write
  --balance CENTS    starting balance of both purses (default 10000 = 100.00)
  --no-card          an empty field: card requests and purse searches answer "no card"
Faults:
  --silent           never answer
  --drop-every N     no answer to every Nth request
  --corrupt KIND     answers with a wrong stx, etx or checksum
  --truncate         answers cut after half their bytes
  --fault-every N    --corrupt and --truncate hit every Nth answer only (default 1)
  --slow-bytes US    wait US microseconds before each answer byte
  --pace             answer at line speed, 115200 baud (86.8 us a byte)
Other:
  --trace            print every request and answer, decoded
  --help, --version

The simulated reader (details in docs/simulator.md):
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
  0401 SAM not powered, 0501 module not initialised, 0502 insufficient balance,
  0503 no purchase prepared, 0504 bad amount.
)";

struct Settings {
  ReaderOptions reader;
  FaultOptions faults;
  bool trace = false;
  std::optional<std::string> device, link;
};

[[noreturn]] void UsageError(const std::string& text) {
  std::cerr << "vorlex-sim: " << text << "\nTry 'vorlex-sim --help'.\n";
  std::exit(2);
}

unsigned long Number(const char* option, const char* text, unsigned long max) {
  char* end = nullptr;
  errno = 0;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || value > max) {
    UsageError(std::string("--") + option + ": not a number from 0 to " + std::to_string(max) +
               ": " + text);
  }
  return value;
}

Settings Parse(int argc, char** argv) {
  enum {
    kDevice = 256,
    kLink,
    kCardFile,
    kBalance,
    kNoCard,
    kSilent,
    kDropEvery,
    kCorrupt,
    kTruncate,
    kFaultEvery,
    kSlowBytes,
    kPace,
    kTrace,
    kHelp,
    kVersion
  };
  static const option kOptions[] = {{"device", required_argument, nullptr, kDevice},
                                    {"link", required_argument, nullptr, kLink},
                                    {"card-file", required_argument, nullptr, kCardFile},
                                    {"balance", required_argument, nullptr, kBalance},
                                    {"no-card", no_argument, nullptr, kNoCard},
                                    {"silent", no_argument, nullptr, kSilent},
                                    {"drop-every", required_argument, nullptr, kDropEvery},
                                    {"corrupt", required_argument, nullptr, kCorrupt},
                                    {"truncate", no_argument, nullptr, kTruncate},
                                    {"fault-every", required_argument, nullptr, kFaultEvery},
                                    {"slow-bytes", required_argument, nullptr, kSlowBytes},
                                    {"pace", no_argument, nullptr, kPace},
                                    {"trace", no_argument, nullptr, kTrace},
                                    {"help", no_argument, nullptr, kHelp},
                                    {"version", no_argument, nullptr, kVersion},
                                    {nullptr, 0, nullptr, 0}};
  Settings settings;
  opterr = 0;
  for (;;) {
    const int index = optind;
    const int c = getopt_long(argc, argv, "", kOptions, nullptr);
    if (c == -1) break;
    switch (c) {
      case kDevice:
        settings.device = optarg;
        break;
      case kLink:
        settings.link = optarg;
        break;
      case kCardFile:
        settings.reader.card_file = optarg;
        break;
      case kBalance:
        settings.reader.balance = static_cast<std::uint32_t>(Number("balance", optarg, 0x7FFFFFFF));
        break;
      case kNoCard:
        settings.reader.no_card = true;
        break;
      case kSilent:
        settings.faults.silent = true;
        break;
      case kDropEvery:
        settings.faults.drop_every = static_cast<unsigned>(Number("drop-every", optarg, 1000000));
        break;
      case kCorrupt: {
        const std::string kind = optarg;
        if (kind == "stx") {
          settings.faults.corrupt = Corruption::kStx;
        } else if (kind == "etx") {
          settings.faults.corrupt = Corruption::kEtx;
        } else if (kind == "checksum") {
          settings.faults.corrupt = Corruption::kChecksum;
        } else {
          UsageError("--corrupt takes stx, etx or checksum, not " + kind);
        }
        break;
      }
      case kTruncate:
        settings.faults.truncate = true;
        break;
      case kFaultEvery:
        settings.faults.fault_every = static_cast<unsigned>(Number("fault-every", optarg, 1000000));
        break;
      case kSlowBytes:
        settings.faults.per_byte =
            std::chrono::microseconds(Number("slow-bytes", optarg, 10000000));
        break;
      case kPace:
        settings.faults.per_byte = kLineSpeedPerByte;
        break;
      case kTrace:
        settings.trace = true;
        break;
      case kHelp:
        std::cout << kUsage;
        std::exit(0);
      case kVersion:
        std::cout << "vorlex-sim " << VORLEX_VERSION << "\n";
        std::exit(0);
      default:
        UsageError(std::string("unknown option or missing value: ") + argv[index]);
    }
  }
  if (optind < argc) UsageError(std::string("unexpected argument: ") + argv[optind]);
  if (settings.device && settings.link) UsageError("--link is for the pty, not --device");
  return settings;
}

// Lines from the serving thread and the main thread never interleave.
std::mutex output_mutex;
void Say(const std::string& line) {
  std::lock_guard lock(output_mutex);
  std::cout << line << std::endl;
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

// Points `link` at `target`, replacing an older symlink but never a file of someone else's.
void MakeLink(const std::string& link, const std::string& target) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::file_status status = fs::symlink_status(link, error);
  if (fs::exists(status)) {
    if (!fs::is_symlink(status)) {
      throw std::runtime_error(link + " exists and is not a symlink; not replacing it");
    }
    fs::remove(link);
  }
  fs::create_symlink(target, link);
}

void RemoveLink(const std::string& link, const std::string& target) {
  std::error_code error;
  if (std::filesystem::is_symlink(link, error) &&
      std::filesystem::read_symlink(link, error) == target) {
    std::filesystem::remove(link, error);
  }
}

int StopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  // Blocked before any thread starts, so that only the signalfd sees them.
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  return ::signalfd(-1, &signals, SFD_CLOEXEC);
}

void WaitFor(int fd) {
  pollfd entry{fd, POLLIN, 0};
  while (::poll(&entry, 1, -1) < 0 && errno == EINTR) {
  }
}

}  // namespace

int main(int argc, char** argv) {
  const Settings settings = Parse(argc, argv);
  const int stop = StopSignals();
  if (stop < 0) {
    std::perror("vorlex-sim: signalfd");
    return 1;
  }
  try {
    ReaderOptions reader_options = settings.reader;
    reader_options.log = [](const std::string& line) { Say(line); };
    VirtualReader reader(reader_options);
    TraceSink trace;
    if (settings.trace) trace = [](const std::string& line) { Say(line); };
    const auto responder = MakeResponder(reader, settings.faults, trace);

    if (settings.device) {
      const int device = OpenRawDevice(*settings.device);
      Say(*settings.device);
      const bool ok = ServeDevice(device, stop, responder);
      ::close(device);
      if (!ok) {
        std::cerr << "vorlex-sim: " << *settings.device << " failed or went away\n";
        return 1;
      }
      return 0;
    }

    vorlex::engine::ScriptedReader engine;
    ExclusiveReleaser releaser(engine.port());
    engine.SetResponder(responder);
    if (settings.link) MakeLink(*settings.link, engine.port());
    Say(engine.port());
    WaitFor(stop);
    if (settings.link) RemoveLink(*settings.link, engine.port());
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "vorlex-sim: " << error.what() << "\n";
    return 1;
  }
}
