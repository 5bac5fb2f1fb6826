#include "log_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace vorlex::launch {
namespace {

int OpenForWriting(const std::string& path) {
  constexpr int kFlags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW;
  for (int attempt = 0;; ++attempt) {
    int fd = ::open(path.c_str(), kFlags, 0600);
    if (fd >= 0) return fd;
    // ELOOP: a symlink. It goes, and a new file takes its place (O_EXCL: one made meanwhile
    // is not ours to open).
    if (errno != ELOOP || attempt == 10) break;
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) break;
    fd = ::open(path.c_str(), kFlags | O_EXCL, 0600);
    if (fd >= 0) return fd;
    if (errno != EEXIST) break;
  }
  throw std::system_error(errno, std::generic_category(), path);
}

}  // namespace

// The buffer owns the descriptor and closes it with the stream.
LogFile::LogFile(const std::string& path)
    : std::ostream(nullptr), buffer_(OpenForWriting(path), std::ios::out) {
  rdbuf(&buffer_);
}

}  // namespace vorlex::launch
