// The shape that every command export shares, in one place:
//   message pre-fill -> arguments -> request -> Transact -> status word -> success text -> outputs.
// An export only describes its request, its texts, the answer it needs and how the answer
// becomes outputs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "common/message_table.h"
#include "link/frame.h"

namespace vorlex {

inline constexpr std::size_t kMessageBufferSize = 50;
inline constexpr int kCommandFailed = 1;

// The first two bytes of every request: the reader's unit (command class) and the operation.
struct CommandCode {
  std::uint8_t unit, code;
};

// Clears all 50 bytes of the caller's message buffer and writes `text` at its start.
void WriteMessage(char* message, const char* text) noexcept;

// First answer byte x 256 + second.
constexpr int StatusWordOf(std::span<const std::uint8_t> payload) {
  return payload[0] << 8 | payload[1];
}

// A request payload under construction, in a fixed buffer that starts out zeroed, so no byte
// that nobody set is ever sent. A request that cannot be sent as built (too long for a frame,
// a missing caller buffer) is marked rejected and goes nowhere.
class Request {
 public:
  Request(std::uint8_t command_class, std::uint8_t command_code) noexcept;
  explicit Request(CommandCode command) noexcept : Request(command.unit, command.code) {}

  Request& Byte(int value) noexcept;  // the low 8 bits
  Request& BigEndian32(std::uint32_t value) noexcept;
  Request& Bytes(std::span<const std::uint8_t> bytes) noexcept;
  Request& Zeros(std::size_t count) noexcept;
  // `chars` characters of hex text as chars / 2 bytes. A conversion that stops early leaves the
  // rest of those bytes zero; the request keeps its full length.
  Request& HexText(const char* text, std::size_t chars) noexcept;
  // Rejects the request when a pointer the export needs is null.
  Request& Require(const void* pointer) noexcept;
  Request& Reject() noexcept;

  bool rejected() const { return rejected_; }
  std::span<const std::uint8_t> bytes() const { return {bytes_.data(), size_}; }

 private:
  std::uint8_t* Reserve(std::size_t count) noexcept;

  // One spare byte for the terminator that HexToBytes writes after the last converted byte.
  std::array<std::uint8_t, link::kMaxPayload + 1> bytes_{};
  std::size_t size_ = 0;
  bool rejected_ = false;
};

// The answer payload of an exchange whose status word was 0 and which held at least the bytes
// the export asked for. Offsets count from the first status byte.
class Answer {
 public:
  explicit Answer(std::span<const std::uint8_t> payload) : payload_(payload) {}

  std::size_t size() const { return payload_.size(); }
  bool Holds(std::size_t offset, std::size_t count) const {
    return offset + count <= payload_.size();
  }
  std::uint8_t ByteAt(std::size_t offset) const { return payload_[offset]; }
  std::span<const std::uint8_t> Bytes(std::size_t offset, std::size_t count) const {
    return payload_.subspan(offset, count);
  }
  // Writes `count` bytes from `offset` as hex text with its NUL.
  void HexText(std::size_t offset, std::size_t count, char* out) const;
  // `width` bytes from `offset`, most significant first.
  std::uint32_t BigEndian(std::size_t offset, std::size_t width) const;

 private:
  std::span<const std::uint8_t> payload_;
};

// The common steps up to the outputs. Returns 0 only when the caller's outputs are to be
// written from `answer_length` payload bytes of `answer`; otherwise the export's result.
// `message` is null for the commands that report through their result alone.
int Exchange(link::PortHandle reader, char* message, const MessagePair* texts,
             const Request& request, std::size_t minimum_answer,
             std::span<std::uint8_t, link::kMaxPayload> answer,
             std::size_t& answer_length) noexcept;

// A command with a message buffer: `write_outputs(const Answer&)` runs only on success.
// `minimum_answer` counts the payload bytes (status included) the outputs are taken from.
template <typename WriteOutputs>
int RunCommand(link::PortHandle reader, char* message, Texts texts, const Request& request,
               std::size_t minimum_answer, WriteOutputs&& write_outputs) noexcept {
  std::array<std::uint8_t, link::kMaxPayload> payload;
  std::size_t length = 0;
  const MessagePair& pair = MessagesOf(texts);
  const int result = message == nullptr ? kCommandFailed
                                        : Exchange(reader, message, &pair, request, minimum_answer,
                                                   payload, length);
  if (result == 0) write_outputs(Answer({payload.data(), length}));
  return result;
}

inline int RunCommand(link::PortHandle reader, char* message, Texts texts,
                      const Request& request) noexcept {
  return RunCommand(reader, message, texts, request, 2, [](const Answer&) {});
}

// A command that reports through its result alone (no message buffer, no outputs).
int RunSilentCommand(link::PortHandle reader, const Request& request) noexcept;

}  // namespace vorlex
