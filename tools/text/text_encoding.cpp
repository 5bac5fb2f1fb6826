#include "text_encoding.h"

#include <iconv.h>
#include <langinfo.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vorlex::text {

std::string TerminalEncoding() {
  const char* codeset = nl_langinfo(CODESET);
  if (codeset == nullptr || *codeset == '\0' || std::strcmp(codeset, "ANSI_X3.4-1968") == 0 ||
      std::strcmp(codeset, "ASCII") == 0) {
    return "UTF-8";
  }
  return codeset;
}

std::string Convert(const std::string& text, const std::string& from, const std::string& to) {
  if (from == to) return text;
  iconv_t converter = iconv_open(to.c_str(), from.c_str());
  if (converter == reinterpret_cast<iconv_t>(-1)) return text;
  const bool to_utf8 = to == "UTF-8" || to == "utf-8" || to == "UTF8";
  std::string out;
  char* in = const_cast<char*>(text.data());
  std::size_t in_left = text.size();
  char buffer[256];
  while (in_left > 0) {
    char* out_ptr = buffer;
    std::size_t out_left = sizeof buffer;
    const std::size_t done = iconv(converter, &in, &in_left, &out_ptr, &out_left);
    out.append(buffer, static_cast<std::size_t>(out_ptr - buffer));
    if (done != static_cast<std::size_t>(-1) || errno == E2BIG) continue;
    // Skip what cannot be converted: a character the target lacks as a whole, broken input a
    // byte at a time.
    std::size_t skip = 1;
    if (errno == EILSEQ && static_cast<unsigned char>(*in) >= 0x80) {
      if (from == "GBK" && in_left >= 2) {
        skip = 2;
      } else if (from == "UTF-8") {
        const unsigned char lead = static_cast<unsigned char>(*in);
        skip = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        if (skip > in_left) skip = in_left;
      }
    }
    out += to_utf8 ? "\xEF\xBF\xBD" : "?";
    in += skip;
    in_left -= skip;
  }
  char* out_ptr = buffer;
  std::size_t out_left = sizeof buffer;
  iconv(converter, nullptr, nullptr, &out_ptr, &out_left);
  out.append(buffer, static_cast<std::size_t>(out_ptr - buffer));
  iconv_close(converter);
  return out;
}

std::optional<std::string> ToGbk(const std::string& text, const std::string& from,
                                 std::string& refused) {
  const std::string utf8 = Convert(text, from, "UTF-8");
  iconv_t converter = iconv_open("GBK", "UTF-8");
  if (converter == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string gbk;
  std::optional<std::string> result;
  std::size_t at = 0;
  while (at < utf8.size()) {
    const unsigned char lead = static_cast<unsigned char>(utf8[at]);
    std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    length = std::min(length, utf8.size() - at);
    const std::string character = utf8.substr(at, length);
    at += length;
    char* in = const_cast<char*>(character.data());
    std::size_t in_left = character.size();
    char buffer[8];
    char* out = buffer;
    std::size_t out_left = sizeof buffer;
    const bool converted =
        iconv(converter, &in, &in_left, &out, &out_left) != static_cast<std::size_t>(-1) &&
        in_left == 0;
    const std::size_t produced = static_cast<std::size_t>(out - buffer);
    const unsigned char first = static_cast<unsigned char>(buffer[0]);
    const bool gbk_code = converted && ((produced == 1 && first < 0x80) ||
                                        (produced == 2 && first >= 0x81 && first <= 0xFE));
    if (!gbk_code) {
      refused = character;
      iconv_close(converter);
      return std::nullopt;
    }
    gbk.append(buffer, produced);
  }
  iconv_close(converter);
  return gbk;
}

}  // namespace vorlex::text
