// A Mifare Classic card as a dump read it: every block with which of its bytes are known, the
// key that opened each sector, and where the dump stopped if it did. The dump command fills
// one; output formats read it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "mifare_safety.h"

namespace vorlex::cli {

struct MifareKey {
  int type = 0;  // 0: key A, 1: key B
  std::array<std::uint8_t, 6> bytes{};
};

struct DumpBlock {
  int number = 0;  // within the sector
  BlockBytes bytes{};
  // A trailer's keys read back as zeros: they are known only when the key that opened the
  // sector is filled in (key A, or key B) or key B is readable under the access conditions.
  std::array<bool, 16> known{};
};

struct DumpSector {
  int number = 0;
  std::optional<MifareKey> key;   // the key that opened it; empty: none did
  std::vector<DumpBlock> blocks;  // those read, in order
  std::string failed_step;        // "auth" or "read"; empty when every block was read
  int failed_status = 0;
};

struct MifareDump {
  std::string atqa, uid;
  int sectors_planned = 0;
  std::vector<DumpSector> sectors;  // those tried, in order
  // Set when the dump ended early (a signal, a reader that stopped answering): the sector it
  // was at and why.
  std::optional<int> stopped_at_sector;
  std::string stopped_because;
};

// Fills in what the key that opened a sector tells about its trailer, read as `block`.
void MarkTrailerBytes(const MifareKey& key, DumpBlock& block);

}  // namespace vorlex::cli
