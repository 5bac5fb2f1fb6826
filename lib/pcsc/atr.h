// The answers to reset that the driver presents for the cards of the field: the storage-card ATR
// of the PC/SC storage-card supplement for Mifare Classic, and the ISO 14443-4 ATR built from a
// card's ATS. Both end with TCK, the XOR of T0 through the last historical byte.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vorlex::pcsc {

inline constexpr std::size_t kMaxAtr = 33;

struct Atr {
  std::array<std::uint8_t, kMaxAtr> bytes{};
  std::size_t length = 0;

  constexpr std::span<const std::uint8_t> view() const { return {bytes.data(), length}; }
};

// Card names of the supplement's ATR (bytes 13-14).
enum class StorageCard : std::uint8_t { kClassic1K = 0x01, kClassic4K = 0x02 };

// Appends TCK over bytes 1 to the end.
constexpr void CloseWithTck(Atr& atr) noexcept {
  std::uint8_t tck = 0;
  for (std::size_t i = 1; i < atr.length; ++i) tck ^= atr.bytes[i];
  atr.bytes[atr.length++] = tck;
}

// 3B 8F 80 01 80 4F 0C A0 00 00 03 06 03 00 NN 00 00 00 00 TCK: the RID, standard 03 (ISO
// 14443-A part 3) and the card name.
constexpr Atr StorageCardAtr(StorageCard card) noexcept {
  constexpr std::uint8_t kHead[] = {0x3B, 0x8F, 0x80, 0x01, 0x80, 0x4F, 0x0C, 0xA0, 0x00, 0x00,
                                    0x03, 0x06, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  Atr atr;
  for (const std::uint8_t byte : kHead) atr.bytes[atr.length++] = byte;
  atr.bytes[14] = static_cast<std::uint8_t>(card);
  CloseWithTck(atr);
  return atr;
}

// 3B 8n 80 01, the n historical bytes (at most 15), TCK: an ISO 14443-4 card, and the RF-SIM
// with its identifier as historical bytes.
constexpr Atr ContactlessAtr(std::span<const std::uint8_t> historical) noexcept {
  const std::size_t count = std::min<std::size_t>(historical.size(), 15);
  Atr atr;
  atr.bytes[0] = 0x3B;
  atr.bytes[1] = static_cast<std::uint8_t>(0x80 | count);
  atr.bytes[2] = 0x80;
  atr.bytes[3] = 0x01;
  atr.length = 4;
  for (std::size_t i = 0; i < count; ++i) atr.bytes[atr.length++] = historical[i];
  CloseWithTck(atr);
  return atr;
}

// The historical bytes of an ATS (TL, T0, the TA/TB/TC that T0 announces, then the historical
// bytes up to TL). Bounded by both TL and the bytes received; empty for a malformed ATS.
constexpr std::span<const std::uint8_t> HistoricalBytesOfAts(
    std::span<const std::uint8_t> ats) noexcept {
  if (ats.size() < 2) return {};
  const std::size_t end = std::min<std::size_t>(ats[0], ats.size());
  const std::uint8_t t0 = ats[1];
  const std::size_t start = 2 + ((t0 >> 4) & 1) + ((t0 >> 5) & 1) + ((t0 >> 6) & 1);
  if (start >= end) return {};
  return ats.subspan(start, end - start);
}

// Whether a power-up answer may serve as an ATR: TS 3B or 3F, at most 33 bytes.
constexpr bool PlausibleAtr(std::span<const std::uint8_t> answer) noexcept {
  return answer.size() >= 2 && answer.size() <= kMaxAtr && (answer[0] == 0x3B || answer[0] == 0x3F);
}

}  // namespace vorlex::pcsc
