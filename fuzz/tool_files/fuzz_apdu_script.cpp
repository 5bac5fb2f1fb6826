// APDU scripts for `vorlex script`: only FormatError may come out, and every expected reply can
// be matched against any reply.
#include <cstddef>
#include <cstdint>
#include <string>

#include "apdu_script.h"

using namespace vorlex::cli::card;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<ScriptStep> steps;
  try {
    steps = ParseApduScript(std::string(reinterpret_cast<const char*>(data), size));
  } catch (const FormatError&) {
    return 0;
  }
  const Bytes replies[] = {{}, {0x90, 0x00}, Bytes(data, data + size)};
  for (const ScriptStep& step : steps) {
    if (!step.expect) continue;
    for (const Bytes& reply : replies) step.expect->Matches(reply);
  }
  return 0;
}
