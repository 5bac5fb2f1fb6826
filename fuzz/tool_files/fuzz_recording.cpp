// Tap recordings for `vorlex-sim --replay`: only std::runtime_error may come out; what is read
// is played back, paced as recorded, to its own requests and to one that differs.
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
  std::vector<engine::Bytes> requests;
  for (const sim::RecordedExchange& exchange : recording) requests.push_back(exchange.request);
  sim::Replay replay(std::move(recording), {.timing = true, .strict = false}, {});
  for (const engine::Bytes& request : requests) {
    engine::ParsedFrame frame;
    frame.raw = request;
    replay.Answer(frame);
    frame.raw.push_back(0);
    replay.Answer(frame);
  }
  replay.Summary();
  return 0;
}
