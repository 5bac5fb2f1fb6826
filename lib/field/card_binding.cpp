#include "card_binding.h"

#include <algorithm>

namespace vorlex::field {

Identifier Identifier::Of(std::span<const std::uint8_t> bytes) noexcept {
  Identifier id;
  id.length = std::min(bytes.size(), kMaxIdentifierBytes);
  std::copy_n(bytes.begin(), id.length, id.bytes.begin());
  return id;
}

bool Identifier::operator==(const Identifier& other) const noexcept {
  return length == other.length &&
         std::equal(bytes.begin(), bytes.begin() + length, other.bytes.begin());
}

char* Identifier::Hex(std::span<char> out) const noexcept {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  if (out.empty()) return out.data();
  std::size_t at = 0;
  for (std::size_t i = 0; i < length && at + 2 < out.size(); ++i) {
    out[at++] = kDigits[bytes[i] >> 4];
    out[at++] = kDigits[bytes[i] & 0x0F];
  }
  out[at] = '\0';
  return out.data();
}

void CardBinding::Bind(std::span<const std::uint8_t> identifier) noexcept {
  expected_ = Identifier::Of(identifier);
  found_ = Identifier{};
  state_ = Binding::kBound;
}

bool CardBinding::Verify(std::span<const std::uint8_t> found) noexcept {
  if (state_ != Binding::kBound) return false;
  const Identifier seen = Identifier::Of(found);
  if (!seen.empty() && seen == expected_) return true;
  found_ = seen;
  state_ = Binding::kLost;
  return false;
}

void CardBinding::MarkLost() noexcept {
  if (state_ != Binding::kBound) return;
  found_ = Identifier{};
  state_ = Binding::kLost;
}

void CardBinding::Release() noexcept { *this = CardBinding{}; }

bool ProbeSchedule::Due(long long now_ms) const noexcept {
  return !probed_ || now_ms - probed_at_ms_ >= interval_ms_ || now_ms < probed_at_ms_;
}

void ProbeSchedule::Record(long long now_ms, Probe outcome) noexcept {
  probed_ = true;
  probed_at_ms_ = now_ms;
  last_ = outcome;
}

}  // namespace vorlex::field
