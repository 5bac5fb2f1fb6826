// A fake card reader on a pseudo-terminal. The library under test opens port() as if it were the
// reader's serial device; every request frame it writes is recorded and answered with the next
// scripted Reply, or by the responder once the script has run out.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "reader_frame.h"

namespace vorlex::engine {

// What the reader does for one request frame.
struct Reply {
  static Reply Answer(Bytes payload);                     // a well-formed answer frame
  static Reply Status(uint16_t status, Bytes data = {});  // Answer({hi, lo, data...})
  static Reply Raw(Bytes bytes);                          // exactly these bytes
  static Reply Silence();                                 // no answer at all
  static Reply HangUp();                                  // the device vanishes

  // Faults, all built on Raw().
  static Reply WrongStx(Bytes payload);                      // first byte 0x05
  static Reply WrongEtx(Bytes payload);                      // last byte 0x04
  static Reply BadChecksum(Bytes payload);                   // checksum + 1
  static Reply Truncated(Bytes payload, size_t keep_bytes);  // the frame's first keep_bytes only
  // Header claims declared_l; then the payload as given, the checksum over what was sent, ETX.
  static Reply DeclaredLength(uint16_t declared_l, Bytes payload);
  static Reply Trailing(Bytes payload, Bytes extra);  // a good frame, then extra bytes

  // Per-byte delay; overrides ScriptedReader::SetPacing. 86.8 us is 115200 baud at 10 bits a byte.
  Reply& Paced(std::chrono::nanoseconds per_byte) &;
  Reply Paced(std::chrono::nanoseconds per_byte) &&;
  // Delay before the first byte (or before hanging up).
  Reply& After(std::chrono::microseconds delay) &;
  Reply After(std::chrono::microseconds delay) &&;
  // Hang up once the host has read the bytes (or after a second): a device unplugged mid-answer.
  Reply& ThenHangUp() &;
  Reply ThenHangUp() &&;

  Bytes bytes;  // empty: send nothing
  std::optional<std::chrono::nanoseconds> per_byte;
  std::chrono::microseconds delay{0};
  bool hang_up = false;
};

class ScriptedReader {
 public:
  using Responder = std::function<Reply(const ParsedFrame&)>;

  // Creates the pty and starts serving. Throws std::system_error if the pty cannot be set up.
  ScriptedReader();
  ~ScriptedReader();
  ScriptedReader(const ScriptedReader&) = delete;
  ScriptedReader& operator=(const ScriptedReader&) = delete;

  const std::string& port() const { return port_; }  // e.g. /dev/pts/5

  // Appended to a FIFO; each request frame consumes one reply.
  void Script(std::initializer_list<Reply> replies);
  void Script(Reply reply);
  size_t PendingReplies() const;

  // Answers requests once the script is empty; without one the reader stays silent. Runs on the
  // serving thread and may call any method of this class.
  void SetResponder(Responder responder);
  void SetPacing(std::chrono::nanoseconds per_byte);  // default for replies without Paced()

  // Every request frame in order, bad checksums included (the responder sees the flag).
  std::vector<Bytes> Requests() const;     // payloads
  std::vector<Bytes> RawRequests() const;  // the frames as received
  size_t RequestCount() const;
  bool WaitForRequests(size_t n, std::chrono::milliseconds timeout) const;
  void ClearRecord();

  // Closes the pty now; the host's reads then fail or see end of file. Everything after is ignored.
  void HangUpNow();
  bool hung_up() const;

 private:
  void Serve();
  void Handle(const ParsedFrame& request);
  // These return false when a stop or hang-up request interrupts them.
  bool Send(const Bytes& bytes, std::chrono::nanoseconds per_byte);
  bool WaitUntil(std::chrono::steady_clock::time_point deadline);
  bool WaitWritable();
  bool WaitForHostToRead();
  bool Interrupted() const;
  void Wake();
  void DrainWake();
  void CloseDevice();

  int master_ = -1;
  int slave_ = -1;  // held open so the pty survives the host closing and reopening it
  int wake_ = -1;   // eventfd: stop or hang-up requested
  std::string port_;

  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::deque<Reply> script_;
  Responder responder_;
  std::chrono::nanoseconds pacing_{0};
  std::vector<ParsedFrame> record_;
  bool stop_requested_ = false;
  bool hang_up_requested_ = false;
  bool hung_up_ = false;

  std::thread thread_;
};

}  // namespace vorlex::engine
