// The reader's frame: STX, 16-bit length, payload, checksum, ETX; and the transaction that pairs
// one request frame with one answer frame, with up to three attempts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "link/serial_port.h"

namespace vorlex::link {

inline constexpr std::size_t kFrameBufferSize = 300;
inline constexpr std::size_t kFrameOverhead = 5;  // STX, two length bytes, checksum, ETX
inline constexpr std::size_t kMaxPayload = kFrameBufferSize - kFrameOverhead;  // 295
inline constexpr std::uint8_t kStx = 0x02;
inline constexpr std::uint8_t kEtx = 0x03;
inline constexpr int kTransactAttempts = 3;
inline constexpr unsigned kPauseAfterRequestMs = 10;

// Sum of the length bytes and the payload, modulo 256.
std::uint8_t FrameChecksum(std::span<const std::uint8_t> payload) noexcept;

// Purges, writes one frame and pauses. 0 or -1 (also for a payload over 295 bytes).
int SendFrame(PortHandle port, std::span<const std::uint8_t> payload) noexcept;

// Reads one frame into `payload` (at least kMaxPayload bytes). 0 with `length` set, or -1.
// The checksum is not compared; a declared length over 295 fails without reading further.
int ReceiveFrame(PortHandle port, std::span<std::uint8_t, kMaxPayload> payload,
                 std::size_t& length) noexcept;

// Up to three attempts of SendFrame + ReceiveFrame. True once an answer frame arrived.
bool Transact(PortHandle port, std::span<const std::uint8_t> request,
              std::span<std::uint8_t, kMaxPayload> answer, std::size_t& answer_length) noexcept;

}  // namespace vorlex::link
