// Command APDUs relayed to a card unit: the parsed record, the two parsing rules, and the one
// body that every APDU export runs.
#pragma once

#include <cstdint>

#include "commands/reader_commands.h"
#include "common/command.h"
#include "vorlex.h"

namespace vorlex {

struct ApduRecord {
  std::uint8_t cla, ins, p1, p2;
  std::uint8_t lc;  // number of data bytes, 0 when there are none
  std::uint8_t le;  // 0 when the APDU carries none
  std::uint8_t data[255];
};

enum class ApduRule {
  kStrict,   // card and SAMs: even length, exactly case 2 or case 3
  kLenient,  // RF-SIM: odd last character ignored, case 4 and surplus accepted
};

inline constexpr std::size_t kApduConversionBuffer = 200;

// Fills `record` from the APDU text; false when the text is refused ("apdu数据错误").
bool ParseApdu(const char* text, ApduRule rule, ApduRecord& record) noexcept;

// The APDU request of a unit: its class and code, CLA INS P1 P2 Lc Le, then the Lc data bytes.
// The byte-level core of every APDU relay: the exports after parsing their text, the PC/SC
// driver after parsing the caller's bytes.
inline Request ApduRequest(CommandCode command, const ApduRecord& record) noexcept {
  Request request(command);
  request.Byte(record.cla).Byte(record.ins).Byte(record.p1).Byte(record.p2);
  request.Byte(record.lc).Byte(record.le).Bytes({record.data, record.lc});
  return request;
}

// The body shared by the APDU exports: parse, send class/code + record, reply as hex text.
int RelayApdu(ReaderHandle reader, CommandCode command, ApduRule rule, const char* apdu,
              char* reply, char* message) noexcept;

}  // namespace vorlex
