// What a write to a Mifare Classic block may do to the card, decided before anything is sent:
// a sector trailer whose access bits are inconsistent or leave no key able to change the trailer
// again ruins the sector for good, and block 0 of sector 0 (the manufacturer block) with a wrong
// check byte makes the card stop answering. The tool's write and restore and the PC/SC driver
// ask here; each words the verdict its own way. Header-only, no heap, nothing throws.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace vorlex::mifare {

inline constexpr std::size_t kBlockBytes = 16;
using BlockView = std::span<const std::uint8_t, kBlockBytes>;

// Classic 1K and 4K: sectors 0-31 have 4 blocks, sectors 32-39 (4K only) 16.
inline constexpr int kSmallSectors = 32;
inline constexpr int kSmallSectorBlocks = 4;
inline constexpr int kLargeSectorBlocks = 16;
inline constexpr int kBlocks1K = 64;
inline constexpr int kBlocks4K = 256;

enum class BlockKind { kData, kTrailer, kManufacturer };

// `sector` and `block` as they reach the card (block counted within the sector).
constexpr BlockKind KindOf(int sector, int block) noexcept {
  if (sector == 0 && block == 0) return BlockKind::kManufacturer;
  const int trailer = (sector < kSmallSectors ? kSmallSectorBlocks : kLargeSectorBlocks) - 1;
  return block == trailer ? BlockKind::kTrailer : BlockKind::kData;
}

// A block number counted from the card's first block, as PC/SC programs give it, turned into
// the sector and the block within it. Valid for 0 to kBlocks4K - 1.
struct SectorBlock {
  int sector, block;
};
constexpr SectorBlock FromAbsoluteBlock(int absolute) noexcept {
  constexpr int small_blocks = kSmallSectors * kSmallSectorBlocks;  // 128
  if (absolute < small_blocks) {
    return {absolute / kSmallSectorBlocks, absolute % kSmallSectorBlocks};
  }
  const int rest = absolute - small_blocks;
  return {kSmallSectors + rest / kLargeSectorBlocks, rest % kLargeSectorBlocks};
}

// C1 C2 C3 of the four access groups (blocks 0, 1, 2 and the trailer) held in trailer bytes
// 6-8, each as C1*4 + C2*2 + C3; empty when an inverted copy does not match its plain copy.
constexpr std::optional<std::array<int, 4>> AccessConditionsOf(BlockView trailer) noexcept {
  const int b6 = trailer[6], b7 = trailer[7], b8 = trailer[8];
  std::array<int, 4> conditions{};
  for (int group = 0; group < 4; ++group) {
    const int c1 = b7 >> (4 + group) & 1, c2 = b8 >> group & 1, c3 = b8 >> (4 + group) & 1;
    const int n1 = b6 >> group & 1, n2 = b6 >> (4 + group) & 1, n3 = b7 >> group & 1;
    if (c1 == n1 || c2 == n2 || c3 == n3) return std::nullopt;
    conditions[static_cast<std::size_t>(group)] = c1 << 2 | c2 << 1 | c3;
  }
  return conditions;
}

// Whether the trailer's key B is readable (then it is data, not a key).
constexpr bool KeyBReadable(int trailer_condition) noexcept {
  return trailer_condition == 0b000 || trailer_condition == 0b010 || trailer_condition == 0b001;
}

// The trailer stays changeable only where some usable key may still write the access bits:
// 001 (key A), 011 and 101 (key B, which those conditions keep secret).
constexpr bool TrailerStaysChangeable(int trailer_condition) noexcept {
  return trailer_condition == 0b001 || trailer_condition == 0b011 || trailer_condition == 0b101;
}

// The XOR of the UID bytes 0-3, which byte 4 of block 0 must hold.
constexpr std::uint8_t ManufacturerCheckByte(BlockView block0) noexcept {
  return static_cast<std::uint8_t>(block0[0] ^ block0[1] ^ block0[2] ^ block0[3]);
}

// What the caller allows beyond plain data blocks.
struct WriteAllowance {
  bool trailer = false;         // sector trailers with valid, changeable access bits
  bool permanent_lock = false;  // with `trailer`: access bits that fix the sector for good
  bool block0 = false;          // the manufacturer block, with a right check byte
};

enum class WriteVerdict {
  kAllowed,
  kManufacturerBlock,  // block 0 of sector 0, not allowed
  kWrongCheckByte,     // block 0 allowed, but byte 4 is not the UID's check byte
  kTrailer,            // a sector trailer, not allowed
  kInvalidAccessBits,  // a trailer whose access bytes are inconsistent: locks the sector
  kPermanentLock,      // valid access bits that let no key change them again
};

constexpr WriteVerdict JudgeBlockWrite(int sector, int block, BlockView data,
                                       WriteAllowance allowed) noexcept {
  switch (KindOf(sector, block)) {
    case BlockKind::kData:
      return WriteVerdict::kAllowed;
    case BlockKind::kManufacturer:
      if (!allowed.block0) return WriteVerdict::kManufacturerBlock;
      return ManufacturerCheckByte(data) == data[4] ? WriteVerdict::kAllowed
                                                    : WriteVerdict::kWrongCheckByte;
    case BlockKind::kTrailer:
      break;
  }
  if (!allowed.trailer) return WriteVerdict::kTrailer;
  const auto conditions = AccessConditionsOf(data);
  if (!conditions) return WriteVerdict::kInvalidAccessBits;
  if (!TrailerStaysChangeable((*conditions)[3]) && !allowed.permanent_lock) {
    return WriteVerdict::kPermanentLock;
  }
  return WriteVerdict::kAllowed;
}

}  // namespace vorlex::mifare
