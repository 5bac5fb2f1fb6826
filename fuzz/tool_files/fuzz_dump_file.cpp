// The dump reader on any file `restore` may be given: format detection and each readable format.
// Only FormatError may come out; whatever is read, every format writes it and reads its own
// output back.
#include <cstddef>
#include <cstdint>
#include <string>

#include "dump_formats.h"

using namespace vorlex::cli::card;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string content(reinterpret_cast<const char*>(data), size);
  try {
    ReadDump(content);
  } catch (const FormatError&) {
  }
  for (const DumpFormat& format : DumpFormats()) {
    if (format.read == nullptr) continue;
    CardImage card;
    try {
      card = format.read(content);
    } catch (const FormatError&) {
      continue;
    }
    for (const DumpFormat& out : DumpFormats()) {
      try {
        const std::string written = out.write(card);
        if (out.read != nullptr) out.read(written);
      } catch (const FormatError&) {
      }
    }
    SectorsWithUnknownBytes(card);
  }
  return 0;
}
