// The dump-file readers on arbitrary bytes: the first byte picks the format (or detection), the
// rest is the file. A reader may refuse with FormatError; anything else is a finding. What it
// reads is written again in every format, as dump and restore do, and every readable format
// reads its own output back.
#include <cstddef>
#include <cstdint>
#include <string>

#include "dump_formats.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vorlex::cli::card;
  if (size == 0) return 0;
  const auto& formats = DumpFormats();
  const std::size_t pick = data[0] % (formats.size() + 1);
  const std::string content(reinterpret_cast<const char*>(data) + 1, size - 1);
  CardImage card;
  try {
    card = ReadDump(content, pick < formats.size() ? &formats[pick] : nullptr);
  } catch (const FormatError&) {
    return 0;
  }
  SectorsWithUnknownBytes(card);
  for (const DumpFormat& format : formats) {
    try {
      const std::string written = format.write(card);
      if (format.read != nullptr) format.read(written);
    } catch (const FormatError&) {
    }
  }
  return 0;
}
