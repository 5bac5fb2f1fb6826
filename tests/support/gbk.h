#pragma once

#include <iconv.h>

#include <stdexcept>
#include <string>

namespace vorlex::testing {

// The GBK bytes of a readable text, converted here independently of the library's table.
inline std::string Gbk(const std::string& utf8) {
  iconv_t converter = iconv_open("GBK", "UTF-8");
  std::string out(utf8.size() * 2 + 1, '\0');
  char* in_ptr = const_cast<char*>(utf8.data());
  std::size_t in_left = utf8.size();
  char* out_ptr = out.data();
  std::size_t out_left = out.size();
  const std::size_t converted = iconv(converter, &in_ptr, &in_left, &out_ptr, &out_left);
  iconv_close(converter);
  if (converted == static_cast<std::size_t>(-1)) throw std::runtime_error("not convertible to GBK");
  out.resize(out.size() - out_left);
  return out;
}

}  // namespace vorlex::testing
