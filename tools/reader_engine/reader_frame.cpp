#include "reader_frame.h"

#include <stdexcept>
#include <string>

namespace vorlex::engine {

uint8_t Checksum(std::span<const uint8_t> bytes) {
  unsigned sum = 0;
  for (uint8_t b : bytes) sum += b;
  return static_cast<uint8_t>(sum & 0xFF);
}

Bytes EncodeFrame(std::span<const uint8_t> payload) {
  if (payload.size() > kMaxPayload) {
    throw std::length_error("frame payload of " + std::to_string(payload.size()) + " bytes");
  }
  Bytes frame;
  frame.reserve(payload.size() + kFrameOverhead);
  frame.push_back(kStx);
  frame.push_back(static_cast<uint8_t>(payload.size() >> 8));
  frame.push_back(static_cast<uint8_t>(payload.size() & 0xFF));
  frame.insert(frame.end(), payload.begin(), payload.end());
  frame.push_back(Checksum(std::span(frame).subspan(1)));
  frame.push_back(kEtx);
  return frame;
}

void FrameParser::Feed(std::span<const uint8_t> bytes) {
  pending_.insert(pending_.end(), bytes.begin(), bytes.end());

  // Scan with a cursor and erase once at the end, so a long run of garbage costs linear time.
  size_t pos = 0;
  while (pos < pending_.size()) {
    if (pending_[pos] != kStx) {
      ++pos;
      ++discarded_;
      continue;
    }
    const size_t left = pending_.size() - pos;
    if (left < 3) break;
    const size_t len = (size_t{pending_[pos + 1]} << 8) | pending_[pos + 2];
    if (len > kMaxPayload) {
      ++pos;
      ++discarded_;
      continue;
    }
    const size_t total = len + kFrameOverhead;
    if (left < total) break;
    if (pending_[pos + total - 1] != kEtx) {
      ++pos;
      ++discarded_;
      continue;
    }
    const auto first = pending_.begin() + static_cast<std::ptrdiff_t>(pos);
    ParsedFrame frame;
    frame.raw.assign(first, first + static_cast<std::ptrdiff_t>(total));
    frame.payload.assign(first + 3, first + 3 + static_cast<std::ptrdiff_t>(len));
    frame.checksum_ok = Checksum(std::span(frame.raw).subspan(1, len + 2)) == frame.raw[total - 2];
    ready_.push_back(std::move(frame));
    pos += total;
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(pos));
}

std::optional<ParsedFrame> FrameParser::Next() {
  if (ready_.empty()) return std::nullopt;
  ParsedFrame frame = std::move(ready_.front());
  ready_.pop_front();
  return frame;
}

void FrameParser::Reset() {
  pending_.clear();
  ready_.clear();
  discarded_ = 0;
}

}  // namespace vorlex::engine
