// The library speaks GBK; people and scripts get the terminal's encoding (UTF-8 in JSON).
#pragma once

#include <optional>
#include <string>

namespace vorlex::text {

// The locale's character set after setlocale(LC_ALL, ""); UTF-8 in place of plain ASCII (the
// C locale), which cannot show the library's texts at all.
std::string TerminalEncoding();

// Converts `text`; characters the target cannot hold become '?', broken input U+FFFD / '?'.
std::string Convert(const std::string& text, const std::string& from, const std::string& to);

inline std::string GbkTo(const std::string& encoding, const std::string& gbk) {
  return Convert(gbk, "GBK", encoding);
}

// `text` (in `from`) as GBK, for what the reader shows: each character as one ASCII byte or a
// two-byte GBK code (lead byte 81-FE). Where a character has no such code (the single byte
// 0x80 some converters give the euro sign is none) the result is empty and `refused` holds that
// character, in UTF-8. The Python package's `gbk` codec draws the same line.
std::optional<std::string> ToGbk(const std::string& text, const std::string& from,
                                 std::string& refused);

}  // namespace vorlex::text
