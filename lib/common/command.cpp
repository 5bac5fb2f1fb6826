#include "common/command.h"

#include <cstring>

#include "common/hex_text.h"

namespace vorlex {

namespace {
// A status word needs two bytes; a shorter answer carries no result at all.
constexpr std::size_t kStatusBytes = 2;
}  // namespace

void WriteMessage(char* message, const char* text) noexcept {
  std::memset(message, 0, kMessageBufferSize);
  std::strncpy(message, text, kMessageBufferSize - 1);
}

Request::Request(std::uint8_t command_class, std::uint8_t command_code) noexcept {
  bytes_[0] = command_class;
  bytes_[1] = command_code;
  size_ = 2;
}

std::uint8_t* Request::Reserve(std::size_t count) noexcept {
  if (count > link::kMaxPayload - size_) {
    rejected_ = true;
    return nullptr;
  }
  std::uint8_t* start = &bytes_[size_];
  size_ += count;
  return start;
}

Request& Request::Byte(int value) noexcept {
  if (std::uint8_t* at = Reserve(1)) *at = static_cast<std::uint8_t>(value & 0xFF);
  return *this;
}

Request& Request::BigEndian32(std::uint32_t value) noexcept {
  for (int shift = 24; shift >= 0; shift -= 8) Byte(static_cast<int>(value >> shift));
  return *this;
}

Request& Request::Bytes(std::span<const std::uint8_t> bytes) noexcept {
  std::uint8_t* at = Reserve(bytes.size());
  if (at != nullptr && !bytes.empty()) std::memcpy(at, bytes.data(), bytes.size());
  return *this;
}

Request& Request::Zeros(std::size_t count) noexcept {
  (void)Reserve(count);  // the buffer starts zeroed
  return *this;
}

Request& Request::HexText(const char* text, std::size_t chars) noexcept {
  if (text == nullptr) return Reject();
  std::uint8_t* at = Reserve(chars / 2);
  if (at != nullptr) (void)HexToBytes(text, at, chars);  // the spare byte takes the terminator
  return *this;
}

Request& Request::Require(const void* pointer) noexcept {
  if (pointer == nullptr) rejected_ = true;
  return *this;
}

Request& Request::Reject() noexcept {
  rejected_ = true;
  return *this;
}

void Answer::HexText(std::size_t offset, std::size_t count, char* out) const {
  BytesToHex(payload_.data() + offset, out, static_cast<std::ptrdiff_t>(count));
}

std::uint32_t Answer::BigEndian(std::size_t offset, std::size_t width) const {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < width; ++i) value = value << 8 | payload_[offset + i];
  return value;
}

int Exchange(link::PortHandle reader, char* message, const MessagePair* texts,
             const Request& request, std::size_t minimum_answer,
             std::span<std::uint8_t, link::kMaxPayload> answer,
             std::size_t& answer_length) noexcept {
  if (message != nullptr) WriteMessage(message, texts->failure);
  if (request.rejected()) return kCommandFailed;
  if (!link::Transact(reader, request.bytes(), answer, answer_length)) return kCommandFailed;
  if (answer_length < kStatusBytes) return kCommandFailed;
  const int status = StatusWordOf(answer);
  if (status != 0) return status;
  if (answer_length < minimum_answer) return kCommandFailed;
  if (message != nullptr) WriteMessage(message, texts->success);
  return 0;
}

int RunSilentCommand(link::PortHandle reader, const Request& request) noexcept {
  std::array<std::uint8_t, link::kMaxPayload> payload;
  std::size_t length = 0;
  return Exchange(reader, nullptr, nullptr, request, kStatusBytes, payload, length);
}

}  // namespace vorlex
