#include "tap.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <system_error>

#include "command_names.h"
#include "serial_line.h"

namespace vorlex::tap {
namespace {

using engine::Side;
using engine::WireEvent;
using engine::WireKind;

// The library gives up on an answer after 800 ms without a byte: a frame begun and then quiet
// that long is a stall.
constexpr std::int64_t kStallUs = 800'000;

[[noreturn]] void Fail(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

std::string Seconds(std::int64_t us) {
  char text[32];
  std::snprintf(text, sizeof text, "%12.6f", static_cast<double>(us) / 1e6);
  return text;
}

std::string Describe(Side from, const WireEvent& event, const engine::Bytes* request) {
  std::string text = Seconds(event.first_us) + (from == Side::kHost ? "  host    " : "  reader  ");
  const engine::Bytes& p = event.payload;
  if (event.kind != WireKind::kFrame) {
    std::string kind = engine::WireKindName(event.kind);
    for (char& c : kind) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text + kind + "  [" + engine::HexText(event.raw, true) + "]";
  }
  if (p.size() < 2) {
    text += "(" + std::to_string(p.size()) + "-byte payload)";
  } else if (from == Side::kHost) {
    text +=
        engine::CommandName(p[0], p[1]) + " (" + engine::HexText(std::span(p).first(2), true) + ")";
    if (p.size() > 2) text += " " + engine::HexText(std::span(p).subspan(2), true);
  } else {
    text += "status " + engine::HexText(std::span(p).first(2));
    if (request != nullptr && request->size() >= 2) {
      text += " " + engine::CommandName((*request)[0], (*request)[1]);
    }
    if (p.size() > 2) text += ": " + engine::HexText(std::span(p).subspan(2), true);
  }
  if (!event.checksum_ok) text += "  BAD CHECKSUM";
  return text + "  [" + engine::HexText(event.raw, true) + "]";
}

}  // namespace

Tap::Tap(const TapOptions& options) : options_(options) {
  start_ns_ = std::chrono::duration_cast<std::chrono::nanoseconds>(
                  std::chrono::steady_clock::now().time_since_epoch())
                  .count();
  if (options_.log) log_.emplace(*options_.log);
  if (!options_.program) {
    console_ = &std::cout;
  } else if (!options_.log) {
    console_ = &std::cerr;
  }
  device_ = engine::OpenSerialLine(options_.device);

  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (master_ < 0) Fail("posix_openpt");
  if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0) Fail("grantpt");
  char name[128];
  if (::ptsname_r(master_, name, sizeof name) != 0) Fail("ptsname_r");
  port_ = name;
  // Held open, so that the program under test may close and reopen the pty without the master
  // seeing a hang-up; raw from the start, so nothing is echoed before the program sets it up.
  slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_ < 0) Fail("open " + port_);
  termios settings{};
  if (::tcgetattr(slave_, &settings) == 0) {
    ::cfmakeraw(&settings);
    ::tcsetattr(slave_, TCSANOW, &settings);
  }
  watch_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (watch_ < 0 || ::inotify_add_watch(watch_, name, IN_OPEN | IN_CLOSE) < 0) {
    Fail("watch " + port_);
  }
  if (options_.link) link_.emplace(*options_.link, port_);
}

Tap::~Tap() {
  link_.reset();
  if (device_ >= 0) {
    ::ioctl(device_, TIOCNXCL);
    ::close(device_);
  }
  for (int fd : {master_, slave_, watch_}) {
    if (fd >= 0) ::close(fd);
  }
}

std::int64_t Tap::Now() const {
  const std::int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::chrono::steady_clock::now().time_since_epoch())
                              .count();
  return (ns - start_ns_) / 1000;
}

Tap::End Tap::Run(int stop) {
  std::uint8_t buffer[4096];
  for (;;) {
    Flush();
    int timeout = -1;
    for (const engine::WireDecoder* decoder : {&from_host_, &from_reader_}) {
      if (!decoder->holding()) continue;
      const std::int64_t left_ms = (decoder->last_us() + kStallUs - Now()) / 1000 + 1;
      timeout = static_cast<int>(std::max<std::int64_t>(
          0, timeout < 0 ? left_ms : std::min<std::int64_t>(timeout, left_ms)));
    }
    pollfd fds[4] = {
        {stop, POLLIN, 0}, {master_, POLLIN, 0}, {device_, POLLIN, 0}, {watch_, POLLIN, 0}};
    const int ready = ::poll(fds, 4, timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      Fail("poll");
    }
    if (ready == 0) {
      // Quiet long enough: what either side left unfinished is reported now.
      const std::int64_t now = Now();
      if (from_host_.holding() && now - from_host_.last_us() >= kStallUs) {
        from_host_.Flush();
        Drain(Side::kHost);
      }
      if (from_reader_.holding() && now - from_reader_.last_us() >= kStallUs) {
        from_reader_.Flush();
        Drain(Side::kReader);
      }
      continue;
    }
    // Opens and closes first: within one wake-up they came before the bytes.
    if (fds[3].revents != 0) {
      alignas(inotify_event) char events[4096];
      ssize_t n;
      while ((n = ::read(watch_, events, sizeof events)) > 0) {
        for (char* at = events; at < events + n;) {
          const auto* event = reinterpret_cast<const inotify_event*>(at);
          if (event->mask & IN_OPEN) Note("host_open", "the program opened the port");
          if (event->mask & IN_CLOSE) {
            // The program's exclusive mode would outlive it, the pty being held open here.
            ::ioctl(slave_, TIOCNXCL);
            from_host_.Flush();
            Drain(Side::kHost);
            Note("host_close", "the program closed the port");
          }
          at += sizeof(inotify_event) + event->len;
        }
      }
    }
    // Then the device: its bytes are the answer the program waits for.
    if (fds[2].revents != 0) {
      const ssize_t n = ::read(device_, buffer, sizeof buffer);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) return End::kDeviceGone;
      const std::int64_t now = Now();
      std::size_t sent = 0;
      while (sent < static_cast<std::size_t>(n)) {
        const ssize_t w = ::write(master_, buffer + sent, static_cast<std::size_t>(n) - sent);
        if (w > 0) {
          sent += static_cast<std::size_t>(w);
        } else if (w < 0 && errno == EINTR) {
          continue;
        } else {
          break;  // the pty is full: nobody reads it
        }
      }
      if (sent < static_cast<std::size_t>(n)) {
        dropped_ += static_cast<std::size_t>(n) - sent;
        Note("dropped", std::to_string(static_cast<std::size_t>(n) - sent) +
                            " bytes from the reader: nobody reads the port");
      }
      Decode(Side::kReader, std::span(buffer, static_cast<std::size_t>(n)), now);
    }
    if (fds[1].revents & POLLIN) {
      const ssize_t n = ::read(master_, buffer, sizeof buffer);
      if (n > 0) {
        const std::int64_t now = Now();
        if (!engine::WriteAll(device_, buffer, static_cast<std::size_t>(n)))
          return End::kDeviceGone;
        Decode(Side::kHost, std::span(buffer, static_cast<std::size_t>(n)), now);
      }
    }
    if (fds[2].revents != 0 && (fds[2].revents & POLLIN) == 0) return End::kDeviceGone;
    if (fds[0].revents != 0) return End::kSignal;
  }
}

void Tap::Decode(Side from, std::span<const std::uint8_t> bytes, std::int64_t now_us) {
  // One side speaking ends whatever the other side had begun.
  engine::WireDecoder& other = from == Side::kHost ? from_reader_ : from_host_;
  if (other.holding()) {
    other.Flush();
    Drain(from == Side::kHost ? Side::kReader : Side::kHost);
  }
  (from == Side::kHost ? from_host_ : from_reader_).Feed(bytes, now_us);
  Drain(from);
}

void Tap::Drain(Side from) {
  engine::WireDecoder& decoder = from == Side::kHost ? from_host_ : from_reader_;
  while (std::optional<WireEvent> event = decoder.Next()) Report(from, *event);
}

void Tap::Report(Side from, const WireEvent& event) {
  const bool frame = event.kind == WireKind::kFrame;
  if (frame && from == Side::kHost) {
    ++host_frames_;
    last_request_ = event.payload;
    have_request_ = true;
  }
  if (frame && from == Side::kReader) ++reader_frames_;
  if (!frame || !event.checksum_ok) ++anomalies_;
  const engine::Bytes* request = from == Side::kReader && have_request_ ? &last_request_ : nullptr;
  Emit(Describe(from, event, request), engine::RecordLine(from, event, request));
}

void Tap::Note(const std::string& event, const std::string& text) {
  const std::int64_t now = Now();
  Emit(Seconds(now) + "  --      " + text, {{"t_us", now}, {"event", event}, {"message", text}});
}

void Tap::FlushAll() {
  from_host_.Flush();
  Drain(Side::kHost);
  from_reader_.Flush();
  Drain(Side::kReader);
}

void Tap::Finish(const std::string& why) {
  FlushAll();
  const std::string text = "vorlex-tap: " + why + ": " + std::to_string(host_frames_) +
                           " frames from the host, " + std::to_string(reader_frames_) +
                           " from the reader, " + std::to_string(anomalies_) + " anomal" +
                           (anomalies_ == 1 ? "y" : "ies") +
                           (dropped_ > 0 ? ", " + std::to_string(dropped_) + " bytes dropped" : "");
  Emit(text, {{"t_us", Now()},
              {"event", "summary"},
              {"message", why},
              {"frames_from_host", host_frames_},
              {"frames_from_reader", reader_frames_},
              {"anomalies", anomalies_},
              {"dropped", dropped_}});
  Flush();
  if (log_) {
    try {
      log_->Save();
    } catch (const files::FileError& error) {
      std::cerr << "vorlex-tap: " << error.what() << "\n";
    }
  }
}

void Tap::Flush() {
  if (console_ != nullptr) console_->flush();
  if (log_) log_->flush();
}

void Tap::Emit(const std::string& text, const nlohmann::ordered_json& line) {
  // Text for people on the console, unless the JSON lines go there instead.
  if (console_ != nullptr) {
    if (options_.json && !options_.log) {
      *console_ << line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                << '\n';
    } else {
      *console_ << text << '\n';
    }
  }
  if (log_) {
    if (options_.json) {
      *log_ << line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n';
    } else {
      *log_ << text << '\n';
    }
  }
}

}  // namespace vorlex::tap
