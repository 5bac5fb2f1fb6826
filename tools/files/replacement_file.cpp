#include "replacement_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace vorlex::files {
namespace {

std::string Reason() { return std::strerror(errno); }

// ".NAME.XXXXXXXXXXXXXXXX.tmp": hidden, tied to the target, unguessable.
std::string TemporaryName(const std::string& folder, const std::string& base) {
  std::uint64_t random = 0;
  if (::getrandom(&random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
    random ^=
        static_cast<std::uint64_t>(::getpid()) << 32 ^ reinterpret_cast<std::uintptr_t>(&random);
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string tag;
  for (int i = 0; i < 16; ++i, random >>= 4) tag += kDigits[random & 0xF];
  return folder + "/." + base + "." + tag + ".tmp";
}

}  // namespace

ReplacementFile::ReplacementFile(std::string target) : target_(std::move(target)) {
  const std::size_t slash = target_.rfind('/');
  folder_ = slash == std::string::npos ? "." : slash == 0 ? "/" : target_.substr(0, slash);
  const std::string base = slash == std::string::npos ? target_ : target_.substr(slash + 1);
  if (base.empty() || base == "." || base == "..") {
    throw FileError("cannot save " + target_ + ": not a file name");
  }
  struct stat existing {};
  const bool exists = ::lstat(target_.c_str(), &existing) == 0;
  if (exists && S_ISDIR(existing.st_mode)) {
    throw FileError("cannot save " + target_ + ": it is a folder");
  }
  for (int attempt = 0; fd_ < 0; ++attempt) {
    temporary_ = TemporaryName(folder_, base);
    // O_EXCL creates a new file or fails, and O_NOFOLLOW: never through a planted symlink.
    // 0600: what the tools save may hold keys (dumps, key-bearing JSON, recordings).
    fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ < 0 && (errno != EEXIST || attempt == 100)) {
      throw FileError("cannot save " + target_ + ": cannot create a file in " + folder_ + ": " +
                      Reason());
    }
  }
  // The target's own permissions (a regular target only: a symlink's say nothing).
  if (exists && S_ISREG(existing.st_mode) && ::fchmod(fd_, existing.st_mode & 07777) != 0) {
    const std::string reason = Reason();
    Discard();
    throw FileError("cannot save " + target_ + ": cannot keep its permissions: " + reason);
  }
}

ReplacementFile::~ReplacementFile() { Discard(); }

void ReplacementFile::Discard() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
  ::unlink(temporary_.c_str());
}

void ReplacementFile::Write(std::string_view bytes) {
  if (fd_ < 0) throw FileError("cannot save " + target_ + ": already saved");
  while (!bytes.empty()) {
    const ssize_t wrote = ::write(fd_, bytes.data(), bytes.size());
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote < 0) throw FileError("cannot save " + target_ + ": " + Reason());
    bytes.remove_prefix(static_cast<std::size_t>(wrote));
  }
}

void ReplacementFile::Commit() {
  if (fd_ < 0) throw FileError("cannot save " + target_ + ": already saved");
  if (::fsync(fd_) != 0) throw FileError("cannot save " + target_ + ": " + Reason());
  if (::close(fd_) != 0) {
    fd_ = -1;
    ::unlink(temporary_.c_str());
    throw FileError("cannot save " + target_ + ": " + Reason());
  }
  fd_ = -1;
  if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
    const std::string reason = Reason();
    ::unlink(temporary_.c_str());
    throw FileError("cannot save " + target_ + ": " + reason);
  }
  // The rename itself reaches the disk only with the folder.
  const int folder = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0)
    throw FileError("saved " + target_ + ", but cannot flush its folder: " + Reason());
  const bool flushed = ::fsync(folder) == 0;
  const std::string reason = Reason();
  ::close(folder);
  if (!flushed) throw FileError("saved " + target_ + ", but cannot flush its folder: " + reason);
}

ReplacementStream::Buffer::Buffer(ReplacementFile& file) : file_(file) {
  setp(bytes_.data(), bytes_.data() + bytes_.size());
}

bool ReplacementStream::Buffer::Drain() {
  try {
    file_.Write(std::string_view(pbase(), static_cast<std::size_t>(pptr() - pbase())));
  } catch (const FileError&) {
    return false;  // the stream goes bad; Save() says why
  }
  setp(bytes_.data(), bytes_.data() + bytes_.size());
  return true;
}

ReplacementStream::Buffer::int_type ReplacementStream::Buffer::overflow(int_type c) {
  if (!Drain()) return traits_type::eof();
  if (!traits_type::eq_int_type(c, traits_type::eof())) {
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
  }
  return traits_type::not_eof(c);
}

int ReplacementStream::Buffer::sync() { return Drain() ? 0 : -1; }

ReplacementStream::ReplacementStream(std::string target)
    : std::ostream(nullptr), file_(std::move(target)), buffer_(file_) {
  rdbuf(&buffer_);
}

ReplacementStream::~ReplacementStream() {
  if (saved_) return;
  try {
    Save();
  } catch (const FileError&) {
    // An end that cannot save leaves the target as it was.
  }
}

void ReplacementStream::Save() {
  if (saved_) return;
  saved_ = true;
  if (buffer_.pubsync() != 0 || !good()) {
    throw FileError("cannot save " + file_.target() + ": a write to it failed");
  }
  file_.Commit();
}

void SaveFile(const std::string& target, std::string_view content) {
  ReplacementFile file(target);
  file.Write(content);
  file.Commit();
}

}  // namespace vorlex::files
