// The file a tool writes its record or its lines to (--log): truncated, and close-on-exec, so
// that a program it starts never inherits it.
#pragma once

#include <ext/stdio_filebuf.h>
#include <ostream>
#include <string>

namespace vorlex::launch {

class LogFile : public std::ostream {
 public:
  // Throws std::system_error when the file cannot be written.
  explicit LogFile(const std::string& path);

 private:
  __gnu_cxx::stdio_filebuf<char> buffer_;
};

}  // namespace vorlex::launch
