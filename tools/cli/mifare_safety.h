// Writes that can ruin a Mifare Classic card for good: a sector trailer whose access bits are
// inconsistent or leave no key able to change the trailer again, and block 0 of sector 0 (the
// manufacturer block) with a wrong check byte. Every command that writes blocks (write,
// restore) checks here first and sends nothing when refused.
#pragma once

#include <CLI/CLI.hpp>
#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace vorlex::cli {

using BlockBytes = std::array<std::uint8_t, 16>;

// What the user allowed on the command line.
struct WriteAllowance {
  bool trailer = false;         // --allow-trailer
  bool permanent_lock = false;  // --allow-permanent-lock
  bool block0 = false;          // --allow-block0

  // The three options on a command that writes blocks.
  void AddTo(CLI::App* command);
};

enum class BlockKind { kData, kTrailer, kManufacturer };
// `sector` and `block` as they reach the card (after the edition's reductions). Sectors 0-31
// have 4 blocks, sectors 32-39 (4K cards) 16.
BlockKind KindOf(int sector, int block);

// C1 C2 C3 of each of the four access groups (blocks 0, 1, 2 and the trailer), as 3-bit values
// C1*4 + C2*2 + C3; empty when an inverted copy does not match.
std::optional<std::array<int, 4>> AccessConditionsOf(const BlockBytes& trailer);

// C1C2C3 of the four groups, "000 000 000 001", or why they are not readable.
std::string DescribeAccess(const BlockBytes& trailer);

// Which keys may do what under an access condition, as masks of kMayKeyA and kMayKeyB.
inline constexpr std::uint8_t kMayKeyA = 1, kMayKeyB = 2;
struct DataBlockRights {
  std::uint8_t read, write;
};
struct TrailerRights {
  std::uint8_t key_a_write, access_read, access_write, key_b_read, key_b_write;
};
DataBlockRights DataRightsOf(int condition);
TrailerRights TrailerRightsOf(int condition);

// Whether the trailer's key B is readable (then it is data, not a key).
bool KeyBReadable(int trailer_condition);

// Empty when the write may go; otherwise why it is refused.
std::string CheckBlockWrite(int sector, int block, const BlockBytes& data,
                            const WriteAllowance& allowed);

}  // namespace vorlex::cli
