// The library speaks GBK; people and scripts get the terminal's encoding (UTF-8 in JSON).
#pragma once

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

}  // namespace vorlex::text
