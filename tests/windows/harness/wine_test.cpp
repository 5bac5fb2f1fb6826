// The DLLs at work under Wine: the Windows driver (tests/windows/driver.cpp) loads an edition's
// vorlex.dll and makes its calls through the Win32 serial path to the scripted reader on a pty,
// which Wine knows as COM1. Each case checks the driver's printed results and, byte for byte,
// the request frames the reader received.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <sstream>
#include <thread>

#include "scripted_reader.h"
#include "support.h"

namespace vorlex::windows_suite {
namespace {

namespace fs = std::filesystem;
using engine::Bytes;
using engine::Reply;
using engine::ScriptedReader;
using namespace std::chrono_literals;

constexpr char kWine64[] = "/usr/lib/wine/wine64";
constexpr char kWine32[] = "/usr/lib/wine/wine";  // Debian's wine32:i386
constexpr char kWineServer[] = "/usr/lib/wine/wineserver64";

Bytes FromHex(std::string hex) {
  std::erase(hex, ' ');
  Bytes bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::string ToHex(const Bytes& bytes) {
  std::ostringstream text;
  for (std::uint8_t byte : bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    text << kDigits[byte >> 4] << kDigits[byte & 15];
  }
  return text.str();
}

std::string WindowsPath(const std::string& path) {
  std::string windows = "Z:" + path;
  std::replace(windows.begin(), windows.end(), '/', '\\');
  return windows;
}

// One wineserver, one Wine prefix under the build tree and one scripted reader for the whole
// run. Wine's COM1 is a stable symlink (registered under HKLM\Software\Wine\Ports) that points
// at the reader's pty. The pty outlives the wineserver: closing it first would hang it up.
class WineSession {
 public:
  static WineSession& Instance() {
    if (instance_ == nullptr) {
      instance_.reset(new WineSession);
      try {
        instance_->Start();
      } catch (const std::exception& error) {
        instance_->error_ = error.what();
      }
    }
    return *instance_;
  }
  static void Shutdown() {
    if (instance_ != nullptr) instance_->Stop();
    instance_.reset();
  }

  const std::string& skip_reason() const { return skip_reason_; }
  const std::string& error() const { return error_; }
  ScriptedReader& reader() { return *reader_; }

  ProcessResult Run(std::vector<std::string> args, std::chrono::milliseconds timeout = 60s) {
    args.insert(args.begin(), loader_);
    ProcessResult result = RunProcess(args, env_, timeout);
    // A program that never got to print: say where its wineserver was, as Wine finds it.
    if (result.exit_code != 0 && result.out.empty()) result.err += ServerState();
    return result;
  }

  // Points COM1 at `target`; the constructor's target is the reader's pty.
  void PointComAt(const std::string& target) {
    const fs::path temporary = com_link_ + ".new";
    fs::remove(temporary);
    fs::create_symlink(target, temporary);
    fs::rename(temporary, com_link_);
  }
  void PointComAtReader() { PointComAt(reader_->port()); }
  std::string MissingPort() const { return dir_ + "/no-such-port"; }

 private:
  void Fail(const std::string& what) { throw std::runtime_error(what); }

  void Start() {
    const Config& config = Config::Get();
    if (config.is_x86()) {
      loader_ = kWine32;
      const std::string still_checked =
          ". The 32-bit DLLs are checked statically (StaticChecks, X86StaticChecks).";
      if (!fs::exists(loader_)) {
        skip_reason_ =
            "this machine's Wine cannot run 32-bit Windows programs: there is no 32-bit Wine "
            "loader (" +
            loader_ + ", Debian's wine32:i386) and Debian's wine64 runs 64-bit programs only" +
            still_checked;
        return;
      }
      // A kernel without 32-bit emulation refuses the loader itself (ENOEXEC).
      const ProcessResult version = RunProcess({loader_, "--version"}, {}, 30s);
      if (version.exit_code != 0) {
        std::string why = version.err.empty() ? version.Describe() : version.err;
        while (!why.empty() && why.back() == '\n') why.pop_back();
        skip_reason_ = "this machine cannot run 32-bit programs: the 32-bit Wine loader " +
                       loader_ + " does not start (" + why + ")" + still_checked;
        return;
      }
    } else {
      loader_ = kWine64;
      if (!fs::exists(loader_)) Fail(loader_ + " is missing: install wine64");
    }
    dir_ = config.Value("binary_dir") + "/wine";
    com_link_ = dir_ + "/com1";
    const std::string prefix = dir_ + "/prefix";
    fs::create_directories(prefix);  // wineserver needs it; the first wine64 call fills it
    // Wine's own errors stay on (on stderr, shown when a case fails); its other chatter is off.
    env_ = {{"WINEPREFIX", prefix},      {"WINEDEBUG", "fixme-all,warn-all,trace-all"},
            {"WINESERVER", kWineServer}, {"WINEDLLOVERRIDES", "mscoree,mshtml="},
            {"DISPLAY", std::nullopt},   {"WAYLAND_DISPLAY", std::nullopt}};
    reader_ = std::make_unique<ScriptedReader>();
    PointComAtReader();

    // A new prefix first maps COM1 to the machine's first serial port: nothing is opened
    // before the mapping to the link is in place.
    StopServer();  // one an interrupted run of this suite left on this prefix
    StartServer();
    if (!ComIsMapped(prefix, 1s)) {
      const ProcessResult add = Run({"reg", "add", "HKLM\\Software\\Wine\\Ports", "/v", "COM1",
                                     "/t", "REG_SZ", "/d", com_link_, "/f"});
      if (add.exit_code != 0) Fail("registering COM1: " + add.Describe());
      StopServer();  // Wine maps the ports when it starts
      StartServer();
      if (!ComIsMapped(prefix, 10s)) Fail("Wine did not map COM1 to " + com_link_);
    }

    const ProcessResult probe = Run({config.Value("driver"), "probe"});
    if (probe.out.find("probe=ok") == std::string::npos) {
      if (!config.is_x86()) Fail("the driver does not run under Wine: " + probe.Describe());
      skip_reason_ = "the 32-bit Wine loader " + loader_ +
                     " does not run 32-bit Windows programs on this machine: " + probe.Describe();
    }
  }

  // Debian's Wine keeps its server's directory name in <prefix>/wineserver
  // (/tmp/wine-XXXXXX/server-<device>-<inode>/socket); a client that finds none starts a server.
  std::string ServerState() const {
    const fs::path prefix = fs::path(dir_) / "prefix";
    std::error_code error;
    std::string state = "--- wine state\n" + (prefix / "wineserver").string() + ": ";
    std::string name;
    try {
      name = ReadFileText((prefix / "wineserver").string());
      state += "\"" + name + "\"";
    } catch (const std::exception&) {
      state += "missing";
    }
    state += "\n";
    if (!name.empty()) {
      const fs::path server_dir = fs::path("/tmp") / name;
      bool socket = false;
      for (const auto& entry : fs::directory_iterator(server_dir, error)) {
        socket = socket || fs::is_socket(entry.path() / "socket", error);
      }
      state += server_dir.string() + (socket ? ": a server socket\n" : ": no server socket\n");
    }
    return state;
  }

  // Waits for Wine's device manager to have made the COM1 link.
  bool ComIsMapped(const std::string& prefix, std::chrono::milliseconds patience) {
    const ProcessResult warm = Run({"cmd", "/c", "exit"}, 120s);  // a new prefix takes seconds
    if (warm.exit_code != 0) Fail("Wine does not start: " + warm.Describe());
    const fs::path device = fs::path(prefix) / "dosdevices" / "com1";
    const auto until = std::chrono::steady_clock::now() + patience;
    do {
      std::error_code error;
      if (fs::read_symlink(device, error) == com_link_) return true;
      std::this_thread::sleep_for(50ms);
    } while (std::chrono::steady_clock::now() < until);
    return false;
  }

  void StartServer() {
    const ProcessResult start = RunProcess({kWineServer, "-p"}, env_, 30s, true);
    if (start.exit_code != 0) Fail("wineserver -p: " + start.Describe());
    server_started_ = true;
  }

  void StopServer() {
    RunProcess({kWineServer, "-k"}, env_, 30s, true);
    RunProcess({kWineServer, "-w"}, env_, 30s, true);
    server_started_ = false;
  }

  void Stop() {
    if (server_started_) StopServer();
    reader_.reset();  // only now: the server has let go of the pty
  }

  static inline std::unique_ptr<WineSession> instance_;
  std::string skip_reason_, error_, loader_, dir_, com_link_;
  EnvChanges env_;
  std::unique_ptr<ScriptedReader> reader_;
  bool server_started_ = false;
};

class WineEnvironment : public testing::Environment {
 public:
  void TearDown() override { WineSession::Shutdown(); }
};
const testing::Environment* const kWineEnvironment =
    testing::AddGlobalTestEnvironment(new WineEnvironment);

// A test that failed before the DLL asked for all its answers leaves them scripted: ask for
// them from this side of the line, so that the next test starts with an empty script.
void UseUpScript(ScriptedReader& reader) {
  if (reader.PendingReplies() == 0) return;
  const int line = ::open(reader.port().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (line < 0) return;
  const Bytes request = engine::EncodeFrame(Bytes{0x00, 0x00});
  for (int tries = 0; reader.PendingReplies() > 0 && tries < 20; ++tries) {
    const std::size_t before = reader.RequestCount();
    if (::write(line, request.data(), request.size()) < 0) break;
    reader.WaitForRequests(before + 1, 1s);
  }
  std::this_thread::sleep_for(50ms);
  ::tcflush(line, TCIOFLUSH);
  ::close(line);
}

// Every Wine test starts here: an empty script and a clean record.
#define VORLEX_WINE_SESSION(session)                                         \
  WineSession& session = WineSession::Instance();                            \
  if (!session.skip_reason().empty()) GTEST_SKIP() << session.skip_reason(); \
  ASSERT_EQ(session.error(), "");                                            \
  UseUpScript(session.reader());                                             \
  session.reader().ClearRecord();                                            \
  ASSERT_EQ(session.reader().PendingReplies(), 0u)

std::string PortOf(const std::string& edition) {
  // e-purse maps "COM1" to \\.\COM1 itself; display passes the name on unchanged.
  return edition == "epurse" ? "COM1" : "\\\\.\\COM1";
}

void ExpectFrames(ScriptedReader& reader, const std::vector<std::string>& expected) {
  reader.WaitForRequests(expected.size(), 2s);
  std::this_thread::sleep_for(20ms);  // room for a frame too many to show up
  std::vector<std::string> received, wanted;
  for (const auto& frame : reader.RawRequests()) received.push_back(ToHex(frame));
  for (const auto& frame : expected) wanted.push_back(ToHex(FromHex(frame)));
  EXPECT_EQ(received, wanted);
}

// ---- The driver finds the edition's exports by plain name, and nothing else ----------------

class WineExports : public testing::TestWithParam<std::string> {};

TEST_P(WineExports, EveryExportByPlainNameAndNoOtherEditionsCalls) {
  VORLEX_WINE_SESSION(wine);
  const Config& config = Config::Get();
  const std::string& edition = GetParam();
  const std::string& other = edition == "epurse" ? "display" : "epurse";
  const ExportTable own = ReadExportTable(config.Edition("exports", edition));
  int absent = 0;
  for (const auto& [name, bytes] : ReadExportTable(config.Edition("exports", other))) {
    absent += own.count(name) == 0 ? 1 : 0;
  }
  const ProcessResult run =
      wine.Run({config.Value("driver"), WindowsPath(config.Edition("dll", edition)), "exports",
                WindowsPath(config.Edition("exports", edition)),
                WindowsPath(config.Edition("exports", other))});
  ASSERT_EQ(run.exit_code, 0) << run.Describe();
  EXPECT_EQ(SplitLines(run.out), (std::vector<std::string>{"found=" + std::to_string(own.size()),
                                                           "absent=" + std::to_string(absent),
                                                           "missing=", "unexpected="}))
      << run.Describe();
}

std::string ArchAndEdition(const testing::TestParamInfo<std::string>& param_info) {
  return Config::Get().Value("arch") + "_" + param_info.param;
}

INSTANTIATE_TEST_SUITE_P(Wine, WineExports, testing::ValuesIn(kEditions), ArchAndEdition);

// ---- Exchanges ------------------------------------------------------------------------------

struct Exchange {
  std::string name;
  std::string edition;
  std::string driver_case;
  std::string port;                  // "-": Open_Reader(NULL)
  std::vector<std::string> answers;  // payloads the reader answers with, in order
  std::vector<std::string> frames;   // request frames the reader must receive
  std::vector<std::string> output;   // the driver's lines; "key=*" takes any value
  bool port_missing = false;         // COM1 points at nothing during the call
};

constexpr char kBeepFrame[] = "02 00 04 01 03 00 64 6C 03";
// A port that did not open; closing the null handle then fails.
const std::vector<std::string> kNotOpened = {"open=null", "close_null=-105"};

// The driver's lines for a call made on an opened port.
std::vector<std::string> Opened(std::vector<std::string> lines) {
  lines.insert(lines.begin(), "open=ok");
  lines.push_back("close=0");
  return lines;
}

std::vector<std::string> Message(const std::string& utf8) {
  return {"message=" + GbkHex(utf8), "message_rest_cleared=yes"};
}

template <typename... Lists>
std::vector<std::string> Join(std::vector<std::string> first, const Lists&... rest) {
  (first.insert(first.end(), rest.begin(), rest.end()), ...);
  return first;
}

// A command on a sentinel fails before anything is sent: 1, the failure text, no output.
std::vector<std::string> SentinelLines() {
  const std::vector<std::string> version = {"version_result=1", "version=EEEE"};
  const std::vector<std::string> failure = Message("读取模块硬件版本号失败");
  return Join({"open=ok", "close_null=-105", "close_invalid=-105", "beep_null=1", "beep_invalid=1"},
              version, failure, version, failure,
              std::vector<std::string>{"close_own=0", "close=-105"});
}

std::vector<Exchange> Exchanges() {
  std::vector<Exchange> table;
  for (const std::string& edition : kEditions) {
    const std::string port = PortOf(edition);
    const std::string mifare_frame = edition == "epurse"
                                         ? "02 00 04 04 04 11 06 23 03"   // sector 17, block 6
                                         : "02 00 04 04 04 02 02 10 03";  // 17 % 15, 6 & 3
    const std::vector<Exchange> common = {
        {"beep", edition, "beep", port, {"0000"}, {kBeepFrame}, Opened({"result=0"})},
        {"hardware_version",
         edition,
         "hardware_version",
         port,
         {"0000 56312E30"},
         {"02 00 02 FF 01 02 03"},
         Opened(Join({"result=0", "version=56312E30EEEE"}, Message("读取模块硬件版本号成功")))},
        {"card",
         edition,
         "card",
         port,
         {"0000 0400 A1B2C3D4"},
         {"02 00 03 04 01 01 09 03"},
         Opened(Join({"result=0", "atqa=0400", "uid=A1B2C3D4"}, Message("寻卡成功")))},
        {"mifare_read",
         edition,
         "mifare_read",
         port,
         {"0000 00112233445566778899AABBCCDDEEFF"},
         {mifare_frame},
         Opened({"result=0", "data=00112233445566778899AABBCCDDEEFF"})},
        {"cpu_apdu",
         edition,
         "cpu_apdu",
         port,
         {"0000 1122334455667788 9000"},
         {"02 00 08 04 07 00 84 00 00 00 08 9F 03"},
         Opened(Join({"result=0", "reply=11223344556677889000"}, Message("apdu执行指令成功")))},
        {"sam1_power_on",
         edition,
         "sam1_power_on",
         port,
         {"0000 3B6E00008131FE45"},
         {"02 00 02 02 01 05 03"},
         Opened({"result=0", "reset_answer=3B6E00008131FE45"})},
        {"rfsim_card",
         edition,
         "rfsim_card",
         port,
         {"0000 0102030405060708"},
         {"02 00 03 05 01 01 0A 03"},
         Opened({"result=0", "identifier=0102030405060708"})},
        {"rfsim_apdu",
         edition,
         "rfsim_apdu",
         port,
         {"0000 9000"},
         {"02 00 0A 05 03 00 A4 04 00 02 00 DF 01 9C 03"},
         Opened({"result=0", "reply=9000"})},
        // No answer: three attempts, each giving up 200 x 3 + 200 ms after asking for the header.
        {"silent_reader",
         edition,
         "silent_beep",
         port,
         {},
         {kBeepFrame, kBeepFrame, kBeepFrame},
         Opened({"result=1", "elapsed_ms=*"})},
        {"missing_port", edition, "open", port, {}, {}, kNotOpened, true},
        // Null, INVALID_HANDLE_VALUE and a closed handle: -105 for close, 1 for a command,
        // and not a byte on the line.
        {"sentinel_handles", edition, "sentinels", port, {}, {}, SentinelLines()},
    };
    table.insert(table.end(), common.begin(), common.end());
  }
  const std::vector<Exchange> own = {
      {"null_port_is_com1", "epurse", "beep", "-", {"0000"}, {kBeepFrame}, Opened({"result=0"})},
      {"lower_case_com_is_no_port", "epurse", "open", "com1", {}, {}, kNotOpened},
      {"purchase_record_round_trip",
       "epurse",
       "purchase",
       "COM1",
       {"0000 11223344 0102030405060708090A A0A1A2A3 5A A5 0186A0 FFFE 80000001",
        "0000 DEADBEEF 01234567 89ABCDEF 12345678"},
       {"02 00 0E FE 02 06 00 00 00 64 01 23 45 67 89 AB CD 49 03", "02 00 02 FE 03 03 03"},
       Opened({"search=0", "CardId=11223344", "CardInfo=0102030405060708090A", "PrepText=A0A1A2A3",
               "PrepByte1=5A", "PrepByte2=A5", "CardValue24=100000", "PrepValue16=65534",
               "PrepValue32=2147483649", "purchase=0", "ResultText1=DEADBEEF",
               "ResultText2=01234567", "ResultText3=89ABCDEF", "ResultText4=123456",
               "caller_bytes_kept=yes"})},
      {"led_display",
       "display",
       "led_display",
       "\\\\.\\COM1",
       {"0000"},
       {"02 00 09 01 04 48 45 4C 4C 4F 01 2C AF 03"},
       Opened({"result=0"})},
      {"plain_com_name", "display", "beep", "COM1", {"0000"}, {kBeepFrame}, Opened({"result=0"})},
      {"null_port_is_no_port", "display", "open", "-", {}, {}, kNotOpened},
  };
  table.insert(table.end(), own.begin(), own.end());
  return table;
}

class WineExchanges : public testing::TestWithParam<Exchange> {};

TEST_P(WineExchanges, DriverResultsAndRequestFrames) {
  VORLEX_WINE_SESSION(wine);
  const Config& config = Config::Get();
  const Exchange& exchange = GetParam();
  for (const auto& answer : exchange.answers) wine.reader().Script(Reply::Answer(FromHex(answer)));
  if (exchange.port_missing) wine.PointComAt(wine.MissingPort());
  const ProcessResult run =
      wine.Run({config.Value("driver"), WindowsPath(config.Edition("dll", exchange.edition)),
                exchange.driver_case, exchange.port});
  if (exchange.port_missing) wine.PointComAtReader();

  ASSERT_EQ(run.exit_code, 0) << run.Describe();
  const std::vector<std::string> lines = SplitLines(run.out);
  ASSERT_EQ(lines.size(), exchange.output.size()) << run.Describe();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& wanted = exchange.output[i];
    if (wanted.ends_with("=*")) {
      EXPECT_TRUE(lines[i].starts_with(wanted.substr(0, wanted.size() - 1))) << lines[i];
    } else {
      EXPECT_EQ(lines[i], wanted);
    }
    if (lines[i].starts_with("elapsed_ms=")) {
      // Loose: the time-outs must work, not be precise.
      const long elapsed = std::stol(lines[i].substr(11));
      EXPECT_GE(elapsed, 1500) << "gave up too early";
      EXPECT_LE(elapsed, 15000) << "the time-outs did not apply";
    }
  }
  ExpectFrames(wine.reader(), exchange.frames);
  EXPECT_EQ(wine.reader().PendingReplies(), 0u) << "answers left unasked for";
}

std::string ExchangeName(const testing::TestParamInfo<Exchange>& param_info) {
  return Config::Get().Value("arch") + "_" + param_info.param.edition + "_" + param_info.param.name;
}

void PrintTo(const Exchange& exchange, std::ostream* out) { *out << exchange.name; }

INSTANTIATE_TEST_SUITE_P(Wine, WineExchanges, testing::ValuesIn(Exchanges()), ExchangeName);

// ---- A program linked with the packaged import libraries finds vorlex.dll's exports ---------

struct Linked {
  std::string edition;
  std::string library;  // inside the package
};

std::string LinkedName(const testing::TestParamInfo<Linked>& param_info) {
  return Config::Get().Value("arch") + "_" + param_info.param.edition + "_" +
         (param_info.param.library.ends_with(".lib") ? "msvc" : "mingw");
}

void PrintTo(const Linked& linked, std::ostream* out) {
  *out << linked.edition << " " << linked.library;
}

class WineImportLibraryCallers : public testing::TestWithParam<Linked> {};

TEST_P(WineImportLibraryCallers, CallerRunsAgainstThePackagedDll) {
  VORLEX_WINE_SESSION(wine);
  const Linked& linked = GetParam();
  const std::string package = UnpackedPackage(linked.edition);
  const std::string dir = TempDirectory("wine-caller-" + linked.edition + "-" +
                                        fs::path(linked.library).extension().string().substr(1));
  const std::string exe = LinkCaller(linked.edition, package + "/" + linked.library, dir);
  fs::copy_file(package + "/vorlex.dll", dir + "/vorlex.dll");
  wine.reader().Script(Reply::Answer({0x00, 0x00}));
  const ProcessResult run = wine.Run({exe, PortOf(linked.edition)});
  EXPECT_EQ(run.exit_code, 0) << run.Describe();
  ExpectFrames(wine.reader(), {kBeepFrame});
}

// ---- A caller built as Visual C++ builds it ---------------------------------------------------

// clang in MSVC mode, lld-link and the package's vorlex.lib (short import format, decorated
// _NAME@N on x86): the frames and the record of Open_Reader, BELL_BEEP and CPU_PBOC_REQA_CARD
// with the record passed by value and aimed at as the output.
TEST(WineMsvcCaller, OpensBeepsAndSearchesWithTheRecordByValue) {
  VORLEX_WINE_SESSION(wine);
  const std::string package = UnpackedPackage("epurse");
  const std::string dir = TempDirectory("wine-msvc-caller");
  const std::string exe = LinkMsvcCaller(package, dir);
  fs::copy_file(package + "/vorlex.dll", dir + "/vorlex.dll");
  wine.reader().Script(Reply::Answer({0x00, 0x00}));
  wine.reader().Script(Reply::Answer(
      FromHex("0000 11223344 0102030405060708090A A0A1A2A3 5A A5 0186A0 FFFE 80000001")));
  const ProcessResult run = wine.Run({exe});
  ASSERT_EQ(run.exit_code, 0) << run.Describe();
  EXPECT_EQ(SplitLines(run.out),
            (std::vector<std::string>{
                "open=ok", "beep=0", "search=0", "CardId=11223344", "CardInfo=0102030405060708090A",
                "PrepText=A0A1A2A3", "PrepBytes=5AA5", "CardValue24=100000", "PrepValue16=65534",
                "PrepValue32=2147483649", "message=" + GbkHex("CPU卡PBOC交易寻卡初始化成功"),
                "caller_bytes_kept=yes", "close=0"}))
      << run.Describe();
  ExpectFrames(wine.reader(),
               {kBeepFrame, "02 00 0E FE 02 06 00 00 00 64 01 23 45 67 89 AB CD 49 03"});
}

INSTANTIATE_TEST_SUITE_P(Wine, WineImportLibraryCallers,
                         testing::Values(Linked{"epurse", "lib/libvorlex.dll.a"},
                                         Linked{"epurse", "lib/vorlex.lib"},
                                         Linked{"display", "lib/libvorlex.dll.a"},
                                         Linked{"display", "lib/vorlex.lib"}),
                         LinkedName);

}  // namespace
}  // namespace vorlex::windows_suite
