#include "mifare_safety.h"

#include "numbers.h"

namespace vorlex::cli {

void WriteAllowance::AddTo(CLI::App* command) {
  command->add_flag("--allow-trailer", trailer,
                    "allow writing a sector trailer (keys and access bits), if its access bits "
                    "are valid and keep the trailer changeable");
  command->add_flag("--allow-permanent-lock", permanent_lock,
                    "with --allow-trailer: allow access bits that fix a sector for good");
  command->add_flag("--allow-block0", block0,
                    "allow writing block 0 of sector 0 (the manufacturer block), if its check "
                    "byte is right");
}
namespace {

std::string Bits(int condition) {
  const char bits[4] = {static_cast<char>('0' + (condition >> 2 & 1)),
                        static_cast<char>('0' + (condition >> 1 & 1)),
                        static_cast<char>('0' + (condition & 1)), '\0'};
  return bits;
}

}  // namespace

std::string DescribeAccess(const BlockBytes& trailer) {
  const auto conditions = AccessConditionsOf(trailer);
  if (!conditions) return "access bytes inconsistent (or not readable with this key)";
  std::string out;
  for (const int condition : *conditions) {
    if (!out.empty()) out += ' ';
    out += Bits(condition);
  }
  return out;
}

std::string CheckBlockWrite(int sector, int block, const BlockBytes& data,
                            const WriteAllowance& allowed) {
  const std::string where = "sector " + std::to_string(sector) + " block " + std::to_string(block);
  switch (mifare::JudgeBlockWrite(sector, block, data, allowed)) {
    case mifare::WriteVerdict::kAllowed:
      return "";
    case mifare::WriteVerdict::kManufacturerBlock:
      return where +
             " is the manufacturer block (UID and check byte); most cards refuse the write, "
             "and cards that take it stop answering when it is wrong. Add --allow-block0 to "
             "write it";
    case mifare::WriteVerdict::kWrongCheckByte:
      return "block 0: byte 4 must be the check byte of the UID in bytes 0-3 (their XOR), " +
             Hex(mifare::ManufacturerCheckByte(data), 2) + ", not " + Hex(data[4], 2);
    case mifare::WriteVerdict::kTrailer:
      return where +
             " is the sector trailer (key A, access bits, key B): a wrong one locks the sector "
             "for good. Add --allow-trailer to write it";
    case mifare::WriteVerdict::kInvalidAccessBits:
      return "the access bits " + HexOf(data.data() + 6, 3) +
             " (bytes 6-8) are not a valid combination: each inverted copy must match its "
             "plain copy, or the card locks the sector";
    case mifare::WriteVerdict::kPermanentLock:
      break;
  }
  return "the trailer's access condition " + Bits((*AccessConditionsOf(data))[3]) +
         " lets no key change the access bits again: the sector's keys and conditions would "
         "be fixed for good. Use 001, 011 or 101, or add --allow-permanent-lock if that is "
         "intended";
}

}  // namespace vorlex::cli
