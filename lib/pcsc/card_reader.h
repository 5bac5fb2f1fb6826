// One reader as PC/SC sees it: one serial line, four slots (0 the contactless field, 1 SAM 1,
// 2 SAM 2, 3 the RF-SIM), the volatile key slots of the storage-card pseudo-APDUs. The driver
// keeps a fixed table of these; nothing is allocated.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "atr.h"
#include "common/command.h"
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

enum class Presence { kPresent, kAbsent, kUnknown };  // kUnknown: the reader did not answer

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
  bool lost = false;     // an exchange found the card gone: absent at the next presence check
  Presence last = Presence::kAbsent;
  long long probed_at_ms = -1'000'000;
  Atr atr;
};

class Reader {
 public:
  // Opens the line; false when the device cannot be opened.
  bool Open(const char* device) noexcept;
  void Close() noexcept;
  bool open() const { return port_ != nullptr; }

  Presence CheckPresence(int slot, long long now_ms) noexcept;
  // Power up (or reset) re-activates the card and gives its ATR; false when no card answers.
  bool PowerUp(int slot) noexcept;
  void PowerDown(int slot) noexcept;
  const Slot& slot(int index) const { return slots_[static_cast<std::size_t>(index)]; }

  // One command APDU to the card in `slot`; the response (data, SW1 SW2) in `response`.
  // False for a transport failure (the response is then empty).
  bool Transmit(int slot, std::span<const std::uint8_t> apdu, std::span<std::uint8_t> response,
                std::size_t& response_length) noexcept;

 private:
  // The reader's status word, or kCommandFailed when no answer came.
  int Exchange(const Request& request, Reply& reply) noexcept;
  bool Probe(int slot) noexcept;
  bool ActivateField() noexcept;
  bool SelectFieldCard(Reply& reply) noexcept;  // card request; false when nothing answered
  bool RelayApdu(int slot, std::span<const std::uint8_t> apdu, std::span<std::uint8_t> response,
                 std::size_t& response_length) noexcept;
  // Storage-card pseudo-APDUs (CLA FF); storage_card.cpp. Writes the status word at the end.
  bool StorageCardApdu(std::span<const std::uint8_t> apdu, std::span<std::uint8_t> response,
                       std::size_t& response_length) noexcept;
  std::uint16_t Authenticate(int block, std::uint8_t key_type, std::uint8_t key_number) noexcept;
  std::uint16_t ReadBlock(int block, std::span<std::uint8_t, 16> out) noexcept;
  std::uint16_t UpdateBlock(int block, std::span<const std::uint8_t, 16> data) noexcept;
  // After a failed Mifare command: select the card again (a card that refused a key answers
  // nothing until then); marks the field lost when it is gone.
  std::uint16_t AfterMifareFailure(int reader_status) noexcept;

  link::PortHandle port_ = nullptr;
  std::array<Slot, kSlots> slots_{};
  FieldCard field_;
  std::array<std::array<std::uint8_t, kKeyBytes>, kKeySlots> keys_{};
  std::array<bool, kKeySlots> key_loaded_{};
};

}  // namespace vorlex::pcsc
