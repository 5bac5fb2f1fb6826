// Command APDUs relayed to a card unit, at byte level: the record the reader's APDU request
// carries, the two shape rules, and the request itself. The exports parse their hex text into
// bytes and then come here; the PC/SC driver and the agent start from the caller's bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/command.h"

namespace vorlex {

struct ApduRecord {
  std::uint8_t cla, ins, p1, p2;
  std::uint8_t lc;  // number of data bytes, 0 when there are none
  std::uint8_t le;  // 0 when the APDU carries none
  std::uint8_t data[255];
};

enum class ApduRule {
  kStrict,   // card and SAMs: exactly case 2 or case 3
  kLenient,  // RF-SIM: case 4 and surplus accepted (Le is then the last byte)
};

// The most bytes an APDU relay takes.
inline constexpr std::size_t kMaxApduBytes = 199;

// Fills `record` from the APDU's bytes; false when the rule refuses them ("apdu数据错误").
bool ApduRecordOf(std::span<const std::uint8_t> bytes, ApduRule rule, ApduRecord& record) noexcept;

// The APDU request of a unit: its class and code, CLA INS P1 P2 Lc Le, then the Lc data bytes.
inline Request ApduRequest(CommandCode command, const ApduRecord& record) noexcept {
  Request request(command);
  request.Byte(record.cla).Byte(record.ins).Byte(record.p1).Byte(record.p2);
  request.Byte(record.lc).Byte(record.le).Bytes({record.data, record.lc});
  return request;
}

}  // namespace vorlex
