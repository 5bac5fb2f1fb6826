#include "input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vorlex::files {
namespace {

std::string SizeText(std::size_t bytes) {
  if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
  if (bytes >= (1u << 10) && bytes % (1u << 10) == 0) return std::to_string(bytes >> 10) + " KiB";
  return std::to_string(bytes) + " bytes";
}

// What a file that is not a regular file is, for the message.
const char* NotAFile(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISFIFO(mode)) return "a pipe (FIFO)";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

[[noreturn]] void TooLarge(const std::string& name, const InputKind& kind) {
  throw FileError(name + ": larger than " + kind.what + " can be (at most " +
                  SizeText(kind.max_bytes) + ")");
}

// Closes the descriptor on every way out.
struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

std::string ReadInputDescriptor(int fd, const std::string& name, const InputKind& kind) {
  std::string content;
  char chunk[65536];
  for (;;) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw FileError("cannot read " + name + ": " + std::strerror(errno));
    if (got == 0) return content;
    if (content.size() + static_cast<std::size_t>(got) > kind.max_bytes) TooLarge(name, kind);
    content.append(chunk, static_cast<std::size_t>(got));
  }
}

std::string ReadInputFile(const std::string& path, const InputKind& kind) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer before fstat can refuse it.
  const Descriptor file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)};
  if (file.fd < 0) {
    throw FileError("cannot read " + path + ": " + std::strerror(errno));
  }
  struct stat info {};
  if (::fstat(file.fd, &info) != 0) {
    throw FileError("cannot read " + path + ": " + std::strerror(errno));
  }
  if (!S_ISREG(info.st_mode)) {
    throw FileError(path + " is " + NotAFile(info.st_mode) + ", not " + kind.what);
  }
  if (static_cast<std::uintmax_t>(info.st_size) > kind.max_bytes) TooLarge(path, kind);
  return ReadInputDescriptor(file.fd, path, kind);
}

}  // namespace vorlex::files
