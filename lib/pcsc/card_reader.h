// One reader as PC/SC sees it: one serial line, four slots (0 the contactless field, 1 SAM 1,
// 2 SAM 2, 3 the RF-SIM), the volatile key slots of the storage-card pseudo-APDUs. The driver
// keeps a fixed table of these; nothing is allocated.
//
// A card session is bound to its card (lib/field): activation remembers the card's UID (the
// RF-SIM's identifier, the SAM's ATR); every re-selection compares it. Another card, or none,
// makes the session lost, and a lost session stays lost: every transmit fails without an
// exchange and nothing answers for the card (not even GET DATA) until pcscd powers the slot up
// again. GET DATA (FF CA) selects the card again to verify it before it answers.
//
// Volatile keys belong to the card session, not to a client: pcscd tells the driver nothing of
// who is connected, so the key slots are cleared at every power-up, reset, power-down and at the
// card's loss or removal. One program's keys never survive into the next card session; programs
// sharing one connection (SCARD_SHARE_SHARED, in one session) share its keys, as they share the
// card's authentication.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "atr.h"
#include "common/command.h"
#include "field/card_binding.h"
#include "link/frame.h"

namespace vorlex::pcsc {

inline constexpr int kSlots = 4;
inline constexpr int kFieldSlot = 0, kSam1Slot = 1, kSam2Slot = 2, kRfsimSlot = 3;
inline constexpr std::size_t kKeySlots = 16;
inline constexpr std::size_t kKeyBytes = 6;

// How often an idle slot may cost the line an exchange to find out whether a card is there.
// pcscd asks every 400 ms; the field answers each time (a card shows within one polling period),
// the SAMs and the RF-SIM, which come and go rarely, every 5 s. Idle with every slot probed:
// 2.5 + 3 x 0.2 = 3.1 exchanges a second at most. A powered slot is never probed.
inline constexpr long kFieldProbeIntervalMs = 350;
inline constexpr long kSlowProbeIntervalMs = 5000;

// kUnknown: the reader did not answer; kNoDevice: and its device is gone.
enum class Presence { kPresent, kAbsent, kUnknown, kNoDevice };

// What became of a transmit.
enum class Transfer {
  kOk,              // the response holds the card's answer (or the driver's status word)
  kNoAnswer,        // the reader did not answer, or the slot is not powered
  kCardGone,        // the card session is lost: nothing was (or will be) sent
  kBufferTooSmall,  // the response does not fit the caller's buffer
};

// An answer payload of the reader: status word, then data.
struct Reply {
  std::array<std::uint8_t, link::kMaxPayload> payload{};
  std::size_t length = 0;
  // The bytes after the status word; empty unless the exchange succeeded.
  std::span<const std::uint8_t> data() const {
    return length < 2 ? std::span<const std::uint8_t>{}
                      : std::span<const std::uint8_t>{payload.data() + 2, length - 2};
  }
};

// What activation learnt about the card in the field.
struct FieldCard {
  std::array<std::uint8_t, 2> atqa{};
  std::array<std::uint8_t, 4> uid{};
  bool iso14443_4 = false;
  std::array<std::uint8_t, 15> historical{};
  std::size_t historical_count = 0;
  int blocks = 64;  // 64 (Classic 1K) or 256 (4K)
};

struct Slot {
  bool powered = false;  // powered up by pcscd: never probed, never disturbed
  // The card session: bound at power-up; lost when an exchange or a re-selection found the card
  // gone or another card (absent at the next presence check, every transmit refused).
  field::CardBinding binding;
  field::ProbeSchedule probe;
  Atr atr;
  bool lost() const { return binding.lost(); }
};

class Reader {
 public:
  // Not a status word: the card session was lost (the storage-card commands' result).
  static constexpr std::uint16_t kGone = 0;

  // Opens the line; false when the device cannot be opened.
  bool Open(const char* device) noexcept;  // `device` is kept (for the device-gone check)
  void Close() noexcept;
  bool open() const { return port_ != nullptr; }

  Presence CheckPresence(int slot, long long now_ms) noexcept;
  // Power up (or reset) re-activates the card and gives its ATR; false when no card answers.
  bool PowerUp(int slot) noexcept;
  void PowerDown(int slot) noexcept;
  const Slot& slot(int index) const { return slots_[static_cast<std::size_t>(index)]; }

  // One command APDU to the card in `slot`; the response (data, SW1 SW2) in `response`.
  // False for a transport failure (the response is then empty).
  Transfer Transmit(int slot, std::span<const std::uint8_t> apdu, std::span<std::uint8_t> response,
                    std::size_t& response_length) noexcept;
  // Loaded volatile keys (for the tests' view through the entry points: none after a session).
  bool key_loaded(std::size_t key_slot) const { return key_loaded_[key_slot]; }

 private:
  // The reader's status word, or kCommandFailed when no answer came.
  int Exchange(const Request& request, Reply& reply) noexcept;
  field::Probe Probe(int slot) noexcept;
  bool DeviceGone() const noexcept;
  // The card session of `slot` ends (power down, removal, loss): keys and authentication go.
  void EndSession(int slot) noexcept;
  void MarkLost(int slot) noexcept;
  bool ActivateField() noexcept;
  bool SelectFieldCard(Reply& reply) noexcept;  // card request; false when nothing answered
  Transfer RelayApdu(int slot, std::span<const std::uint8_t> apdu, std::span<std::uint8_t> response,
                     std::size_t& response_length) noexcept;
  // Storage-card pseudo-APDUs (CLA FF); storage_card.cpp. Writes the status word at the end.
  Transfer StorageCardApdu(std::span<const std::uint8_t> apdu, std::span<std::uint8_t> response,
                           std::size_t& response_length) noexcept;
  // Selects the field's card again and compares its UID: false (and the session lost) for
  // another card or none. The card is then unauthenticated; an ISO 14443-4 card gets its ATS
  // request again.
  bool ReselectField() noexcept;
  // GET DATA: the card is verified first; the authentication in force is restored.
  bool VerifyFieldCard() noexcept;
  std::uint16_t Authenticate(int block, std::uint8_t key_type, std::uint8_t key_number) noexcept;
  std::uint16_t ReadBlock(int block, std::span<std::uint8_t, 16> out) noexcept;
  std::uint16_t UpdateBlock(int block, std::span<const std::uint8_t, 16> data) noexcept;
  // After a failed Mifare command: select the card again (a card that refused a key answers
  // nothing until then); marks the field lost when it is gone or another card answers, and
  // then gives kGone.
  std::uint16_t AfterMifareFailure(int reader_status) noexcept;

  link::PortHandle port_ = nullptr;
  char device_[256] = {};
  std::array<Slot, kSlots> slots_{};
  FieldCard field_;
  std::array<std::array<std::uint8_t, kKeyBytes>, kKeySlots> keys_{};
  std::array<bool, kKeySlots> key_loaded_{};
  // The authentication in force on the field's card, restored after GET DATA's re-selection.
  struct Authentication {
    bool active = false;
    int sector = 0;
    std::uint8_t key_type = 0;
    std::array<std::uint8_t, kKeyBytes> key{};
  } auth_;
};

}  // namespace vorlex::pcsc
