// Tap recordings for `vorlex-sim --replay`: only std::runtime_error may come out; what is read
// is played back, paced as recorded: a request that differs from the first, its own requests,
// and one past the last.
#include <cstddef>
#include <cstdint>
#include <string>

#include "replay.h"

using namespace vorlex;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<sim::RecordedExchange> recording;
  try {
    recording = sim::ParseRecording(std::string(reinterpret_cast<const char*>(data), size),
                                    "recording.jsonl");
  } catch (const std::runtime_error&) {
    return 0;
  }
  if (recording.empty()) return 0;
  std::vector<engine::Bytes> requests;
  for (const sim::RecordedExchange& exchange : recording) requests.push_back(exchange.request);
  sim::Replay replay(std::move(recording), {.timing = true, .strict = false}, {});
  engine::ParsedFrame frame;
  frame.raw = requests.front();
  frame.raw.push_back(0);
  replay.Answer(frame);
  for (const engine::Bytes& request : requests) {
    frame.raw = request;
    replay.Answer(frame);
  }
  replay.Answer(frame);
  replay.Summary();
  return 0;
}
