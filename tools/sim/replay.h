// vorlex-sim --replay: answers from a recording the tap made, instead of from the virtual reader.
// Each request must equal the next recorded one byte for byte; it then gets what the reader sent
// after it in the recording (junk and bad frames included), otherwise nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "scripted_reader.h"

namespace vorlex::sim {

struct RecordedExchange {
  engine::Bytes request;   // the request frame as the host sent it
  int64_t request_end_us;  // when its last byte reached the tap
  struct Chunk {
    engine::Bytes raw;
    int64_t first_us, last_us;
  };
  std::vector<Chunk> answer;  // what came back before the next request; may be nothing
};

// The exchanges of a tap recording (JSON lines) read from `source`. Throws std::runtime_error
// "SOURCE:LINE: ..." for a line that is not a record.
std::vector<RecordedExchange> ParseRecording(const std::string& content, const std::string& source);
// The same from a file, read through files::ReadInputFile (files::FileError, a runtime_error,
// when it cannot be read or is no file of a recording's size).
std::vector<RecordedExchange> LoadRecording(const std::string& path);

// Request bytes that may differ from the recording (a purchase's date and time, say): data bytes
// `first` to `last` (counted from 0 after class and code, as the tap's "data" shows them) of
// every request of one command. The frame's checksum may then differ too.
struct VaryingBytes {
  std::uint8_t command_class = 0, command_code = 0;
  std::size_t first = 0, last = 0;
};

// "CPU_PBOC_REQA_CARD:5-11", "FE02:5-11" or "NAME:5"; std::invalid_argument saying what is
// wrong.
VaryingBytes ParseVaryingBytes(const std::string& text);

struct ReplayOptions {
  bool timing = false;  // wait and pace the answers as recorded
  bool strict = false;  // stop serving at the first mismatch
  std::vector<VaryingBytes> vary;
};

class Replay {
 public:
  using Report = std::function<void(const std::string&)>;
  // `report` gets the mismatch reports; `on_strict_stop` runs once, at the first mismatch, in
  // strict mode.
  Replay(std::vector<RecordedExchange> recording, ReplayOptions options, Report report,
         std::function<void()> on_strict_stop = {});

  engine::Reply Answer(const engine::ParsedFrame& request);
  engine::ScriptedReader::Responder Responder();

  std::size_t mismatches() const;
  bool PlayedThrough() const;   // every recorded exchange played, and no mismatch
  std::string Summary() const;  // "replay: 12 of 12 recorded exchanges played, 0 mismatches"

 private:
  std::vector<RecordedExchange> recording_;
  ReplayOptions options_;
  Report report_;
  std::function<void()> on_strict_stop_;
  mutable std::mutex mu_;
  std::size_t next_ = 0, received_ = 0, mismatches_ = 0;
};

}  // namespace vorlex::sim
