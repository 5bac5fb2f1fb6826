// One card session bound to one card, and when to spend an exchange on asking whether a card is
// there: the rules every front end of a reader keeps (the PC/SC driver, the agent).
//
// CardBinding: activation remembers the card's identifier (a Mifare UID, an RF-SIM identifier).
// Whenever the card is selected again (after a failed command, to check it is still there) the
// front end passes what the selection found to Verify: the same identifier keeps the session;
// another one, or no card, makes the session lost. A lost session stays lost: nothing may be
// sent to the card and nothing may be answered for it (not even its identifier) until the next
// activation binds a card again. Release ends the session (power down, removal).
//
// ProbeSchedule: a slot that nobody uses is probed at most once per interval; between probes the
// last answer stands. A probe has three outcomes: a card, no card, and no answer from the reader
// (which is not "no card": the caller reports a communication error).
//
// Both are noexcept, allocate nothing and hold fixed-size state: they live inside driver tables.
// Header-only (target vorlex_field): include "field/card_binding.h" with lib/ on the include path.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vorlex::field {

// Longest identifier a card session is bound to: a triple-size ISO 14443-3 UID (10 bytes).
inline constexpr std::size_t kMaxIdentifierBytes = 10;

struct Identifier {
  std::array<std::uint8_t, kMaxIdentifierBytes> bytes{};
  std::size_t length = 0;

  // Longer identifiers keep their first kMaxIdentifierBytes bytes.
  static Identifier Of(std::span<const std::uint8_t> bytes) noexcept;
  std::span<const std::uint8_t> view() const noexcept { return {bytes.data(), length}; }
  bool empty() const noexcept { return length == 0; }
  bool operator==(const Identifier& other) const noexcept;
  // Upper-case hex, no spaces, into `out` (2 * kMaxIdentifierBytes + 1 bytes suffice); "" when
  // empty. Returns `out`.
  char* Hex(std::span<char> out) const noexcept;
};

enum class Binding {
  kNone,   // no card activated (or released)
  kBound,  // the activated card, verified at its last selection
  kLost,   // a selection found another card or none: lost until the next activation
};

class CardBinding {
 public:
  // Activation: the session belongs to this card from now on (also after a loss).
  void Bind(std::span<const std::uint8_t> identifier) noexcept;
  // A selection found `found` (empty: no card answered). True when it is the bound card; else
  // the session is lost and found() keeps what was found. A lost or unbound session stays so.
  bool Verify(std::span<const std::uint8_t> found) noexcept;
  // The card is known to be gone without a selection (an exchange the card did not answer).
  void MarkLost() noexcept;
  // Power down or removal: no card session.
  void Release() noexcept;

  Binding state() const noexcept { return state_; }
  // The session may talk to the card and answer for it.
  bool usable() const noexcept { return state_ == Binding::kBound; }
  bool lost() const noexcept { return state_ == Binding::kLost; }
  // The card the session was bound to (kept when lost, empty after Release).
  const Identifier& expected() const noexcept { return expected_; }
  // What the selection that lost the session found: another card, or empty for none.
  const Identifier& found() const noexcept { return found_; }

 private:
  Binding state_ = Binding::kNone;
  Identifier expected_;
  Identifier found_;
};

enum class Probe { kCard, kNoCard, kNoAnswer };

class ProbeSchedule {
 public:
  ProbeSchedule() noexcept = default;
  explicit ProbeSchedule(long interval_ms) noexcept : interval_ms_(interval_ms) {}

  // True when a probe is due at `now_ms` (always after Forget).
  bool Due(long long now_ms) const noexcept;
  // The outcome of a probe made at `now_ms`: it stands until the next one is due.
  void Record(long long now_ms, Probe outcome) noexcept;
  // Without a probe: the slot is known to hold no card from `now_ms` (a lost session ended).
  void Clear(long long now_ms) noexcept { Record(now_ms, Probe::kNoCard); }
  // The next call to Due is true (a card was used: what the last probe saw no longer stands).
  void Forget() noexcept { probed_ = false; }
  Probe last() const noexcept { return last_; }
  long interval_ms() const noexcept { return interval_ms_; }

 private:
  long interval_ms_ = 0;
  bool probed_ = false;
  long long probed_at_ms_ = 0;
  Probe last_ = Probe::kNoCard;
};

// ---- definitions ----

inline Identifier Identifier::Of(std::span<const std::uint8_t> bytes) noexcept {
  Identifier id;
  id.length = std::min(bytes.size(), kMaxIdentifierBytes);
  std::copy_n(bytes.begin(), id.length, id.bytes.begin());
  return id;
}

inline bool Identifier::operator==(const Identifier& other) const noexcept {
  return length == other.length &&
         std::equal(bytes.begin(), bytes.begin() + length, other.bytes.begin());
}

inline char* Identifier::Hex(std::span<char> out) const noexcept {
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

inline void CardBinding::Bind(std::span<const std::uint8_t> identifier) noexcept {
  expected_ = Identifier::Of(identifier);
  found_ = Identifier{};
  state_ = Binding::kBound;
}

inline bool CardBinding::Verify(std::span<const std::uint8_t> found) noexcept {
  if (state_ != Binding::kBound) return false;
  const Identifier seen = Identifier::Of(found);
  if (!seen.empty() && seen == expected_) return true;
  found_ = seen;
  state_ = Binding::kLost;
  return false;
}

inline void CardBinding::MarkLost() noexcept {
  if (state_ != Binding::kBound) return;
  found_ = Identifier{};
  state_ = Binding::kLost;
}

inline void CardBinding::Release() noexcept { *this = CardBinding{}; }

inline bool ProbeSchedule::Due(long long now_ms) const noexcept {
  return !probed_ || now_ms - probed_at_ms_ >= interval_ms_ || now_ms < probed_at_ms_;
}

inline void ProbeSchedule::Record(long long now_ms, Probe outcome) noexcept {
  probed_ = true;
  probed_at_ms_ = now_ms;
  last_ = outcome;
}

}  // namespace vorlex::field
