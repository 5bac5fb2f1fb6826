// Framing of the reader's serial line, as seen from the reader's side:
//   STX, L high, L low, L payload bytes, checksum, ETX
// The checksum is the sum of the length and payload bytes, mod 256. Nothing is escaped, so STX and
// ETX may appear inside the payload; only the length delimits a frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

namespace vorlex::engine {

using Bytes = std::vector<uint8_t>;

inline constexpr uint8_t kStx = 0x02;
inline constexpr uint8_t kEtx = 0x03;
inline constexpr size_t kMaxPayload = 295;
inline constexpr size_t kFrameOverhead = 5;  // STX, two length bytes, checksum, ETX

// Sum of `bytes` mod 256; pass the two length bytes and the payload.
uint8_t Checksum(std::span<const uint8_t> bytes);

// A well-formed frame around `payload`. Throws std::length_error past kMaxPayload: oversized frames
// are faults, and the fault builders in scripted_reader.h make them on purpose.
Bytes EncodeFrame(std::span<const uint8_t> payload);

struct ParsedFrame {
  Bytes payload;
  Bytes raw;  // the whole frame, STX to ETX
  bool checksum_ok = false;
};

// Splits a byte stream into frames. Bytes before an STX are skipped. A candidate whose declared
// length is over kMaxPayload, or whose last byte is not ETX, is not a frame: only its STX is
// dropped and the search restarts on the next byte, so a real frame hidden behind a stray STX is
// still found. Frames with a bad checksum are passed on, flagged.
//
// At most one incomplete frame (under kMaxPayload + kFrameOverhead bytes) is held between Feed()
// calls; complete frames wait in a queue until Next() takes them.
class FrameParser {
 public:
  void Feed(std::span<const uint8_t> bytes);
  std::optional<ParsedFrame> Next();

  size_t buffered() const { return pending_.size(); }  // bytes of the incomplete frame
  size_t discarded() const { return discarded_; }      // bytes skipped as not part of any frame
  void Reset();

 private:
  Bytes pending_;
  std::deque<ParsedFrame> ready_;
  size_t discarded_ = 0;
};

}  // namespace vorlex::engine
