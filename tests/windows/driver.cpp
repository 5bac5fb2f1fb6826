// The Windows side of the Wine suite: loads one edition's vorlex.dll the way an application
// does (LoadLibrary, GetProcAddress by plain name), makes the calls of one case and prints what
// came back as key=value lines. tests/windows/harness scripts the reader and judges the output.
//
//   vorlex_wine_driver probe
//   vorlex_wine_driver <dll> exports <own exports.txt> <other exports.txt>
//   vorlex_wine_driver <dll> <case> <port name, "-" for none>
//
// Function pointer types come from the public headers with decltype, so a calling convention
// or argument size that differs from the header crashes or corrupts here, as in a real caller.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "vorlex_display.h"
#include "vorlex_epurse.h"

namespace {

HMODULE library = nullptr;

[[noreturn]] void Fail(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::printf("error=");
  std::vprintf(format, args);
  std::printf("\n");
  va_end(args);
  std::fflush(stdout);
  std::exit(3);
}

template <typename Function>
Function Find(const char* name) {
  FARPROC address = GetProcAddress(library, name);
  if (address == nullptr) Fail("no export %s", name);
  return reinterpret_cast<Function>(reinterpret_cast<void*>(address));
}
#define VORLEX_FIND(name) Find<decltype(&name)>(#name)

std::string Hex(const void* data, std::size_t count) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    const auto byte = static_cast<const unsigned char*>(data)[i];
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

// The message as hex up to its NUL, and whether the rest of the 50 bytes was cleared.
void PrintMessage(const char* message) {
  const std::size_t length = strnlen(message, VORLEX_MESSAGE_SIZE);
  bool cleared = true;
  for (std::size_t i = length; i < VORLEX_MESSAGE_SIZE; ++i) cleared = cleared && message[i] == 0;
  std::printf("message=%s\nmessage_rest_cleared=%s\n", Hex(message, length).c_str(),
              cleared ? "yes" : "no");
}

// Buffers start with a byte the library never writes, so untouched bytes show.
constexpr unsigned char kFill = 0xEE;
struct Buffers {
  Buffers() {
    std::memset(text, kFill, sizeof text);
    std::memset(message, 0xAA, sizeof message);
  }
  char text[VORLEX_REPLY_TEXT_SIZE];
  char message[VORLEX_MESSAGE_SIZE];
};

std::vector<std::string> ExportNames(const char* path) {
  std::ifstream file(path);
  if (!file) Fail("cannot read %s", path);
  std::vector<std::string> names;
  std::string name, bytes;
  while (file >> name >> bytes) names.push_back(name);
  return names;
}

// Every export of the edition by plain name; none of the other edition's own exports; no
// decorated name in any of the forms a 32-bit toolchain would make.
int CheckExports(const char* own_list, const char* other_list) {
  const auto own = ExportNames(own_list);
  const std::set<std::string> own_set(own.begin(), own.end());
  std::string missing, unexpected;
  int found = 0, absent = 0;
  for (const auto& name : own) {
    if (GetProcAddress(library, name.c_str()) != nullptr) {
      ++found;
    } else {
      missing += " " + name;
    }
  }
  std::ifstream file(own_list);
  std::string name, bytes;
  while (file >> name >> bytes) {
    for (const auto& decorated : {name + "@" + bytes, "_" + name + "@" + bytes}) {
      if (GetProcAddress(library, decorated.c_str()) != nullptr) unexpected += " " + decorated;
    }
  }
  for (const auto& other : ExportNames(other_list)) {
    if (own_set.count(other) != 0) continue;
    if (GetProcAddress(library, other.c_str()) == nullptr) {
      ++absent;
    } else {
      unexpected += " " + other;
    }
  }
  std::printf("found=%d\nabsent=%d\nmissing=%s\nunexpected=%s\n", found, absent, missing.c_str(),
              unexpected.c_str());
  return 0;
}

using Case = void (*)(ReaderHandle);

void Beep(ReaderHandle reader) { std::printf("result=%d\n", VORLEX_FIND(BELL_BEEP)(reader, 100)); }

void SilentBeep(ReaderHandle reader) {
  const ULONGLONG start = GetTickCount64();
  const int result = VORLEX_FIND(BELL_BEEP)(reader, 100);
  std::printf("result=%d\nelapsed_ms=%llu\n", result, GetTickCount64() - start);
}

void HardwareVersion(ReaderHandle reader) {
  Buffers out;
  const int result = VORLEX_FIND(GET_HARDWARE_VER)(
      reader, reinterpret_cast<unsigned char*>(out.text), out.message);
  std::printf("result=%d\nversion=%s\n", result, Hex(out.text, 6).c_str());
  PrintMessage(out.message);
}

void Card(ReaderHandle reader) {
  Buffers out;
  char atqa[5] = "-", uid[9] = "-";
  const int result = VORLEX_FIND(REQ_14443_CARD)(reader, 1, atqa, uid, out.message);
  std::printf("result=%d\natqa=%s\nuid=%s\n", result, atqa, uid);
  PrintMessage(out.message);
}

void MifareRead(ReaderHandle reader) {
  Buffers out;
  const int result = VORLEX_FIND(MIFS_READ)(reader, 17, 6, out.text, out.message);
  std::printf("result=%d\ndata=%s\n", result, out.text);
}

void CpuApdu(ReaderHandle reader) {
  Buffers out;
  const int result = VORLEX_FIND(CPUCARD_APDU)(reader, "0084000008", out.text, out.message);
  std::printf("result=%d\nreply=%s\n", result, out.text);
  PrintMessage(out.message);
}

void Sam1PowerOn(ReaderHandle reader) {
  Buffers out;
  const int result = VORLEX_FIND(SAMCAR1_POWER_ON)(reader, out.text, out.message);
  std::printf("result=%d\nreset_answer=%s\n", result, out.text);
}

void RfsimCard(ReaderHandle reader) {
  Buffers out;
  char identifier[17] = "-";
  const int result = VORLEX_FIND(REQ_RFSIM_CARD)(reader, 1, identifier, out.message);
  std::printf("result=%d\nidentifier=%s\n", result, identifier);
}

void RfsimApdu(ReaderHandle reader) {
  Buffers out;
  const int result = VORLEX_FIND(RFSIMCARD_APDU)(reader, "00A4040002DF01", out.text, out.message);
  std::printf("result=%d\nreply=%s\n", result, out.text);
}

void LedDisplay(ReaderHandle reader) {
  std::printf("result=%d\n", VORLEX_FIND(LED_DISPLAY)(reader, "HELLO", 300));
}

// One record through a card search and a purchase: passed by value and, in the same call,
// pointed at as the output.
void Purchase(ReaderHandle reader) {
  PurchaseRecord record;
  std::memset(&record, 0x5C, sizeof record);
  record.Amount = 100;
  std::memset(record.PrepData, 0, sizeof record.PrepData);
  std::memcpy(record.PrepData, "0123456789ABCD", 14);
  const PurchaseRecord before = record;
  char message[VORLEX_MESSAGE_SIZE];

  const int search = VORLEX_FIND(CPU_PBOC_REQA_CARD)(reader, 6, record, &record, message);
  std::printf("search=%d\nCardId=%s\nCardInfo=%s\nPrepText=%s\n", search, record.CardId,
              record.CardInfo, record.PrepText);
  std::printf("PrepByte1=%02X\nPrepByte2=%02X\nCardValue24=%u\nPrepValue16=%u\nPrepValue32=%u\n",
              record.PrepByte1, record.PrepByte2, static_cast<unsigned>(record.CardValue24),
              static_cast<unsigned>(record.PrepValue16), static_cast<unsigned>(record.PrepValue32));

  const int purchase = VORLEX_FIND(CPU_PBOC_PURCHASE)(reader, &record, message);
  std::printf("purchase=%d\nResultText1=%s\nResultText2=%s\nResultText3=%s\nResultText4=%s\n",
              purchase, record.ResultText1, record.ResultText2, record.ResultText3,
              record.ResultText4);

  // The bytes the library never writes: the caller's, the unused ones, Amount and PrepData.
  const auto* old_bytes = reinterpret_cast<const unsigned char*>(&before);
  const auto* new_bytes = reinterpret_cast<const unsigned char*>(&record);
  bool kept = true;
  for (const auto& [first, count] :
       std::map<int, int>{{0, 15}, {57, 3}, {60, 20}, {99, 1}, {138, 2}}) {
    kept = kept && std::memcmp(old_bytes + first, new_bytes + first, count) == 0;
  }
  std::printf("caller_bytes_kept=%s\n", kept ? "yes" : "no");
}

// The two sentinel handles and a handle closed twice: refused by the port layer itself, so
// closing fails with -105 and a command fails with 1 and its failure text, sending nothing.
// The caller's own handle is closed here, so main's close is the second one.
void Sentinels(ReaderHandle reader) {
  const auto invalid = static_cast<ReaderHandle>(INVALID_HANDLE_VALUE);
  std::printf("close_null=%d\nclose_invalid=%d\n", VORLEX_FIND(Close_Reader)(nullptr),
              VORLEX_FIND(Close_Reader)(invalid));
  std::printf("beep_null=%d\nbeep_invalid=%d\n", VORLEX_FIND(BELL_BEEP)(nullptr, 100),
              VORLEX_FIND(BELL_BEEP)(invalid, 100));
  for (ReaderHandle sentinel : {ReaderHandle{nullptr}, invalid}) {
    Buffers out;
    const int result = VORLEX_FIND(GET_HARDWARE_VER)(
        sentinel, reinterpret_cast<unsigned char*>(out.text), out.message);
    std::printf("version_result=%d\nversion=%s\n", result, Hex(out.text, 2).c_str());
    PrintMessage(out.message);
  }
  std::printf("close_own=%d\n", VORLEX_FIND(Close_Reader)(reader));
}

void OpenOnly(ReaderHandle) {}

const std::map<std::string, Case> kCases = {
    {"open", OpenOnly},
    {"beep", Beep},
    {"silent_beep", SilentBeep},
    {"hardware_version", HardwareVersion},
    {"card", Card},
    {"mifare_read", MifareRead},
    {"cpu_apdu", CpuApdu},
    {"sam1_power_on", Sam1PowerOn},
    {"rfsim_card", RfsimCard},
    {"rfsim_apdu", RfsimApdu},
    {"led_display", LedDisplay},
    {"purchase", Purchase},
    {"sentinels", Sentinels},
};

}  // namespace

int main(int argc, char** argv) {
  // Unbuffered: a run that ends early still shows how far it got.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  // Whether this machine runs this program at all (32-bit Windows code needs a 32-bit Wine).
  if (argc == 2 && std::strcmp(argv[1], "probe") == 0) {
    std::printf("probe=ok\n");
    return 0;
  }
  if (argc < 3) Fail("usage: %s DLL CASE ARGS...", argv[0]);
  library = LoadLibraryA(argv[1]);
  if (library == nullptr) Fail("LoadLibrary %s: %lu", argv[1], GetLastError());
  const std::string name = argv[2];
  if (name == "exports") {
    if (argc != 5) Fail("exports needs two lists");
    return CheckExports(argv[3], argv[4]);
  }
  const auto found = kCases.find(name);
  if (found == kCases.end() || argc != 4) Fail("unknown case or arguments: %s", name.c_str());

  const char* port = std::strcmp(argv[3], "-") == 0 ? nullptr : argv[3];
  ReaderHandle reader = VORLEX_FIND(Open_Reader)(port);
  std::printf("open=%s\n", reader != nullptr ? "ok" : "null");
  if (reader != nullptr) {
    found->second(reader);
    std::printf("close=%d\n", VORLEX_FIND(Close_Reader)(reader));
  } else {
    std::printf("close_null=%d\n", VORLEX_FIND(Close_Reader)(nullptr));
  }
  return 0;
}
