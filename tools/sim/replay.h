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

// The exchanges of a tap recording (JSON lines). Throws std::runtime_error "FILE:LINE: ..." for a
// line that is not a record, or when the file cannot be read.
std::vector<RecordedExchange> LoadRecording(const std::string& path);

struct ReplayOptions {
  bool timing = false;  // wait and pace the answers as recorded
  bool strict = false;  // stop serving at the first mismatch
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
