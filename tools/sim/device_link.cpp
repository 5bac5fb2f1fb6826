#include "device_link.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>

#include "serial_line.h"

namespace vorlex::sim {
namespace {

bool Send(int device, const engine::Reply& reply) {
  if (reply.delay.count() > 0) std::this_thread::sleep_for(reply.delay);
  const auto per_byte = reply.per_byte.value_or(std::chrono::nanoseconds(0));
  if (per_byte.count() == 0)
    return engine::WriteAll(device, reply.bytes.data(), reply.bytes.size());
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < reply.bytes.size(); ++i) {
    std::this_thread::sleep_until(start + per_byte * static_cast<long>(i));
    if (!engine::WriteAll(device, &reply.bytes[i], 1)) return false;
  }
  return true;
}

}  // namespace

int OpenRawDevice(const std::string& path) { return engine::OpenSerialLine(path); }

bool ServeDevice(int device, int stop, const engine::ScriptedReader::Responder& responder) {
  engine::FrameParser parser;
  std::uint8_t buffer[512];
  for (;;) {
    pollfd fds[2] = {{stop, POLLIN, 0}, {device, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (fds[0].revents != 0) return true;
    if (fds[1].revents & (POLLERR | POLLNVAL)) return false;
    if ((fds[1].revents & (POLLIN | POLLHUP)) == 0) continue;
    const ssize_t got = ::read(device, buffer, sizeof buffer);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) return false;
    parser.Feed(std::span(buffer, static_cast<std::size_t>(got)));
    while (std::optional<engine::ParsedFrame> request = parser.Next()) {
      if (!Send(device, responder(*request))) return false;
    }
  }
}

}  // namespace vorlex::sim
