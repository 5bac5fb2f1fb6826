// termios backend. Reads and writes reproduce the Windows time-out semantics with poll() on a
// non-blocking descriptor and monotonic deadlines; VMIN/VTIME cannot express them. Time comes
// from clock_gettime/clock_nanosleep directly, so the library needs nothing but the C library.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>

#include "com_port_map.h"
#include "link/serial_port.h"

namespace vorlex::link {
namespace {

// Monotonic time in nanoseconds.
using Nanoseconds = std::int64_t;
constexpr Nanoseconds kNanosecondsPerMillisecond = 1'000'000;
constexpr Nanoseconds kNanosecondsPerSecond = 1'000'000'000;

Nanoseconds Now() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<Nanoseconds>(now.tv_sec) * kNanosecondsPerSecond + now.tv_nsec;
}

Nanoseconds Milliseconds(std::uint64_t count) {
  return static_cast<Nanoseconds>(count) * kNanosecondsPerMillisecond;
}

// Sleeps until the monotonic time `until`, through signals.
void SleepUntil(Nanoseconds until) {
  const timespec at{static_cast<time_t>(until / kNanosecondsPerSecond),
                    static_cast<long>(until % kNanosecondsPerSecond)};
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
  }
}

// 10 bits a byte (start, 8 data, stop) at 115200 baud.
constexpr Nanoseconds kByteTimeOnTheLine = 86'806;
// The last bytes of a long answer are awaited with poll(), so that the read ends as soon as they
// are in rather than when an oversleeping timer returns.
constexpr Nanoseconds kBytesLeftToPoll = 4;

// The handle carries descriptor + 1, so that descriptor 0 never comes back as a null handle.
PortHandle HandleOf(int descriptor) {
  return reinterpret_cast<PortHandle>(static_cast<std::uintptr_t>(descriptor) + 1);
}

int DescriptorOf(PortHandle port) {
  const auto value = reinterpret_cast<std::uintptr_t>(port);
  if (value == 0 || value - 1 > static_cast<std::uintptr_t>(INT_MAX)) return -1;
  return static_cast<int>(value - 1);
}

enum class Wait { kReady, kTimedOut, kGone };

// Waits for `events` until `deadline`. A hang-up or error condition means the device is gone.
Wait WaitFor(int descriptor, short events, Nanoseconds deadline) {
  for (;;) {
    const Nanoseconds left = deadline - Now();
    if (left <= 0) return Wait::kTimedOut;
    // Round up so that the last wake-up is never before the deadline.
    const Nanoseconds left_ms =
        (left + kNanosecondsPerMillisecond - 1) / kNanosecondsPerMillisecond;
    pollfd entry{descriptor, events, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(left_ms));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return Wait::kGone;
    }
    if (ready == 0) continue;
    if (entry.revents & events) return Wait::kReady;  // data first, even beside a hang-up
    return Wait::kGone;                               // POLLHUP, POLLERR, POLLNVAL
  }
}

bool ConfigureLine(int descriptor) {
  termios settings{};
  if (::tcgetattr(descriptor, &settings) != 0) return false;
  ::cfmakeraw(&settings);
  if (::cfsetispeed(&settings, B115200) != 0 || ::cfsetospeed(&settings, B115200) != 0) {
    return false;
  }
  settings.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
  settings.c_cflag |= CS8 | CREAD | CLOCAL;
  settings.c_iflag &= ~(IXON | IXOFF | IXANY);
  // With O_NONBLOCK these only decide what an empty read says: VMIN 0 would make Linux return
  // 0 (indistinguishable from a hang-up) instead of EAGAIN. The timing is ReadPort's.
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
  return ::tcsetattr(descriptor, TCSANOW, &settings) == 0;
}

void AssertModemLines(int descriptor) {
  int lines = TIOCM_DTR | TIOCM_RTS;
  (void)::ioctl(descriptor, TIOCMBIS, &lines);  // ptys and some adapters have no modem lines
}

bool CloseDescriptor(int descriptor) {
  // On Linux the descriptor is released even when close() reports EINTR.
  return ::close(descriptor) == 0 || errno == EINTR;
}

// Exclusive mode belongs to the device, not to the descriptor, and outlives it while the device
// stays open elsewhere (a pty whose master is held). Only the descriptor that holds the port may
// drop it, so that the port is free for the next open: a refused open must leave it alone.
bool ReleaseAndClose(int descriptor) {
  (void)::ioctl(descriptor, TIOCNXCL);
  return CloseDescriptor(descriptor);
}

}  // namespace

bool ComPortPath(int number, char (&path)[kDevicePathSize]) noexcept {
  const ComPortRange* range = ComPortRangeOf(number);
  if (range == nullptr) return false;
  std::snprintf(path, sizeof path, "%s%d", range->prefix, number - range->first);
  return true;
}

PortHandle OpenPort(const char* device_path) noexcept {
  if (device_path == nullptr) return nullptr;
  const int descriptor = ::open(device_path, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (descriptor < 0) return nullptr;
  // Exclusive: flock keeps out other opens from this and other processes (root's too, which
  // TIOCEXCL does not stop), TIOCEXCL keeps out programs that do not take the lock.
  if (::flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
    CloseDescriptor(descriptor);  // refused: the port and its exclusive mode are another's
    return nullptr;
  }
  // Time-outs are enforced by ReadPort/WritePort and queue sizes have no termios equivalent:
  // both steps succeed as they are.
  if (::ioctl(descriptor, TIOCEXCL) != 0 || !ConfigureLine(descriptor)) {
    ReleaseAndClose(descriptor);
    return nullptr;
  }
  AssertModemLines(descriptor);
  const PortHandle port = HandleOf(descriptor);
  PurgeReceive(port);
  PurgeTransmit(port);
  return port;
}

int ClosePort(PortHandle port) noexcept {
  const int descriptor = DescriptorOf(port);
  if (descriptor < 0) return kPortCloseFailed;
  return ReleaseAndClose(descriptor) ? kPortOk : kPortCloseFailed;
}

int WritePort(PortHandle port, const std::uint8_t* bytes, std::size_t count) noexcept {
  const int descriptor = DescriptorOf(port);
  if (descriptor < 0) return kPortWriteFailed;
  const Nanoseconds deadline =
      Now() + Milliseconds(std::uint64_t{kWriteTotalTimeoutMultiplierMs} * count +
                           kWriteTotalTimeoutConstantMs);
  std::size_t written = 0;
  while (written < count) {
    const ssize_t result = ::write(descriptor, bytes + written, count - written);
    if (result > 0) {
      written += static_cast<std::size_t>(result);
      continue;
    }
    if (result < 0 && errno == EINTR) continue;
    if (result < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return kPortWriteFailed;
    switch (WaitFor(descriptor, POLLOUT, deadline)) {
      case Wait::kReady:
        break;
      case Wait::kTimedOut:
        return kPortWriteShort;
      case Wait::kGone:
        return kPortWriteFailed;
    }
  }
  return kPortOk;
}

int ReadPort(PortHandle port, std::uint8_t* buffer, std::size_t count) noexcept {
  const int descriptor = DescriptorOf(port);
  if (descriptor < 0) return kPortReadFailed;
  if (count == 0) return kPortReadNothing;
  const Nanoseconds total_deadline =
      Now() + Milliseconds(std::uint64_t{kReadTotalTimeoutMultiplierMs} * count +
                           kReadTotalTimeoutConstantMs);
  Nanoseconds deadline = total_deadline;  // the interval timer starts with the first byte
  std::size_t received = 0;
  while (received < count) {
    const ssize_t result = ::read(descriptor, buffer + received, count - received);
    if (result > 0) {
      received += static_cast<std::size_t>(result);
      const Nanoseconds now = Now();
      const Nanoseconds interval_deadline = now + Milliseconds(kReadIntervalTimeoutMs);
      deadline = interval_deadline < total_deadline ? interval_deadline : total_deadline;
      const Nanoseconds bytes_to_sleep_through =
          static_cast<Nanoseconds>(count - received) - kBytesLeftToPoll;
      if (bytes_to_sleep_through > 0) {
        // The rest cannot come faster than the line carries it: sleep through its wire time
        // rather than wake for every byte of a long answer.
        const Nanoseconds most_of_the_rest = now + kByteTimeOnTheLine * bytes_to_sleep_through;
        SleepUntil(most_of_the_rest < deadline ? most_of_the_rest : deadline);
      }
      continue;
    }
    // End of file on a terminal means the other side is gone (a closed pty, a pulled adapter).
    if (result == 0) return kPortReadFailed;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return kPortReadFailed;
    const Wait wait = WaitFor(descriptor, POLLIN, deadline);
    if (wait == Wait::kGone) return kPortReadFailed;
    if (wait == Wait::kTimedOut) break;
  }
  if (received == count) return kPortOk;
  return received == 0 ? kPortReadNothing : static_cast<int>(received);
}

void PurgeReceive(PortHandle port) noexcept {
  const int descriptor = DescriptorOf(port);
  if (descriptor >= 0) (void)::tcflush(descriptor, TCIFLUSH);
}

void PurgeTransmit(PortHandle port) noexcept {
  const int descriptor = DescriptorOf(port);
  if (descriptor >= 0) (void)::tcflush(descriptor, TCOFLUSH);
}

void PauseMilliseconds(unsigned milliseconds_to_wait) noexcept {
  const Nanoseconds until = Now() + Milliseconds(milliseconds_to_wait);
  // Every exchange waits out this pause, and the thread's timer slack (50 us by default) lets
  // the kernel wake it that much late. The slack is the caller's: tightened for the pause only.
  const int slack = ::prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
  const bool tightened = slack > 1 && ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0) == 0;
  SleepUntil(until);
  if (tightened) (void)::prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(slack), 0, 0, 0);
}

}  // namespace vorlex::link
