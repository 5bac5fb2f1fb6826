#include "serial_line.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace vorlex::engine {

int OpenSerialLine(const std::string& path) {
  // Non-blocking while opening, so a device without carrier does not hang the open.
  const int device = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (device < 0) throw std::system_error(errno, std::generic_category(), "open " + path);
  auto fail = [&](const std::string& what) {
    const int error = errno;
    ::ioctl(device, TIOCNXCL);
    ::close(device);
    throw std::system_error(error, std::generic_category(), what);
  };
  termios settings{};
  if (::tcgetattr(device, &settings) != 0) fail(path + " is not a terminal");
  if (::flock(device, LOCK_EX | LOCK_NB) != 0 || ::ioctl(device, TIOCEXCL) != 0) {
    fail(path + " is in use");
  }
  ::cfmakeraw(&settings);
  ::cfsetispeed(&settings, B115200);
  ::cfsetospeed(&settings, B115200);
  settings.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
  settings.c_cflag |= CS8 | CREAD | CLOCAL;
  settings.c_iflag &= ~(IXON | IXOFF | IXANY);
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
  if (::tcsetattr(device, TCSANOW, &settings) != 0) fail("configure " + path);
  const int flags = ::fcntl(device, F_GETFL);
  if (flags < 0 || ::fcntl(device, F_SETFL, flags & ~O_NONBLOCK) != 0) fail("configure " + path);
  ::tcflush(device, TCIOFLUSH);
  return device;
}

bool WriteAll(int fd, const std::uint8_t* bytes, std::size_t count) {
  while (count > 0) {
    const ssize_t n = ::write(fd, bytes, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    count -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace vorlex::engine
