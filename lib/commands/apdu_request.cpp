#include "commands/apdu_request.h"

#include <cstring>

namespace vorlex {

namespace {

constexpr std::size_t kHeaderBytes = 4;
constexpr std::size_t kCase2Bytes = 5;  // header and one byte (Le)

void FillRecord(const std::uint8_t* bytes, std::uint8_t lc, std::uint8_t le, ApduRecord& record) {
  record.cla = bytes[0];
  record.ins = bytes[1];
  record.p1 = bytes[2];
  record.p2 = bytes[3];
  record.lc = lc;
  record.le = le;
  std::memcpy(record.data, bytes + kCase2Bytes, lc);
}

}  // namespace

bool ApduRecordOf(std::span<const std::uint8_t> bytes, ApduRule rule, ApduRecord& record) noexcept {
  const std::size_t count = bytes.size();
  if (count < kCase2Bytes || count > kMaxApduBytes) return false;
  if (count == kCase2Bytes) {
    FillRecord(bytes.data(), 0, bytes[kHeaderBytes], record);
    return true;
  }
  const std::size_t lc = bytes[kHeaderBytes];
  const std::size_t case3_bytes = kCase2Bytes + lc;
  if (rule == ApduRule::kStrict) {
    if (count != case3_bytes) return false;
    FillRecord(bytes.data(), static_cast<std::uint8_t>(lc), 0, record);
    return true;
  }
  if (count < case3_bytes) return false;  // Lc announces more data than there is
  const std::uint8_t le = count == case3_bytes ? 0 : bytes[count - 1];
  FillRecord(bytes.data(), static_cast<std::uint8_t>(lc), le, record);
  return true;
}

}  // namespace vorlex
