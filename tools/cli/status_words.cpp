#include "status_words.h"

namespace vorlex::cli {
namespace {

struct StatusEntry {
  std::uint16_t value;
  std::uint16_t mask;  // 0xFF00 for the words whose second byte is a count
  const char* name;
};

constexpr StatusEntry kStatusWords[] = {
    {0x9000, 0xFFFF, "Normal processing."},
    {0x6100, 0xFF00, "more data: %u bytes available (GET RESPONSE)"},
    {0x6200, 0xFFFF, "warning: non-volatile memory unchanged"},
    {0x6281, 0xFFFF, "warning: part of the returned data may be corrupted"},
    {0x6282, 0xFFFF, "warning: end of file or record reached before Le bytes"},
    {0x6283, 0xFFFF, "warning: selected file deactivated"},
    {0x6300, 0xFFFF, "warning: verification failed"},
    {0x63C0, 0xFFF0, "warning: verification failed, %u tries left"},
    {0x6400, 0xFFFF, "execution error: non-volatile memory unchanged"},
    {0x6500, 0xFFFF, "execution error: non-volatile memory changed"},
    {0x6581, 0xFFFF, "memory failure"},
    {0x6700, 0xFFFF, "wrong length"},
    {0x6800, 0xFFFF, "function in CLA not supported"},
    {0x6881, 0xFFFF, "logical channel not supported"},
    {0x6882, 0xFFFF, "secure messaging not supported"},
    {0x6900, 0xFFFF, "command not allowed"},
    {0x6981, 0xFFFF, "command incompatible with file structure"},
    {0x6982, 0xFFFF, "security status not satisfied"},
    {0x6983, 0xFFFF, "authentication method blocked"},
    {0x6984, 0xFFFF, "reference data not usable"},
    {0x6985, 0xFFFF, "conditions of use not satisfied"},
    {0x6986, 0xFFFF, "command not allowed (no current EF)"},
    {0x6987, 0xFFFF, "expected secure messaging data objects missing"},
    {0x6988, 0xFFFF, "incorrect secure messaging data objects"},
    {0x6A80, 0xFFFF, "incorrect parameters in the command data field"},
    {0x6A81, 0xFFFF, "function not supported"},
    {0x6A82, 0xFFFF, "file or application not found"},
    {0x6A83, 0xFFFF, "record not found"},
    {0x6A84, 0xFFFF, "not enough memory space in the file"},
    {0x6A86, 0xFFFF, "incorrect parameters P1-P2"},
    {0x6A87, 0xFFFF, "Lc inconsistent with P1-P2"},
    {0x6A88, 0xFFFF, "referenced data not found"},
    {0x6B00, 0xFFFF, "wrong parameters P1-P2"},
    {0x6C00, 0xFF00, "wrong Le: %u bytes available, send again with that Le"},
    {0x6D00, 0xFFFF, "instruction code not supported or invalid"},
    {0x6E00, 0xFFFF, "class not supported"},
    {0x6F00, 0xFFFF, "no precise diagnosis"},
};

}  // namespace

std::string Iso7816StatusName(std::uint16_t sw) {
  for (const StatusEntry& entry : kStatusWords) {
    if ((sw & entry.mask) != entry.value) continue;
    const unsigned count = sw & static_cast<std::uint16_t>(~entry.mask);
    std::string name = entry.name;
    if (const auto at = name.find("%u"); at != std::string::npos) {
      // 61 00 and 6C 00 mean 256 bytes.
      const unsigned shown = count == 0 && entry.mask == 0xFF00 ? 256 : count;
      name.replace(at, 2, std::to_string(shown));
    }
    return name;
  }
  return "unknown status word";
}

}  // namespace vorlex::cli
