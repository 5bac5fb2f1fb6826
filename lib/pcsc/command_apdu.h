// A command APDU as PC/SC programs send it (ISO 7816-4 short cases 1 to 4), turned into the
// record the reader's APDU request carries. Extended-length APDUs are recognised so that they
// can be refused: the reader's request has one byte each for Lc and Le.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "commands/apdu_request.h"

namespace vorlex::pcsc {

enum class ApduShape { kShort, kExtended, kMalformed };

inline ApduShape ParseCommandApdu(std::span<const std::uint8_t> apdu, ApduRecord& record) noexcept {
  if (apdu.size() < 4) return ApduShape::kMalformed;
  record = ApduRecord{};
  record.cla = apdu[0];
  record.ins = apdu[1];
  record.p1 = apdu[2];
  record.p2 = apdu[3];
  if (apdu.size() == 4) return ApduShape::kShort;  // case 1
  const std::size_t body = apdu.size() - 4;
  const std::uint8_t first = apdu[4];
  if (body == 1) {  // case 2: Le
    record.le = first;
    return ApduShape::kShort;
  }
  if (first == 0) return ApduShape::kExtended;     // 00 then two length bytes: extended
  if (body == 1u + first || body == 2u + first) {  // case 3, case 4 with Le
    record.lc = first;
    std::memcpy(record.data, apdu.data() + 5, first);
    if (body == 2u + first) record.le = apdu[apdu.size() - 1];
    return ApduShape::kShort;
  }
  return ApduShape::kMalformed;
}

}  // namespace vorlex::pcsc
