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
#include <string>
#include <string_view>
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

// What a stretch of one direction of the line was.
enum class WireKind {
  kFrame,     // STX, length, payload, checksum (right or wrong), ETX
  kJunk,      // bytes that are not a frame
  kBadStx,    // shaped like a frame whose first byte is not STX
  kBadEtx,    // STX and a length, but no ETX where the length puts it
  kOversize,  // STX and a length over kMaxPayload
  kStall,     // a frame begun, then the line went quiet
};
const char* WireKindName(WireKind kind);  // "frame", "junk", "bad_stx", ...

struct WireEvent {
  WireKind kind = WireKind::kFrame;
  Bytes raw;
  Bytes payload;             // frames only
  bool checksum_ok = false;  // frames only
  int64_t first_us = 0;      // when its first and last byte arrived (the caller's clock)
  int64_t last_us = 0;
};

// Splits one direction of the line into frames and everything else, in order. Bytes before an
// STX are junk. A candidate whose declared length is over kMaxPayload, or whose last byte is not
// ETX, is not a frame: only its STX turns into junk and the search restarts on the next byte, so
// a real frame hidden behind a stray STX is still found. Frames with a bad checksum are frames
// (the library accepts them), flagged. Junk is held until a frame follows it, Flush() is called
// or kMaxPayload + kFrameOverhead bytes of it have piled up, and is then reported in one event,
// named bad_stx / bad_etx / oversize when it has that shape.
//
// At most one incomplete frame and one run of junk (each under kMaxPayload + kFrameOverhead
// bytes) are held between calls; events wait in a queue until Next() takes them.
class WireDecoder {
 public:
  void Feed(std::span<const uint8_t> bytes, int64_t now_us = 0);
  // The line went quiet or the other side spoke: whatever is held is reported now.
  void Flush();
  std::optional<WireEvent> Next();

  bool holding() const { return !pending_.empty() || !junk_.empty(); }
  int64_t last_us() const { return last_us_; }         // arrival of the latest byte
  size_t buffered() const { return pending_.size(); }  // bytes of an incomplete frame
  size_t skipped() const { return skipped_; }          // bytes that were not part of any frame
  void Reset();

 private:
  void EmitJunk();

  Bytes pending_;  // from the first unscanned byte on
  std::vector<int64_t> pending_us_;
  Bytes junk_;
  int64_t junk_first_us_ = 0, junk_last_us_ = 0, last_us_ = 0;
  std::deque<WireEvent> ready_;
  size_t skipped_ = 0;
};

// The frames of a byte stream, without the rest: the reader's side of the line.
class FrameParser {
 public:
  void Feed(std::span<const uint8_t> bytes);
  std::optional<ParsedFrame> Next();

  size_t buffered() const { return decoder_.buffered(); }  // bytes of the incomplete frame
  size_t discarded() const { return decoder_.skipped(); }  // bytes skipped as not part of any frame
  void Reset();

 private:
  WireDecoder decoder_;
  std::deque<ParsedFrame> ready_;
};

// Upper-case hexadecimal, "0A1B", or "0A 1B" with `spaced`.
std::string HexText(std::span<const uint8_t> bytes, bool spaced = false);
// The bytes of an even-length hexadecimal text (either case, no spaces); nothing for anything else.
std::optional<Bytes> ParseHex(std::string_view text);

}  // namespace vorlex::engine
