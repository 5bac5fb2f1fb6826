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

const char* WireKindName(WireKind kind) {
  switch (kind) {
    case WireKind::kFrame:
      return "frame";
    case WireKind::kJunk:
      return "junk";
    case WireKind::kBadStx:
      return "bad_stx";
    case WireKind::kBadEtx:
      return "bad_etx";
    case WireKind::kOversize:
      return "oversize";
    case WireKind::kStall:
      return "stall";
  }
  return "junk";
}

namespace {

size_t DeclaredLength(const Bytes& bytes) { return (size_t{bytes[1]} << 8) | bytes[2]; }

// What a run of non-frame bytes looks like as a whole.
WireKind Shape(const Bytes& bytes) {
  if (bytes.size() < 3) return WireKind::kJunk;
  const size_t len = DeclaredLength(bytes);
  if (bytes[0] == kStx && len > kMaxPayload) return WireKind::kOversize;
  if (bytes.size() != len + kFrameOverhead) return WireKind::kJunk;
  if (bytes[0] != kStx && bytes.back() == kEtx) return WireKind::kBadStx;
  if (bytes[0] == kStx && bytes.back() != kEtx) return WireKind::kBadEtx;
  return WireKind::kJunk;
}

}  // namespace

void WireDecoder::Feed(std::span<const uint8_t> bytes, int64_t now_us) {
  pending_.insert(pending_.end(), bytes.begin(), bytes.end());
  pending_us_.insert(pending_us_.end(), bytes.size(), now_us);
  if (!bytes.empty()) last_us_ = now_us;

  // Scan with a cursor and erase once at the end, so a long run of garbage costs linear time.
  size_t pos = 0;
  auto to_junk = [&] {
    if (junk_.empty()) junk_first_us_ = pending_us_[pos];
    junk_.push_back(pending_[pos]);
    junk_last_us_ = pending_us_[pos];
    ++skipped_;
    ++pos;
    if (junk_.size() >= kMaxPayload + kFrameOverhead) EmitJunk();
  };
  while (pos < pending_.size()) {
    if (pending_[pos] != kStx) {
      to_junk();
      continue;
    }
    const size_t left = pending_.size() - pos;
    if (left < 3) break;
    const size_t len = (size_t{pending_[pos + 1]} << 8) | pending_[pos + 2];
    if (len > kMaxPayload) {
      to_junk();
      continue;
    }
    const size_t total = len + kFrameOverhead;
    if (left < total) break;
    if (pending_[pos + total - 1] != kEtx) {
      to_junk();
      continue;
    }
    EmitJunk();
    const auto first = pending_.begin() + static_cast<std::ptrdiff_t>(pos);
    WireEvent frame;
    frame.raw.assign(first, first + static_cast<std::ptrdiff_t>(total));
    frame.payload.assign(first + 3, first + 3 + static_cast<std::ptrdiff_t>(len));
    frame.checksum_ok = Checksum(std::span(frame.raw).subspan(1, len + 2)) == frame.raw[total - 2];
    frame.first_us = pending_us_[pos];
    frame.last_us = pending_us_[pos + total - 1];
    ready_.push_back(std::move(frame));
    pos += total;
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(pos));
  pending_us_.erase(pending_us_.begin(), pending_us_.begin() + static_cast<std::ptrdiff_t>(pos));
}

void WireDecoder::EmitJunk() {
  if (junk_.empty()) return;
  WireEvent event;
  event.kind = Shape(junk_);
  event.raw = std::move(junk_);
  event.first_us = junk_first_us_;
  event.last_us = junk_last_us_;
  ready_.push_back(std::move(event));
  junk_.clear();
}

void WireDecoder::Flush() {
  if (pending_.empty()) {
    EmitJunk();
    return;
  }
  // A bad frame with an STX inside it stops the scan short; taken together it has its shape.
  Bytes whole = junk_;
  whole.insert(whole.end(), pending_.begin(), pending_.end());
  const WireKind shape = junk_.empty() ? WireKind::kJunk : Shape(whole);
  WireEvent event;
  event.first_us = junk_.empty() ? pending_us_.front() : junk_first_us_;
  event.last_us = pending_us_.back();
  skipped_ += pending_.size();
  if (shape == WireKind::kBadStx || shape == WireKind::kBadEtx) {
    event.kind = shape;
    event.raw = std::move(whole);
    junk_.clear();
  } else {
    EmitJunk();
    event.first_us = pending_us_.front();
    event.kind = WireKind::kStall;  // the scan leaves nothing but a frame begun
    event.raw = pending_;
  }
  ready_.push_back(std::move(event));
  pending_.clear();
  pending_us_.clear();
}

std::optional<WireEvent> WireDecoder::Next() {
  if (ready_.empty()) return std::nullopt;
  WireEvent event = std::move(ready_.front());
  ready_.pop_front();
  return event;
}

void WireDecoder::Reset() { *this = WireDecoder(); }

void FrameParser::Feed(std::span<const uint8_t> bytes) {
  decoder_.Feed(bytes);
  while (std::optional<WireEvent> event = decoder_.Next()) {
    if (event->kind != WireKind::kFrame) continue;
    ready_.push_back({std::move(event->payload), std::move(event->raw), event->checksum_ok});
  }
}

std::optional<ParsedFrame> FrameParser::Next() {
  if (ready_.empty()) return std::nullopt;
  ParsedFrame frame = std::move(ready_.front());
  ready_.pop_front();
  return frame;
}

void FrameParser::Reset() {
  decoder_.Reset();
  ready_.clear();
}

std::string HexText(std::span<const uint8_t> bytes, bool spaced) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 3);
  for (uint8_t b : bytes) {
    if (spaced && !text.empty()) text += ' ';
    text += kDigits[b >> 4];
    text += kDigits[b & 0x0F];
  }
  return text;
}

std::optional<Bytes> ParseHex(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  Bytes bytes;
  bytes.reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    const int high = nibble(text[i]), low = nibble(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(high << 4 | low));
  }
  return bytes;
}

}  // namespace vorlex::engine
