// Card data travels to and from callers as hexadecimal text: two characters per byte, upper case
// on output, either case on input.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorlex {

// Converts the first `chars` characters of `text`, two per byte, into `out`. A character that is
// not a hexadecimal digit ends the conversion at once (the NUL of a shorter text included, so
// nothing past it is read), keeping the bytes made so far and writing no terminator. When every
// pair converted, a zero byte follows at out[chars / 2], so `out` needs chars / 2 + 1 bytes.
// Returns whether every pair converted.
bool HexToBytes(const char* text, std::uint8_t* out, std::size_t chars) noexcept;

// Writes 2 x count upper-case characters and a NUL; a count of 0 or less writes only the NUL.
void BytesToHex(const std::uint8_t* bytes, char* out, std::ptrdiff_t count) noexcept;

// The length of a caller's text, looking at no more than `limit` bytes; returns `limit` + 1 when
// the text is longer, so that a missing terminator never sends a read off into the unknown.
std::size_t BoundedTextLength(const char* text, std::size_t limit) noexcept;

}  // namespace vorlex
