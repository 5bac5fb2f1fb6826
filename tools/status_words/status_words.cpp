#include "status_words.h"

namespace vorlex {
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

// A reader status word's cause. `step` "" stands for every step, `status` 0 for every status
// (the step's usual cause, after the words that tell more). The first match wins, so the
// step-specific rows of a word come before its general one.
struct ReaderHint {
  const char* step;
  int status;
  const char* hint;
};

constexpr char kNeedsAuth[] =
    "Mifare blocks need a card request and the sector's authentication first "
    "(vorlex card-request, then vorlex auth SECTOR)";
constexpr char kNeedsPurseRequest[] =
    "a purchase needs a successful request first (vorlex purse request)";

constexpr ReaderHint kReaderHints[] = {
    // By status word (the reader's firmware codes, as the simulator gives them).
    {"", 0x0101, "the reader does not know this command: is it the reader's edition?"},
    {"", 0x0102, "the reader refused the arguments' length: an APDU whose Lc does not match"},
    {"", 0x0103, "the request arrived damaged (bad checksum): check the cable"},
    {"", 0x0104, "the reader refused an argument's value (a key type other than A or B)"},
    {"rfsim_request", 0x0201,
     "no RF-SIM card answered: hold the phone to the reader, or use --wait"},
    {"", 0x0201, "no card answered: put one on the reader, or wait for one with --wait"},
    {"apdu", 0x0202, "no card selected: vorlex card-request (or rfsim-request) first"},
    {"", 0x0202,
     "no card selected: request it first (vorlex card-request; after a halt or a failed "
     "authentication the card must be requested again)"},
    {"", 0x0203,
     "the card on the reader is a storage card without ISO 14443-4 (no ATS, no APDUs): use a "
     "CPU card, or the Mifare commands (auth, read, write); request the card again after this"},
    {"", 0x0301,
     "the key does not open this sector: another key (--key, --keys FILE) or --key-type B"},
    {"", 0x0302, kNeedsAuth},
    {"", 0x0303,
     "the sector's access conditions refuse this with the key used (block 0 is read-only): "
     "try key B (--key-type B), see the trailer's access bits (vorlex read SECTOR 3)"},
    {"", 0x0304, "sectors are 0-15, blocks 0-3"},
    {"", 0x0305,
     "the trailer's access bytes are inconsistent (their inverted copies do not match): a real "
     "card would lock the sector for good"},
    {"", 0x0306,
     "the card took the write, but the simulator could not save its card file "
     "(vorlex-sim --card-file): see the simulator's messages"},
    {"", 0x0401, "the SAM slot is not powered: vorlex sam-power on SLOT first"},
    {"", 0x0402, "no SAM in this slot: insert one (on the simulator: vorlex-sim ctl insert sam1)"},
    {"", 0x0501, "the purchase module is not initialised: vorlex purse init first"},
    {"", 0x0502, "the purse's balance is lower than the amount: vorlex purse balance shows it"},
    {"", 0x0503, kNeedsPurseRequest},
    {"", 0x0504, "the amount is refused: 1 to 2147483647 cents"},
    // By step, for the other words.
    {"card_request", 0, "no card answered: put one on the reader, or wait for one with --wait"},
    {"rfsim_request", 0, "no RF-SIM card answered: hold the phone to the reader, or use --wait"},
    {"auth", 0, "a wrong key or key type, or no card requested first (vorlex card-request)"},
    {"read", 0, kNeedsAuth},
    {"write", 0, kNeedsAuth},
    {"ats", 0, "no ISO 14443-4 card selected: run vorlex card-request first"},
    {"apdu", 0, "a CPU card needs card-request (and ats) first, a SAM sam-power on"},
    {"request", 0, "is the module initialised (vorlex purse init) and a card on the reader?"},
    {"purchase", 0, kNeedsPurseRequest},
};

}  // namespace

std::string ReaderStatusHint(std::string_view step, int status) {
  for (const ReaderHint& row : kReaderHints) {
    if ((row.step[0] == '\0' || step == row.step) && (row.status == 0 || row.status == status)) {
      return row.hint;
    }
  }
  return "";
}

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

}  // namespace vorlex
