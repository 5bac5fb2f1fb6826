// The relay at the heart of vorlex-tap: a pty for the program under test on one side, the real
// reader's serial device on the other, bytes copied both ways as they come and every frame
// decoded after it has been passed on.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "link.h"
#include "reader_frame.h"
#include "replacement_file.h"
#include "wire_record.h"

namespace vorlex::tap {

struct TapOptions {
  std::string device;               // the reader's serial device
  std::optional<std::string> link;  // a symlink to the pty, kept while the tap runs
  std::optional<std::string> log;   // where the record goes besides standard output
  bool json = false;                // the record as JSON lines
  // A program under test owns standard output: the record goes to the log only, or without
  // one to standard error.
  bool program = false;
};

class Tap {
 public:
  // Opens the device and the pty. Throws std::system_error / std::runtime_error.
  explicit Tap(const TapOptions& options);
  ~Tap();
  Tap(const Tap&) = delete;
  Tap& operator=(const Tap&) = delete;

  const std::string& port() const { return port_; }  // the pty the program under test opens

  enum class End { kSignal, kDeviceGone };
  // Relays until `stop` (a descriptor) is readable or the device goes away; may be called again
  // after kSignal.
  End Run(int stop);

  // Reports whatever is still held, then the closing line: frames each way, anomalies.
  void Finish(const std::string& why);

 private:
  void Decode(engine::Side from, std::span<const std::uint8_t> bytes, std::int64_t now_us);
  void Drain(engine::Side from);
  void Report(engine::Side from, const engine::WireEvent& event);
  void Note(const std::string& event, const std::string& text);
  void FlushAll();
  void Flush();
  void Emit(const std::string& text, const nlohmann::ordered_json& line);
  std::int64_t Now() const;

  TapOptions options_;
  int device_ = -1, master_ = -1, slave_ = -1, watch_ = -1;
  std::string port_;
  std::optional<launch::PublishedLink> link_;
  std::int64_t start_ns_ = 0;
  engine::WireDecoder from_host_, from_reader_;
  engine::Bytes last_request_;
  bool have_request_ = false;
  std::uint64_t host_frames_ = 0, reader_frames_ = 0, anomalies_ = 0, dropped_ = 0;
  std::optional<files::ReplacementStream> log_;  // the recording, in place once it ends
  std::ostream* console_ = nullptr;  // the record for people (or JSON without a log), if any
};

}  // namespace vorlex::tap
