#include "common/hex_text.h"

namespace vorlex {
namespace {

int NibbleOf(char character) {
  if (character >= '0' && character <= '9') return character - '0';
  if (character >= 'A' && character <= 'F') return character - 'A' + 10;
  if (character >= 'a' && character <= 'f') return character - 'a' + 10;
  return -1;
}

}  // namespace

bool HexToBytes(const char* text, std::uint8_t* out, std::size_t chars) noexcept {
  for (std::size_t i = 0; i < chars; i += 2) {
    const int high = NibbleOf(text[i]);
    if (high < 0) return false;
    const int low = NibbleOf(text[i + 1]);  // text[i] was a digit, so text[i + 1] is in the text
    if (low < 0) return false;
    out[i / 2] = static_cast<std::uint8_t>(high << 4 | low);
  }
  out[chars / 2] = 0;
  return true;
}

void BytesToHex(const std::uint8_t* bytes, char* out, std::ptrdiff_t count) noexcept {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (std::ptrdiff_t i = 0; i < count; ++i) {
    *out++ = kDigits[bytes[i] >> 4];
    *out++ = kDigits[bytes[i] & 0x0F];
  }
  *out = '\0';
}

std::size_t BoundedTextLength(const char* text, std::size_t limit) noexcept {
  std::size_t length = 0;
  while (length <= limit && text[length] != '\0') ++length;
  return length;
}

}  // namespace vorlex
