// Key-list files for --keys: only FormatError may come out.
#include <cstddef>
#include <cstdint>
#include <string>

#include "key_dictionary.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vorlex::cli::card::KeyDictionary dictionary;
  try {
    dictionary.AddFile(std::string(reinterpret_cast<const char*>(data), size), "keys.dic");
  } catch (const vorlex::cli::card::FormatError&) {
  }
  return 0;
}
