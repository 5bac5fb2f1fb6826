#include "link.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <system_error>

namespace vorlex::launch {
namespace {

namespace fs = std::filesystem;

// The abstract socket address that stands for `link`: one name for every spelling of the path.
sockaddr_un ClaimAddress(const std::string& link, socklen_t& length) {
  const fs::path absolute = fs::absolute(link).lexically_normal();
  std::string name = "vorlex-sim link " +
                     (fs::weakly_canonical(absolute.parent_path()) / absolute.filename()).string();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (name.size() > sizeof address.sun_path - 1) {
    name = "vorlex-sim link #" + std::to_string(std::hash<std::string>()(name));
  }
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  return address;
}

// Who holds a claim, for the message: the listening socket's owner as the kernel knows it.
std::string Holder(const sockaddr_un& address, socklen_t length) {
  const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  std::string holder = "program";
  ucred peer{};
  socklen_t size = sizeof peer;
  if (probe >= 0 && ::connect(probe, reinterpret_cast<const sockaddr*>(&address), length) == 0 &&
      ::getsockopt(probe, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0) {
    std::ifstream comm("/proc/" + std::to_string(peer.pid) + "/comm");
    std::string name;
    comm >> name;
    if (name == "vorlex-sim") holder = "simulator";
    if (name == "vorlex-tap") holder = "tap";
  }
  if (probe >= 0) ::close(probe);
  return holder;
}

int Claim(const std::string& link) {
  socklen_t length = 0;
  const sockaddr_un address = ClaimAddress(link, length);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "socket");
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
      ::listen(fd, 4) != 0) {
    const int error = errno;
    ::close(fd);
    if (error == EADDRINUSE) {
      throw std::runtime_error("--link " + link + ": another " + Holder(address, length) +
                               " is serving it; stop that one or choose another path");
    }
    throw std::system_error(error, std::generic_category(), "claim --link " + link);
  }
  return fd;
}

// Points `link` at `target`, replacing an older symlink but never a file of someone else's.
void MakeLink(const std::string& link, const std::string& target) {
  std::error_code error;
  const fs::file_status status = fs::symlink_status(link, error);
  if (fs::exists(status)) {
    if (!fs::is_symlink(status)) {
      throw std::runtime_error(link + " exists and is not a symlink; not replacing it");
    }
    fs::remove(link);
  }
  fs::create_symlink(target, link);
}

}  // namespace

int ConnectToLink(const std::string& path) {
  socklen_t length = 0;
  const sockaddr_un address = ClaimAddress(path, length);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

PublishedLink::PublishedLink(std::string path, std::string target)
    : path_(std::move(path)), target_(std::move(target)), claim_(Claim(path_)) {
  try {
    MakeLink(path_, target_);
  } catch (...) {
    ::close(claim_);
    throw;
  }
}

PublishedLink::~PublishedLink() {
  std::error_code error;
  if (fs::is_symlink(path_, error) && fs::read_symlink(path_, error) == target_) {
    fs::remove(path_, error);
  }
  ::close(claim_);
}

}  // namespace vorlex::launch
