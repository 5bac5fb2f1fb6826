// The dump reader on any file `restore` may be given: format detection, then the one format it
// chose reads the file. Only FormatError may come out. The round trip through every format is
// fuzz_dump_formats' (one parse per input here keeps this target fast).
#include <cstddef>
#include <cstdint>
#include <string>

#include "dump_formats.h"

using namespace vorlex::cli::card;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    const CardImage card = ReadDump(std::string(reinterpret_cast<const char*>(data), size));
    SectorsWithUnknownBytes(card);
  } catch (const FormatError&) {
  }
  return 0;
}
