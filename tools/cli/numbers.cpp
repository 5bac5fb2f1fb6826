#include "numbers.h"

#include <cctype>
#include <charconv>
#include <cstdio>

#include "errors.h"

namespace vorlex::cli {

std::int64_t ParseNumber(const std::string& text, std::int64_t min, std::int64_t max,
                         const std::string& what) {
  const std::string range = " (" + std::to_string(min) + " to " + std::to_string(max) + ")";
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char* first = text.data() + (hex ? 2 : 0);
  const char* last = text.data() + text.size();
  std::int64_t value = 0;
  // from_chars takes no sign, blank or base prefix: what it stops at is not part of a number.
  const auto [end, error] = std::from_chars(first, last, value, hex ? 16 : 10);
  if (first == last || end != last || *first == '-' || *first == '+') {
    std::string why = "must be a whole number";
    if (text.find('.') != std::string::npos || text.find(',') != std::string::npos) {
      why = "must be a whole number, without a decimal point";
    } else if (!text.empty() && text[0] == '-') {
      why = "must not be negative";
    }
    throw UsageError(what + " " + why + range + ", not \"" + text + "\"");
  }
  if (error == std::errc::result_out_of_range || value < min || value > max) {
    throw UsageError(what + " is " + text + ", out of range" + range);
  }
  return value;
}

std::string ParseHexBytes(const std::string& text, std::size_t bytes, const std::string& what) {
  std::string digits;
  std::size_t group = 0;  // digits since the last separator
  bool separated = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == ' ' || c == '\t' || c == ':') {
      if (group % 2 != 0) {
        throw UsageError(what + ": an odd number of hexadecimal digits before position " +
                         std::to_string(i + 1) + " of \"" + text + "\"");
      }
      group = 0;
      separated = true;
      continue;
    }
    if (std::isxdigit(c) == 0) {
      throw UsageError(what + ": \"" + std::string(1, static_cast<char>(c)) + "\" at position " +
                       std::to_string(i + 1) + " is not a hexadecimal digit (in \"" + text + "\")");
    }
    digits += static_cast<char>(std::toupper(c));
    ++group;
  }
  const std::string wanted =
      bytes != 0 ? std::to_string(bytes) + " bytes (" + std::to_string(2 * bytes) + " hex digits)"
                 : "whole bytes";
  if (digits.size() % 2 != 0) {
    throw UsageError(what + " must be " + wanted + ": \"" + text + "\" has an odd number (" +
                     std::to_string(digits.size()) + ") of hex digits" +
                     (separated ? " in one of its groups" : ""));
  }
  if (digits.empty() || (bytes != 0 && digits.size() != 2 * bytes)) {
    throw UsageError(what + " must be " + wanted + ", not " + std::to_string(digits.size() / 2) +
                     " (\"" + text + "\")");
  }
  return digits;
}

std::vector<std::uint8_t> BytesOfHex(const std::string& digits) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
    unsigned value = 0;
    std::from_chars(digits.data() + i, digits.data() + i + 2, value, 16);
    bytes.push_back(static_cast<std::uint8_t>(value));
  }
  return bytes;
}

std::string HexOf(const std::uint8_t* bytes, std::size_t count, const char* separator) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (std::size_t i = 0; i < count; ++i) {
    if (i != 0) hex += separator;
    hex += kDigits[bytes[i] >> 4];
    hex += kDigits[bytes[i] & 0x0F];
  }
  return hex;
}

std::string Hex(std::uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*X", digits, value);
  return text;
}

}  // namespace vorlex::cli
