// The tool's APDU script parser on arbitrary text: it either refuses the script (FormatError) or
// gives steps whose expected replies match as written. The input is the script, then, after the
// first NUL, the reply each expectation is tried on.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "apdu_script.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find('\0');
  const std::string script = input.substr(0, split);
  const std::string reply_text = split == std::string::npos ? "" : input.substr(split + 1);
  const vorlex::cli::card::Bytes reply(reply_text.begin(), reply_text.end());
  try {
    for (const vorlex::cli::card::ScriptStep& step : vorlex::cli::card::ParseApduScript(script)) {
      if (step.kind == vorlex::cli::card::ScriptStep::kApdu && step.apdu.size() < 4) {
        std::fprintf(stderr, "property violated: an APDU of %zu bytes\n", step.apdu.size());
        std::abort();
      }
      if (!step.expect) continue;
      const auto& expect = *step.expect;
      if (expect.mask.size() != expect.tail.size()) {
        std::fprintf(stderr, "property violated: mask and bytes differ in length\n");
        std::abort();
      }
      const bool matches = expect.Matches(reply);
      // An expectation always matches the reply it spells out (unknown digits as written).
      if (!expect.Matches(expect.tail)) {
        std::fprintf(stderr, "property violated: %s does not match itself\n", expect.text.c_str());
        std::abort();
      }
      (void)matches;
    }
  } catch (const vorlex::cli::card::FormatError&) {
  }
  return 0;
}
