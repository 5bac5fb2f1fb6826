#include "scripted_reader.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <utility>

namespace vorlex::engine {

namespace {

using std::chrono::microseconds;
using std::chrono::nanoseconds;
using std::chrono::steady_clock;

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

// ---- Reply ----

Reply Reply::Answer(Bytes payload) { return Raw(EncodeFrame(payload)); }

Reply Reply::Status(uint16_t status, Bytes data) {
  Bytes payload{static_cast<uint8_t>(status >> 8), static_cast<uint8_t>(status & 0xFF)};
  payload.insert(payload.end(), data.begin(), data.end());
  return Answer(std::move(payload));
}

Reply Reply::Raw(Bytes bytes) {
  Reply reply;
  reply.bytes = std::move(bytes);
  return reply;
}

Reply Reply::Silence() { return Reply{}; }

Reply Reply::HangUp() { return Reply{}.ThenHangUp(); }

Reply Reply::WrongStx(Bytes payload) {
  Bytes frame = EncodeFrame(payload);
  frame.front() = 0x05;
  return Raw(std::move(frame));
}

Reply Reply::WrongEtx(Bytes payload) {
  Bytes frame = EncodeFrame(payload);
  frame.back() = 0x04;
  return Raw(std::move(frame));
}

Reply Reply::BadChecksum(Bytes payload) {
  Bytes frame = EncodeFrame(payload);
  frame[frame.size() - 2] = static_cast<uint8_t>(frame[frame.size() - 2] + 1);
  return Raw(std::move(frame));
}

Reply Reply::Truncated(Bytes payload, size_t keep_bytes) {
  Bytes frame = EncodeFrame(payload);
  frame.resize(std::min(keep_bytes, frame.size()));
  return Raw(std::move(frame));
}

Reply Reply::DeclaredLength(uint16_t declared_l, Bytes payload) {
  Bytes frame{kStx, static_cast<uint8_t>(declared_l >> 8), static_cast<uint8_t>(declared_l & 0xFF)};
  frame.insert(frame.end(), payload.begin(), payload.end());
  frame.push_back(Checksum(std::span(frame).subspan(1)));
  frame.push_back(kEtx);
  return Raw(std::move(frame));
}

Reply Reply::Trailing(Bytes payload, Bytes extra) {
  Bytes frame = EncodeFrame(payload);
  frame.insert(frame.end(), extra.begin(), extra.end());
  return Raw(std::move(frame));
}

Reply& Reply::Paced(nanoseconds per_byte_delay) & {
  per_byte = per_byte_delay;
  return *this;
}
Reply Reply::Paced(nanoseconds per_byte_delay) && { return std::move(Paced(per_byte_delay)); }

Reply& Reply::After(microseconds first_byte_delay) & {
  delay = first_byte_delay;
  return *this;
}
Reply Reply::After(microseconds first_byte_delay) && { return std::move(After(first_byte_delay)); }

Reply& Reply::ThenHangUp() & {
  hang_up = true;
  return *this;
}
Reply Reply::ThenHangUp() && { return std::move(ThenHangUp()); }

// ---- ScriptedReader ----

ScriptedReader::ScriptedReader() {
  auto fail = [this](const char* what) {
    const int err = errno;
    CloseFd(slave_);
    CloseFd(master_);
    CloseFd(wake_);
    throw std::system_error(err, std::generic_category(), what);
  };

  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0) fail("posix_openpt");
  if (::grantpt(master_) != 0) fail("grantpt");
  if (::unlockpt(master_) != 0) fail("unlockpt");
  char name[128];
  if (::ptsname_r(master_, name, sizeof name) != 0) fail("ptsname_r");
  port_ = name;
  // Non-blocking so a host that stops reading cannot wedge the serving thread in write().
  const int flags = ::fcntl(master_, F_GETFL);
  if (flags < 0 || ::fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0) fail("fcntl(O_NONBLOCK)");

  slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_ < 0) fail("open slave");
  termios tio{};
  if (::tcgetattr(slave_, &tio) != 0) fail("tcgetattr");
  ::cfmakeraw(&tio);  // no echo, no line editing, no CR/LF mapping: bytes pass untouched
  if (::tcsetattr(slave_, TCSANOW, &tio) != 0) fail("tcsetattr");

  wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_ < 0) fail("eventfd");

  thread_ = std::thread(&ScriptedReader::Serve, this);
}

ScriptedReader::~ScriptedReader() {
  {
    std::lock_guard lock(mu_);
    stop_requested_ = true;
  }
  Wake();
  thread_.join();
  CloseDevice();
  CloseFd(wake_);
}

void ScriptedReader::Script(std::initializer_list<Reply> replies) {
  std::lock_guard lock(mu_);
  script_.insert(script_.end(), replies.begin(), replies.end());
}

void ScriptedReader::Script(Reply reply) {
  std::lock_guard lock(mu_);
  script_.push_back(std::move(reply));
}

size_t ScriptedReader::PendingReplies() const {
  std::lock_guard lock(mu_);
  return script_.size();
}

void ScriptedReader::SetResponder(Responder responder) {
  std::lock_guard lock(mu_);
  responder_ = std::move(responder);
}

void ScriptedReader::SetPacing(nanoseconds per_byte) {
  std::lock_guard lock(mu_);
  pacing_ = per_byte;
}

std::vector<Bytes> ScriptedReader::Requests() const {
  std::lock_guard lock(mu_);
  std::vector<Bytes> out;
  out.reserve(record_.size());
  for (const ParsedFrame& frame : record_) out.push_back(frame.payload);
  return out;
}

std::vector<Bytes> ScriptedReader::RawRequests() const {
  std::lock_guard lock(mu_);
  std::vector<Bytes> out;
  out.reserve(record_.size());
  for (const ParsedFrame& frame : record_) out.push_back(frame.raw);
  return out;
}

size_t ScriptedReader::RequestCount() const {
  std::lock_guard lock(mu_);
  return record_.size();
}

bool ScriptedReader::WaitForRequests(size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mu_);
  return cv_.wait_for(lock, timeout, [&] { return record_.size() >= n; });
}

void ScriptedReader::ClearRecord() {
  std::lock_guard lock(mu_);
  record_.clear();
}

void ScriptedReader::HangUpNow() {
  // From a responder we are on the serving thread, which owns the fds.
  if (std::this_thread::get_id() == thread_.get_id()) {
    CloseDevice();
    return;
  }
  std::unique_lock lock(mu_);
  if (hung_up_) return;
  hang_up_requested_ = true;
  lock.unlock();
  Wake();
  lock.lock();
  cv_.wait(lock, [&] { return hung_up_; });
}

bool ScriptedReader::hung_up() const {
  std::lock_guard lock(mu_);
  return hung_up_;
}

// ---- serving thread ----

void ScriptedReader::Serve() {
  FrameParser parser;
  uint8_t buffer[512];
  bool master_readable = true;
  for (;;) {
    bool hang_up = false;
    {
      std::lock_guard lock(mu_);
      if (stop_requested_) return;
      hang_up = hang_up_requested_ && master_ >= 0;
    }
    if (hang_up) CloseDevice();

    pollfd fds[2] = {{wake_, POLLIN, 0}, {master_, POLLIN, 0}};
    const nfds_t count = (master_ >= 0 && master_readable) ? 2 : 1;
    if (::poll(fds, count, -1) < 0) {
      if (errno == EINTR) continue;
      std::abort();  // only EFAULT/EINVAL/ENOMEM get here; looping on them would spin
    }
    if (fds[0].revents != 0) DrainWake();
    if (count < 2 || fds[1].revents == 0) continue;

    const ssize_t got = ::read(master_, buffer, sizeof buffer);
    if (got > 0) {
      parser.Feed(std::span(buffer, static_cast<size_t>(got)));
      while (master_ >= 0 && !Interrupted()) {
        std::optional<ParsedFrame> request = parser.Next();
        if (!request) break;
        Handle(*request);
      }
    } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
      // Not expected while slave_ is open; stop watching the master rather than spin on it.
      master_readable = false;
    }
  }
}

void ScriptedReader::Handle(const ParsedFrame& request) {
  Reply reply;
  Responder responder;
  nanoseconds pacing{0};
  {
    std::lock_guard lock(mu_);
    record_.push_back(request);
    if (!script_.empty()) {
      reply = std::move(script_.front());
      script_.pop_front();
    } else {
      responder = responder_;
    }
    pacing = pacing_;
  }
  cv_.notify_all();
  // Called unlocked, so a responder may script, read the record or hang up.
  if (responder) reply = responder(request);

  if (reply.delay.count() > 0 && !WaitUntil(steady_clock::now() + reply.delay)) return;
  if (!reply.bytes.empty() && !Send(reply.bytes, reply.per_byte.value_or(pacing))) return;
  if (reply.hang_up) {
    if (!reply.bytes.empty() && !WaitForHostToRead()) return;
    CloseDevice();
  }
}

bool ScriptedReader::WaitForHostToRead() {
  // A hang-up discards whatever the host has not read yet, so give it up to a second to read the
  // answer's head first. The pty hands written bytes over asynchronously: settle briefly before
  // trusting an empty queue.
  const auto deadline = steady_clock::now() + std::chrono::seconds(1);
  if (!WaitUntil(steady_clock::now() + std::chrono::milliseconds(5))) return false;
  while (steady_clock::now() < deadline) {
    int queued = 0;
    if (::ioctl(slave_, TIOCINQ, &queued) != 0 || queued == 0) return true;
    if (!WaitUntil(steady_clock::now() + std::chrono::milliseconds(1))) return false;
  }
  return true;
}

bool ScriptedReader::Send(const Bytes& bytes, nanoseconds per_byte) {
  // Byte i is due at start + i * per_byte. Bytes already due go out in one write, so the average
  // rate holds even when a single wait is coarser than per_byte.
  const auto start = steady_clock::now();
  size_t sent = 0;
  while (sent < bytes.size()) {
    if (master_ < 0) return false;
    size_t due = bytes.size();
    if (per_byte.count() > 0) {
      const auto elapsed = steady_clock::now() - start;
      due = std::min(bytes.size(), static_cast<size_t>(elapsed / per_byte) + 1);
      if (due <= sent) {
        if (!WaitUntil(start + per_byte * static_cast<nanoseconds::rep>(sent))) return false;
        continue;
      }
    }
    const ssize_t n = ::write(master_, bytes.data() + sent, due - sent);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      if (!WaitWritable()) return false;
    } else if (!(n < 0 && errno == EINTR)) {
      return false;
    }
  }
  return true;
}

bool ScriptedReader::WaitUntil(steady_clock::time_point deadline) {
  for (;;) {
    if (Interrupted()) return false;
    const auto now = steady_clock::now();
    if (now >= deadline) return true;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    if (left.count() == 0) {
      // Under a millisecond, below poll()'s resolution: too short to matter for a stop.
      std::this_thread::sleep_until(deadline);
      return true;
    }
    pollfd wake{wake_, POLLIN, 0};
    if (::poll(&wake, 1, static_cast<int>(std::min<int64_t>(left.count(), 60'000))) > 0) {
      DrainWake();
    }
  }
}

bool ScriptedReader::WaitWritable() {
  for (;;) {
    if (Interrupted()) return false;
    pollfd fds[2] = {{wake_, POLLIN, 0}, {master_, POLLOUT, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (fds[0].revents != 0) DrainWake();
    if (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) return false;
    if (fds[1].revents & POLLOUT) return true;
  }
}

bool ScriptedReader::Interrupted() const {
  std::lock_guard lock(mu_);
  return stop_requested_ || hang_up_requested_;
}

void ScriptedReader::Wake() {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);  // only fails if saturated
}

void ScriptedReader::DrainWake() {
  uint64_t count = 0;
  [[maybe_unused]] const ssize_t n = ::read(wake_, &count, sizeof count);
}

void ScriptedReader::CloseDevice() {
  {
    // Under the lock, so anyone who has seen the line drop also sees hung_up().
    std::lock_guard lock(mu_);
    CloseFd(master_);
    CloseFd(slave_);
    hung_up_ = true;
  }
  cv_.notify_all();
}

}  // namespace vorlex::engine
