// The agent's request path: a JSON-RPC text is parsed (the agent's own parser, with its depth
// limit), a reader method is dispatched to the reader device and runs down to the request bytes
// against a reader that answers fuzzed bytes; then a presence poll. Properties:
//  - nothing crashes, throws anything but the documented MethodError, or reads past a buffer;
//  - every result and error serialises (valid UTF-8 throughout);
//  - a call refused for its params, method or edition (-32601, -32602, 1006) sent nothing;
//  - every frame sent holds at most 295 payload bytes (the memory port checks each frame).
//
// Input layout (see fuzz/agent_seeds.py, which writes the seeds in it):
//   flags (bit 0: the display edition), text length (BE16) + JSON-RPC text, then the reader's
//   answers: header (BE16: bit 15 write fails, bit 14 hang-up, low 10 bits answer length) +
//   answer bytes, as the exports' target reads them.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "memory_port.h"
#include "reader_device.h"
#include "rpc.h"

namespace {

using vorlex::fuzz::Attempt;

struct Input {
  const std::uint8_t* data;
  std::size_t size, at = 0;
  std::size_t Left() const { return size - at; }
  unsigned U8() { return at < size ? data[at++] : 0; }
  unsigned U16() { return U8() << 8 | U8(); }
  std::string Take(std::size_t count) {
    count = std::min(count, Left());
    std::string out(reinterpret_cast<const char*>(data + at), count);
    at += count;
    return out;
  }
};

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "property violated: %s\n", what.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using vorlex::agent::MethodError;
  Input in{data, size};
  const bool display = (in.U8() & 1) != 0;
  const std::string text = in.Take(in.U16());
  std::vector<Attempt> attempts;
  while (in.Left() >= 2 && attempts.size() < 64) {
    const unsigned header = in.U16();
    Attempt attempt;
    attempt.write_fails = (header & 0x8000) != 0;
    attempt.hang_up = (header & 0x4000) != 0;
    const std::string answer = in.Take(header & 0x3FF);
    attempt.answer.assign(answer.begin(), answer.end());
    attempts.push_back(std::move(attempt));
  }

  const vorlex::agent::Parsed parsed = vorlex::agent::ParseRequest(text, 32);
  if (!parsed.request) return 0;
  const vorlex::agent::Request& request = *parsed.request;
  if (!vorlex::agent::ReaderDevice::Handles(request.method)) return 0;

  // /dev/null stands for the device: it is there, so a silent reader is silence, not a loss.
  // No journal: a purchase is refused before any exchange (its procedure has its own tests).
  vorlex::agent::ReaderDevice device(
      {"/dev/null", display ? vorlex::agent::Edition::kDisplay : vorlex::agent::Edition::kEpurse,
       "", ""});
  vorlex::fuzz::ResetPort(attempts);
  if (!device.Open()) Fail("the memory port did not open");
  try {
    const nlohmann::json result = device.Call(request.method, request.params);
    if (!result.is_object()) Fail(request.method + ": the result is not an object");
    (void)result.dump();
  } catch (const MethodError& error) {
    (void)nlohmann::json(error.message).dump();
    (void)error.data.dump();
    const bool before_sending = error.code == -32601 || error.code == -32602 || error.code == 1006;
    if (before_sending && vorlex::fuzz::Log().calls.find('W') != std::string::npos) {
      Fail(request.method + ": refused with " + std::to_string(error.code) +
           " after something was sent");
    }
  }
  try {
    for (const nlohmann::json& event : device.Poll()) (void)event.dump();
  } catch (const MethodError& error) {
    Fail("Poll threw " + std::to_string(error.code));
  }
  return 0;
}
