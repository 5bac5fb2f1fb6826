#include "log_file.h"

#include <fcntl.h>

#include <cerrno>
#include <system_error>

namespace vorlex::launch {
namespace {

int OpenForWriting(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), path);
  return fd;
}

}  // namespace

// The buffer owns the descriptor and closes it with the stream.
LogFile::LogFile(const std::string& path)
    : std::ostream(nullptr), buffer_(OpenForWriting(path), std::ios::out) {
  rdbuf(&buffer_);
}

}  // namespace vorlex::launch
