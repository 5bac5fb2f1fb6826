#include "link/frame.h"

#include <array>
#include <cstring>

namespace vorlex::link {

std::uint8_t FrameChecksum(std::span<const std::uint8_t> payload) noexcept {
  unsigned sum = (payload.size() >> 8) + (payload.size() & 0xFF);
  for (std::uint8_t byte : payload) sum += byte;
  return static_cast<std::uint8_t>(sum);
}

int SendFrame(PortHandle port, std::span<const std::uint8_t> payload) noexcept {
  if (payload.size() > kMaxPayload) return -1;
  std::array<std::uint8_t, kFrameBufferSize> frame;
  const std::size_t length = payload.size();
  frame[0] = kStx;
  frame[1] = static_cast<std::uint8_t>(length >> 8);
  frame[2] = static_cast<std::uint8_t>(length & 0xFF);
  if (length != 0) std::memcpy(&frame[3], payload.data(), length);
  frame[3 + length] = FrameChecksum(payload);
  frame[4 + length] = kEtx;

  // Nothing left over from an earlier exchange may be sent, or read as this one's answer.
  PurgeTransmit(port);
  PurgeReceive(port);
  if (WritePort(port, frame.data(), length + kFrameOverhead) != kPortOk) return -1;
  PauseMilliseconds(kPauseAfterRequestMs);
  return 0;
}

int ReceiveFrame(PortHandle port, std::span<std::uint8_t, kMaxPayload> payload,
                 std::size_t& length) noexcept {
  std::array<std::uint8_t, kFrameBufferSize> frame;
  if (ReadPort(port, frame.data(), 3) != kPortOk) return -1;
  if (frame[0] != kStx) return -1;
  const std::size_t declared = static_cast<std::size_t>(frame[1]) << 8 | frame[2];
  if (declared > kMaxPayload) return -1;
  if (ReadPort(port, &frame[3], declared + 2) != kPortOk) return -1;
  if (frame[4 + declared] != kEtx) return -1;
  if (declared != 0) std::memcpy(payload.data(), &frame[3], declared);
  length = declared;
  return 0;
}

bool Transact(PortHandle port, std::span<const std::uint8_t> request,
              std::span<std::uint8_t, kMaxPayload> answer, std::size_t& answer_length) noexcept {
  for (int attempt = 0; attempt < kTransactAttempts; ++attempt) {
    if (SendFrame(port, request) == 0 && ReceiveFrame(port, answer, answer_length) == 0) {
      return true;
    }
  }
  return false;
}

}  // namespace vorlex::link
