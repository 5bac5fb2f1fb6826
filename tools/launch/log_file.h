// The file a tool writes its lines to (--log): truncated, and close-on-exec, so that a program it
// starts never inherits it. A symlink at the path is replaced by the file, never written
// through (as files::ReplacementFile does); a new file is made 0600 (a trace shows the keys
// sent), an existing one keeps its permissions. Unlike a ReplacementFile it is the file at the
// path from the start, so that it can be followed while the tool runs.
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
