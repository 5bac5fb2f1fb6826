// vorlex: every operation of the library from the command line, one subcommand each.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "edition_library.h"
#include "json.h"
#include "text_encoding.h"

namespace vorlex::cli {
using text::Convert;
using text::GbkTo;
using text::TerminalEncoding;
namespace {

constexpr char kUsage[] = R"(Usage: vorlex [OPTION]... COMMAND [ARGUMENT]...
Drives a VORLEX contactless reader through the VORLEX library, one operation per command.

Options (anywhere on the line):
  --port NAME         COM<n>, or a device path such as /dev/ttyUSB0 or a simulator's pty
                      (default: $VORLEX_PORT)
  --edition NAME      epurse (default) or display; "display" picks the display edition
  --library PATH      the edition's libvorlex.so (default: the one beside this program)
  --json              one JSON object on standard output, for scripts
  --help, --version

Reader:
  beep [VALUE]                      sound the beeper (VALUE 0-65535, default 10)
  hardware-version | software-version
  display TEXT [VALUE]              show TEXT (sent as GBK) on the LED display; display edition
Mifare and ISO 14443 cards:
  card-request [--all]              look for a card (--all wakes a halted one too)
  ats                               the card's answer to select
  auth SECTOR [--key-type A|B] [--key HEX12]   (default key A, FFFFFFFFFFFF)
  read SECTOR BLOCK
  write SECTOR BLOCK HEX32
  halt
  dump [--key-type A|B] [--key HEX12]          authenticate and read every block of a 1K card
APDUs, SAMs, RF-SIM:
  apdu card|sam1|sam2|rfsim HEX     send a command APDU, show the reply and its status word
  sam-power on|off 1|2
  rfsim-request [--all]
  rfsim-halt
Purchase modules (e-purse edition; --module cpu (default) or rfsim):
  purse init [P1 P2]
  purse request --amount N [--prep HEX14] [--param N]   (prep default: now, YYYYMMDDhhmmss)
  purse purchase | purse balance | purse card-info
  purchase --amount N [--prep HEX14]   init, balance, request, purchase, balance in one go

Exit status: 0 done; 1 the reader refused or did not answer (the library's message and result
are shown); 2 bad command line; 3 no library or the port cannot be opened.
Messages are shown in the terminal's encoding (UTF-8 in the C locale and in JSON); results
and reader status words in hexadecimal.
)";

// ---- command line --------------------------------------------------------------------------

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A library call that did not give 0.
struct CommandFailed {
  std::string step;
  int result;
  std::string message_gbk;  // the library's message, as it wrote it
};

const std::map<std::string, bool> kOptionTakesValue = {
    {"port", true},     {"edition", true}, {"library", true},  {"json", false},  {"help", false},
    {"version", false}, {"key", true},     {"key-type", true}, {"module", true}, {"amount", true},
    {"prep", true},     {"param", true},   {"all", false}};

struct CommandLine {
  std::vector<std::string> words;
  std::map<std::string, std::string> options;
  bool Has(const std::string& name) const { return options.count(name) != 0; }
  std::string Get(const std::string& name, const std::string& fallback = "") const {
    const auto found = options.find(name);
    return found == options.end() ? fallback : found->second;
  }
};

CommandLine ParseCommandLine(int argc, char** argv) {
  CommandLine line;
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (options_done || arg.size() < 2 || arg[0] != '-' || (arg[1] != '-' && arg != "-h")) {
      line.words.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    if (arg == "-h") arg = "--help";
    std::string name = arg.substr(2), value;
    const std::size_t equals = name.find('=');
    const bool inline_value = equals != std::string::npos;
    if (inline_value) {
      value = name.substr(equals + 1);
      name.resize(equals);
    }
    const auto takes_value = kOptionTakesValue.find(name);
    if (takes_value == kOptionTakesValue.end()) throw UsageError("unknown option --" + name);
    if (takes_value->second && !inline_value) {
      if (i + 1 >= argc) throw UsageError("--" + name + " needs a value");
      value = argv[++i];
    } else if (!takes_value->second && inline_value) {
      throw UsageError("--" + name + " takes no value");
    }
    line.options[name] = value;
  }
  return line;
}

long ParseNumber(const std::string& text, long min, long max, const std::string& what) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 0);
  if (text.empty() || errno != 0 || *end != '\0' || value < min || value > max) {
    throw UsageError(what + " must be a number from " + std::to_string(min) + " to " +
                     std::to_string(max) + ", not \"" + text + "\"");
  }
  return value;
}

std::string CheckHex(const std::string& text, std::size_t chars, const std::string& what) {
  const bool digits = text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
  if (!digits || text.empty() || (chars != 0 && text.size() != chars) || text.size() % 2 != 0) {
    throw UsageError(what + " must be " +
                     (chars != 0 ? std::to_string(chars) + " hexadecimal digits"
                                 : std::string("an even number of hexadecimal digits")) +
                     ", not \"" + text + "\"");
  }
  return text;
}

std::string Hex(std::uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*X", digits, value);
  return text;
}

std::string Money(std::int64_t cents) {
  char text[32];
  std::snprintf(text, sizeof text, "%s%lld.%02lld", cents < 0 ? "-" : "",
                static_cast<long long>(std::llabs(cents) / 100),
                static_cast<long long>(std::llabs(cents) % 100));
  return std::to_string(cents) + " (" + text + ")";
}

// The current local time as the 7 BCD bytes YYYYMMDDhhmmss, in hex text.
std::string NowBcd() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[16];
  std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &local);
  return text;
}

// ---- a running command ---------------------------------------------------------------------

class Run {
 public:
  Run(const CommandLine& line, std::string command)
      : line_(line), command_(std::move(command)), encoding_(TerminalEncoding()) {}

  const CommandLine& line() const { return line_; }
  bool json() const { return line_.Has("json"); }
  const std::string& encoding() const { return encoding_; }
  const EditionLibrary& lib() const { return *library_; }
  ReaderHandle reader() const { return port_->handle(); }

  void Open(Edition edition) {
    const char* from_environment = std::getenv("VORLEX_PORT");
    const std::string port = line_.Get("port", from_environment ? from_environment : "");
    if (port.empty()) throw UsageError("no port: give --port NAME or set VORLEX_PORT");
    library_ = std::make_unique<EditionLibrary>(edition, line_.Get("library"));
    port_ = std::make_unique<Port>(*library_, port);
    JsonOnly("library", library_->path());
    JsonOnly("opened_with", port_->how());
  }

  // One library call's outcome; throws CommandFailed unless `result` is 0. `message` is the
  // caller's 50-byte buffer (GBK), or null for the calls that have none.
  void Check(const std::string& step, int result, const char* message) {
    const std::string gbk = message == nullptr ? "" : std::string(message, strnlen(message, 50));
    const std::string utf8 = GbkTo("UTF-8", gbk);
    if (!message_pinned_) {
      last_message_ = GbkTo(encoding_, gbk);
      last_message_utf8_ = utf8;
    }
    steps_.push_back(Json::MakeObject()
                         .Set("step", step)
                         .Set("result", result)
                         .Set("status", Hex(static_cast<std::uint32_t>(result), 4))
                         .Set("message", utf8));
    if (result != 0) throw CommandFailed{step, result, gbk};
  }

  // A field of the answer, in both outputs.
  void Field(const std::string& key, Json value, const std::string& shown) {
    json_fields_.emplace_back(key, std::move(value));
    human_fields_.emplace_back(key, shown);
  }
  void Field(const std::string& key, const std::string& value) { Field(key, value, value); }
  void JsonOnly(const std::string& key, Json value) {
    json_fields_.emplace_back(key, std::move(value));
  }
  void HumanOnly(const std::string& line) { human_lines_.push_back(line); }
  // The last success message stays the headline, whatever steps follow.
  void PinMessage() { message_pinned_ = true; }

  void PrintSuccess() const {
    if (json()) {
      Json done = Head(true, 0);
      done.Set("message", last_message_utf8_);
      for (const auto& [key, value] : json_fields_) done.Set(key, value);
      done.Set("steps", Json(steps_));
      std::cout << done.Dump() << "\n";
      return;
    }
    if (!last_message_.empty()) std::cout << last_message_ << "\n";
    PrintHumanFields(std::cout);
  }

  void PrintFailure(const CommandFailed& failure) const {
    const std::string meaning =
        failure.result == 1
            ? "result 1: no valid answer, a refused argument or a short answer"
            : "reader status 0x" + Hex(static_cast<std::uint32_t>(failure.result), 4);
    if (json()) {
      Json done = Head(false, failure.result);
      done.Set("message", GbkTo("UTF-8", failure.message_gbk)).Set("step", failure.step);
      done.Set("error", failure.step + " failed (" + meaning + ")");
      for (const auto& [key, value] : json_fields_) done.Set(key, value);
      done.Set("steps", Json(steps_));
      std::cout << done.Dump() << "\n";
      return;
    }
    // What was learned before the failing step still helps (the balance before, say).
    PrintHumanFields(std::cout);
    const std::string message = GbkTo(encoding_, failure.message_gbk);
    std::cerr << "vorlex: " << command_ << ": " << failure.step
              << " failed: " << (message.empty() ? std::string("(no message)") : message) << " ("
              << meaning << ")\n";
  }

 private:
  Json Head(bool ok, int result) const {
    Json head = Json::MakeObject();
    head.Set("command", command_).Set("ok", ok).Set("result", result);
    head.Set("status", Hex(static_cast<std::uint32_t>(result), 4));
    return head;
  }

  void PrintHumanFields(std::ostream& out) const {
    std::size_t width = 0;
    for (const auto& [key, value] : human_fields_) width = std::max(width, key.size());
    for (const auto& [key, value] : human_fields_) {
      std::string label = key;
      for (char& c : label) c = c == '_' ? ' ' : c;
      out << label << std::string(width - key.size() + 2, ' ') << value << "\n";
    }
    for (const std::string& line : human_lines_) out << line << "\n";
  }

  const CommandLine& line_;
  std::string command_;
  std::string encoding_;
  std::unique_ptr<EditionLibrary> library_;
  std::unique_ptr<Port> port_;
  std::vector<std::pair<std::string, Json>> json_fields_;
  std::vector<std::pair<std::string, std::string>> human_fields_;
  std::vector<std::string> human_lines_;
  std::vector<Json> steps_;
  std::string last_message_, last_message_utf8_;
  bool message_pinned_ = false;
};

struct Message {
  char text[VORLEX_MESSAGE_SIZE] = {};
};

void NeedArguments(const std::vector<std::string>& words, std::size_t min, std::size_t max,
                   const std::string& usage) {
  if (words.size() < min + 1 || words.size() > max + 1) throw UsageError("usage: vorlex " + usage);
}

int KeyType(const CommandLine& line) {
  const std::string type = line.Get("key-type", "A");
  if (type == "A" || type == "a" || type == "0") return 0;
  if (type == "B" || type == "b" || type == "1") return 1;
  throw UsageError("--key-type is A or B, not \"" + type + "\"");
}

// ---- reader, cards, APDUs ------------------------------------------------------------------

void Beep(Run& run, const std::vector<std::string>& words) {
  NeedArguments(words, 0, 1, "beep [VALUE]");
  const int value =
      words.size() > 1 ? static_cast<int>(ParseNumber(words[1], 0, 65535, "VALUE")) : 10;
  run.Check("beep", run.lib().BELL_BEEP(run.reader(), value), nullptr);
  run.Field("value", value, std::to_string(value));
  run.HumanOnly("beep sent");
}

void Version(Run& run, const std::vector<std::string>& words, bool hardware) {
  NeedArguments(words, 0, 0, words[0]);
  // The library copies the version without a length or terminator: zeros before the call
  // mark where it ends (trailing zero bytes of a version cannot be told apart).
  unsigned char version[VORLEX_VERSION_SIZE] = {};
  Message message;
  const auto call = hardware ? run.lib().GET_HARDWARE_VER : run.lib().GET_SOFTWARE_VER;
  run.Check(words[0], call(run.reader(), version, message.text), message.text);
  std::size_t length = sizeof version;
  while (length > 0 && version[length - 1] == 0) --length;
  std::string hex, text;
  bool printable = true;
  for (std::size_t i = 0; i < length; ++i) {
    hex += Hex(version[i], 2);
    printable = printable && version[i] >= 0x20 && version[i] < 0x7F;
    text += static_cast<char>(version[i]);
  }
  run.Field("version", printable ? Json(text) : Json(), printable ? text : "(not text)");
  run.Field("hex", hex);
}

void Display(Run& run, const std::vector<std::string>& words) {
  NeedArguments(words, 1, 2, "display TEXT [VALUE]");
  const std::string gbk = Convert(words[1], run.encoding(), "GBK");
  if (gbk.size() > VORLEX_DISPLAY_TEXT_MAX) {
    throw UsageError("TEXT is " + std::to_string(gbk.size()) + " bytes in GBK, at most " +
                     std::to_string(VORLEX_DISPLAY_TEXT_MAX));
  }
  const int value =
      words.size() > 2 ? static_cast<int>(ParseNumber(words[2], 0, 65535, "VALUE")) : 0;
  run.Check("display", run.lib().LED_DISPLAY(run.reader(), gbk.c_str(), value), nullptr);
  run.Field("text", GbkTo("UTF-8", gbk), GbkTo(run.encoding(), gbk));
  run.Field("gbk", [&] {
    std::string hex;
    for (unsigned char c : gbk) hex += Hex(c, 2);
    return hex;
  }());
}

void CardRequest(Run& run, const std::vector<std::string>& words) {
  NeedArguments(words, 0, 0, "card-request [--all]");
  char atqa[5], uid[9];
  Message message;
  const int mode = run.line().Has("all") ? 1 : 0;
  run.Check("card-request", run.lib().REQ_14443_CARD(run.reader(), mode, atqa, uid, message.text),
            message.text);
  run.Field("atqa", atqa);
  run.Field("uid", uid);
}

void Ats(Run& run, const std::vector<std::string>& words) {
  NeedArguments(words, 0, 0, "ats");
  char ats[VORLEX_ATS_TEXT_SIZE];
  Message message;
  run.Check("ats", run.lib().ATS_14443_CARD(run.reader(), ats, message.text), message.text);
  run.Field("ats", ats);
}

int Sector(const std::string& text) {
  return static_cast<int>(ParseNumber(text, 0, 255, "SECTOR"));
}
int BlockNumber(const std::string& text) {
  return static_cast<int>(ParseNumber(text, 0, 15, "BLOCK"));
}

void Auth(Run& run, const std::vector<std::string>& words) {
  NeedArguments(words, 1, 1, "auth SECTOR [--key-type A|B] [--key HEX12]");
  const int sector = Sector(words[1]);
  const int key_type = KeyType(run.line());
  const std::string key = CheckHex(run.line().Get("key", "FFFFFFFFFFFF"), 12, "--key");
  Message message;
  run.Check("auth", run.lib().MIFS_AUTH(run.reader(), sector, key_type, key.c_str(), message.text),
            message.text);
  run.Field("sector", sector, std::to_string(sector));
  run.Field("key_type", key_type == 0 ? "A" : "B");
}

void Read(Run& run, const std::vector<std::string>& words) {
  NeedArguments(words, 2, 2, "read SECTOR BLOCK");
  const int sector = Sector(words[1]), block = BlockNumber(words[2]);
  char data[33];
  Message message;
  run.Check("read", run.lib().MIFS_READ(run.reader(), sector, block, data, message.text),
            message.text);
  run.Field("sector", sector, std::to_string(sector));
  run.Field("block", block, std::to_string(block));
  run.Field("data", data);
}

void Write(Run& run, const std::vector<std::string>& words) {
  NeedArguments(words, 3, 3, "write SECTOR BLOCK HEX32");
  const int sector = Sector(words[1]), block = BlockNumber(words[2]);
  const std::string data = CheckHex(words[3], 32, "HEX32");
  Message message;
  run.Check("write", run.lib().MIFS_WRITE(run.reader(), sector, block, data.c_str(), message.text),
            message.text);
  run.Field("sector", sector, std::to_string(sector));
  run.Field("block", block, std::to_string(block));
  run.Field("data", data);
}

void Halt(Run& run, const std::vector<std::string>& words, bool rfsim) {
  NeedArguments(words, 0, 0, words[0]);
  Message message;
  const auto call = rfsim ? run.lib().RFSIM_HALT : run.lib().MIFS_HALT;
  run.Check(words[0], call(run.reader(), message.text), message.text);
}

void Apdu(Run& run, const std::vector<std::string>& words) {
  NeedArguments(words, 2, 2, "apdu card|sam1|sam2|rfsim HEX");
  const std::map<std::string, decltype(&::CPUCARD_APDU)> targets = {
      {"card", run.lib().CPUCARD_APDU},
      {"sam1", run.lib().SAMCAR1_APDU},
      {"sam2", run.lib().SAMCAR2_APDU},
      {"rfsim", run.lib().RFSIMCARD_APDU}};
  const auto target = targets.find(words[1]);
  if (target == targets.end()) throw UsageError("apdu goes to card, sam1, sam2 or rfsim");
  const std::string apdu = CheckHex(words[2], 0, "the APDU");
  char reply[VORLEX_REPLY_TEXT_SIZE];
  Message message;
  run.Check("apdu", target->second(run.reader(), apdu.c_str(), reply, message.text), message.text);
  const std::string all = reply;
  run.Field("reply", all);
  if (all.size() >= 4) {
    run.Field("data", all.substr(0, all.size() - 4));
    run.Field("sw", all.substr(all.size() - 4));
  }
}

void SamPower(Run& run, const std::vector<std::string>& words) {
  NeedArguments(words, 2, 2, "sam-power on|off 1|2");
  const bool on = words[1] == "on";
  if (!on && words[1] != "off") throw UsageError("sam-power takes on or off");
  const int slot = static_cast<int>(ParseNumber(words[2], 1, 2, "the SAM slot"));
  Message message;
  const EditionLibrary& lib = run.lib();
  if (on) {
    char reset_answer[VORLEX_REPLY_TEXT_SIZE];
    const auto call = slot == 1 ? lib.SAMCAR1_POWER_ON : lib.SAMCAR2_POWER_ON;
    run.Check("sam-power", call(run.reader(), reset_answer, message.text), message.text);
    run.Field("slot", slot, std::to_string(slot));
    run.Field("reset_answer", reset_answer);
  } else {
    const auto call = slot == 1 ? lib.SAMCAR1_POWER_OFF : lib.SAMCAR2_POWER_OFF;
    run.Check("sam-power", call(run.reader(), message.text), message.text);
    run.Field("slot", slot, std::to_string(slot));
  }
}

void RfsimRequest(Run& run, const std::vector<std::string>& words) {
  NeedArguments(words, 0, 0, "rfsim-request [--all]");
  char identifier[17];
  Message message;
  const int mode = run.line().Has("all") ? 1 : 0;
  run.Check("rfsim-request", run.lib().REQ_RFSIM_CARD(run.reader(), mode, identifier, message.text),
            message.text);
  run.Field("identifier", identifier);
}

// ---- dump ------------------------------------------------------------------------------------

// "000 000 000 001": C1 C2 C3 of blocks 0-3 from a trailer's bytes 6-8, or why not.
std::string AccessConditions(const std::string& trailer_hex) {
  if (trailer_hex.size() != 32) return "";
  const auto byte = [&](int i) { return std::stoi(trailer_hex.substr(2 * i, 2), nullptr, 16); };
  const int b6 = byte(6), b7 = byte(7), b8 = byte(8);
  std::string out = "access";
  for (int block = 0; block < 4; ++block) {
    const int c1 = b7 >> (4 + block) & 1, c2 = b8 >> block & 1, c3 = b8 >> (4 + block) & 1;
    if (c1 == (b6 >> block & 1) || c2 == (b6 >> (4 + block) & 1) || c3 == (b7 >> block & 1)) {
      return "access bytes inconsistent (or not readable with this key)";
    }
    out += " " + std::to_string(c1) + std::to_string(c2) + std::to_string(c3);
  }
  return out;
}

class Progress {
 public:
  explicit Progress(int total) : total_(total), shown_(isatty(STDERR_FILENO) != 0) {}
  ~Progress() {
    if (shown_) std::cerr << "\r" << std::string(40, ' ') << "\r" << std::flush;
  }
  void Show(int done) const {
    if (!shown_) return;
    constexpr int kWidth = 20;
    const int filled = done * kWidth / total_;
    std::cerr << "\rdump [" << std::string(filled, '#') << std::string(kWidth - filled, '.') << "] "
              << done << "/" << total_ << " sectors" << std::flush;
  }

 private:
  int total_;
  bool shown_;
};

void Dump(Run& run, const std::vector<std::string>& words) {
  NeedArguments(words, 0, 0, "dump [--key-type A|B] [--key HEX12]");
  const int key_type = KeyType(run.line());
  const std::string key = CheckHex(run.line().Get("key", "FFFFFFFFFFFF"), 12, "--key");
  const EditionLibrary& lib = run.lib();
  // The display edition sends the sector modulo 15: its sector 15 would read sector 0.
  const int sectors = lib.edition() == Edition::kDisplay ? 15 : 16;

  char atqa[5], uid[9];
  Message message;
  run.Check("card-request", lib.REQ_14443_CARD(run.reader(), 1, atqa, uid, message.text),
            message.text);
  run.Field("uid", uid);
  run.Field("key", std::string(key_type == 0 ? "A " : "B ") + key);

  Json table = Json::MakeArray();
  run.HumanOnly("sector  block  data");
  int failures = 0;
  CommandFailed first_failure{"", 0, ""};
  const auto failed = [&](int sector, const char* step, int result, const char* text) {
    const std::string shown = GbkTo(run.encoding(), text);
    table.Push(Json::MakeObject()
                   .Set("sector", sector)
                   .Set("ok", false)
                   .Set("step", step)
                   .Set("result", result)
                   .Set("status", Hex(static_cast<std::uint32_t>(result), 4))
                   .Set("message", GbkTo("UTF-8", text)));
    char line[64];
    std::snprintf(line, sizeof line, "%6d      -  %s failed (status %04X): ", sector, step,
                  static_cast<unsigned>(result));
    run.HumanOnly(line + shown);
    if (failures++ == 0) {
      first_failure = {std::string(step) + " of sector " + std::to_string(sector), result, text};
    }
  };

  const Progress progress(sectors);
  for (int sector = 0; sector < sectors; ++sector) {
    progress.Show(sector);
    Message auth;
    const int auth_result = lib.MIFS_AUTH(run.reader(), sector, key_type, key.c_str(), auth.text);
    if (auth_result != 0) {
      failed(sector, "auth", auth_result, auth.text);
      // A card that failed an authentication wants selecting again before the next one.
      Message again;
      lib.REQ_14443_CARD(run.reader(), 1, atqa, uid, again.text);
      continue;
    }
    Json blocks = Json::MakeArray();
    bool sector_ok = true;
    for (int block = 0; block < 4 && sector_ok; ++block) {
      char data[33];
      Message read;
      const int result = lib.MIFS_READ(run.reader(), sector, block, data, read.text);
      if (result != 0) {
        failed(sector, "read", result, read.text);
        sector_ok = false;
        break;
      }
      blocks.Push(data);
      char line[80];
      std::snprintf(line, sizeof line, "%6d  %5d  %s", sector, block, data);
      run.HumanOnly(std::string(line) + (block == 3 ? "  " + AccessConditions(data) : ""));
    }
    if (sector_ok) {
      table.Push(Json::MakeObject().Set("sector", sector).Set("ok", true).Set("blocks", blocks));
    }
  }
  progress.Show(sectors);
  if (sectors == 15) run.HumanOnly("sector 15 is out of the display edition's reach");
  run.JsonOnly("sectors", table);
  run.JsonOnly("sectors_failed", failures);
  if (failures != 0) throw first_failure;
}

// ---- purchase modules ------------------------------------------------------------------------

struct ModuleCalls {
  std::string name;
  decltype(&::CPU_PBOC_INIT_MODULE) init;
  decltype(&::CPU_PBOC_REQA_CARD) request;
  decltype(&::CPU_PBOC_PURCHASE) purchase;
  decltype(&::CPU_PBOC_GET_BALANCE) balance;
  decltype(&::CPU_PBOC_GET_CARDINFO) card_info;
};

ModuleCalls ModuleOf(Run& run) {
  const std::string name = run.line().Get("module", "cpu");
  const EditionLibrary& lib = run.lib();
  if (name == "cpu") {
    return {name,
            lib.CPU_PBOC_INIT_MODULE,
            lib.CPU_PBOC_REQA_CARD,
            lib.CPU_PBOC_PURCHASE,
            lib.CPU_PBOC_GET_BALANCE,
            lib.CPU_PBOC_GET_CARDINFO};
  }
  if (name == "rfsim") {
    return {name,
            lib.RFSIM_INIT_MODULE,
            lib.RFSIM_REQA_CARD,
            lib.RFSIM_PURCHASE,
            lib.RFSIM_GET_BALANCE,
            lib.RFSIM_GET_CARDINFO};
  }
  throw UsageError("--module is cpu or rfsim, not \"" + name + "\"");
}

std::int32_t Amount(const CommandLine& line) {
  if (!line.Has("amount")) throw UsageError("--amount N is needed (in the purse's units)");
  return static_cast<std::int32_t>(ParseNumber(line.Get("amount"), 1, 0x7FFFFFFF, "--amount"));
}

PurchaseRecord Prepared(const CommandLine& line, std::int32_t amount) {
  PurchaseRecord record{};
  record.Amount = amount;
  const std::string prep = CheckHex(line.Get("prep", NowBcd()), 14, "--prep");
  std::memcpy(record.PrepData, prep.c_str(), prep.size() + 1);
  return record;
}

void InitModule(Run& run, const ModuleCalls& m, int p1, int p2) {
  char module_data[13];
  Message message;
  run.Check("init", m.init(run.reader(), p1, p2, module_data, message.text), message.text);
  run.Field("module_data", module_data);
}

std::int32_t Balance(Run& run, const ModuleCalls& m, const std::string& step) {
  std::int32_t balance = 0;
  Message message;
  run.Check(step, m.balance(run.reader(), &balance, message.text), message.text);
  return balance;
}

void RequestCard(Run& run, const ModuleCalls& m, int param, PurchaseRecord& record) {
  Message message;
  run.Check("request", m.request(run.reader(), param, record, &record, message.text), message.text);
  run.Field("card_id", record.CardId);
  run.Field("card_info", record.CardInfo);
  run.Field("prep_text", record.PrepText);
  run.Field("prep_byte1", record.PrepByte1, Hex(record.PrepByte1, 2));
  run.Field("prep_byte2", record.PrepByte2, Hex(record.PrepByte2, 2));
  run.Field("card_value24", record.CardValue24, std::to_string(record.CardValue24));
  run.Field("prep_value16", record.PrepValue16, std::to_string(record.PrepValue16));
  run.Field("prep_value32", record.PrepValue32, std::to_string(record.PrepValue32));
}

void Purchase(Run& run, const ModuleCalls& m, PurchaseRecord& record) {
  Message message;
  run.Check("purchase", m.purchase(run.reader(), &record, message.text), message.text);
  run.Field("result_text1", record.ResultText1);
  run.Field("result_text2", record.ResultText2);
  run.Field("result_text3", record.ResultText3);
  run.Field("result_text4", record.ResultText4);
}

void Purse(Run& run, const std::vector<std::string>& words) {
  if (words.size() < 2)
    throw UsageError("usage: vorlex purse init|request|purchase|balance|card-info");
  const ModuleCalls m = ModuleOf(run);
  const std::string& step = words[1];
  run.Field("module", m.name);
  if (step == "init") {
    if (words.size() != 2 && words.size() != 4)
      throw UsageError("usage: vorlex purse init [P1 P2]");
    const int p1 = words.size() == 4 ? static_cast<int>(ParseNumber(words[2], 0, 255, "P1")) : 0;
    const int p2 = words.size() == 4 ? static_cast<int>(ParseNumber(words[3], 0, 255, "P2")) : 0;
    InitModule(run, m, p1, p2);
    return;
  }
  if (words.size() != 2) throw UsageError("purse " + step + " takes no arguments");
  if (step == "request") {
    PurchaseRecord record = Prepared(run.line(), Amount(run.line()));
    const int param =
        static_cast<int>(ParseNumber(run.line().Get("param", "0"), 0, 255, "--param"));
    run.Field("amount", record.Amount, Money(record.Amount));
    RequestCard(run, m, param, record);
  } else if (step == "purchase") {
    PurchaseRecord record{};
    Purchase(run, m, record);
  } else if (step == "balance") {
    const std::int32_t balance = Balance(run, m, "balance");
    run.Field("balance", balance, Money(balance));
  } else if (step == "card-info") {
    PurchaseRecord record{};
    Message message;
    run.Check("card-info", m.card_info(run.reader(), 0, &record, message.text), message.text);
    run.Field("card_id", record.CardId);
    run.Field("card_info", record.CardInfo);
    run.Field("card_value24", record.CardValue24, std::to_string(record.CardValue24));
  } else {
    throw UsageError("purse steps: init, request, purchase, balance, card-info");
  }
}

void PurchaseInOneGo(Run& run, const std::vector<std::string>& words) {
  NeedArguments(words, 0, 0, "purchase --amount N [--module cpu|rfsim] [--prep HEX14]");
  const ModuleCalls m = ModuleOf(run);
  PurchaseRecord record = Prepared(run.line(), Amount(run.line()));
  run.Field("module", m.name);
  InitModule(run, m, 0, 0);
  const std::int32_t before = Balance(run, m, "balance before");
  run.Field("balance_before", before, Money(before));
  run.Field("amount", record.Amount, Money(record.Amount));
  RequestCard(run, m, 0, record);
  Purchase(run, m, record);
  run.PinMessage();
  const std::int32_t after = Balance(run, m, "balance after");
  run.Field("balance_after", after, Money(after));
}

// ---- main ------------------------------------------------------------------------------------

int Main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  CommandLine line;
  try {
    line = ParseCommandLine(argc, argv);
  } catch (const UsageError& error) {
    std::cerr << "vorlex: " << error.what() << "\nTry 'vorlex --help'.\n";
    return 2;
  }
  if (line.Has("help")) {
    std::cout << kUsage;
    return 0;
  }
  if (line.Has("version")) {
    std::cout << "vorlex " << VORLEX_VERSION << "\n";
    return 0;
  }
  if (line.words.empty()) {
    std::cerr << kUsage;
    return 2;
  }
  const std::vector<std::string>& words = line.words;
  const std::string& command = words[0];
  Run run(line, command == "purse" && words.size() > 1 ? "purse " + words[1] : command);
  try {
    using Handler = std::function<void(Run&, const std::vector<std::string>&)>;
    const std::map<std::string, Handler> handlers = {
        {"beep", Beep},
        {"hardware-version", [](Run& r, const auto& w) { Version(r, w, true); }},
        {"software-version", [](Run& r, const auto& w) { Version(r, w, false); }},
        {"display", Display},
        {"card-request", CardRequest},
        {"ats", Ats},
        {"auth", Auth},
        {"read", Read},
        {"write", Write},
        {"halt", [](Run& r, const auto& w) { Halt(r, w, false); }},
        {"dump", Dump},
        {"apdu", Apdu},
        {"sam-power", SamPower},
        {"rfsim-request", RfsimRequest},
        {"rfsim-halt", [](Run& r, const auto& w) { Halt(r, w, true); }},
        {"purse", Purse},
        {"purchase", PurchaseInOneGo},
    };
    const auto handler = handlers.find(command);
    if (handler == handlers.end()) throw UsageError("unknown command \"" + command + "\"");

    Edition edition = command == "display" ? Edition::kDisplay : Edition::kEpurse;
    if (line.Has("edition")) {
      const std::string name = line.Get("edition");
      if (name != "epurse" && name != "display") throw UsageError("--edition is epurse or display");
      edition = name == "epurse" ? Edition::kEpurse : Edition::kDisplay;
    }
    const bool purse = command == "purse" || command == "purchase";
    if (purse && edition != Edition::kEpurse) {
      throw UsageError(command + " needs the e-purse edition");
    }
    if (command == "display" && edition != Edition::kDisplay) {
      throw UsageError("display needs the display edition");
    }
    run.Open(edition);
    handler->second(run, words);
    run.PrintSuccess();
    return 0;
  } catch (const UsageError& error) {
    std::cerr << "vorlex: " << error.what() << "\nTry 'vorlex --help'.\n";
    return 2;
  } catch (const SetupError& error) {
    if (line.Has("json")) {
      std::cout << Json::MakeObject()
                       .Set("command", command)
                       .Set("ok", false)
                       .Set("error", error.what())
                       .Dump()
                << "\n";
    }
    std::cerr << "vorlex: " << error.what() << "\n";
    return 3;
  } catch (const CommandFailed& failure) {
    run.PrintFailure(failure);
    return 1;
  }
}

}  // namespace
}  // namespace vorlex::cli

int main(int argc, char** argv) { return vorlex::cli::Main(argc, argv); }
