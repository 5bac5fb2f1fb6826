// A Mifare Classic 1K card: 16 sectors of 4 blocks, keys and access conditions in each sector's
// trailer (block 3), authentication per sector. An image whose block 0 says SAK 09 is a Mifare
// Classic Mini: sectors 5-15 answer kBadAddress (the image keeps them, unused).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "sim_status.h"

namespace vorlex::sim {

inline constexpr int kSectors = 16;
inline constexpr int kBlocksPerSector = 4;
inline constexpr int kTrailerBlock = 3;
inline constexpr std::size_t kBlockBytes = 16;
inline constexpr std::size_t kCardBytes = kSectors * kBlocksPerSector * kBlockBytes;  // 1024

using Block = std::array<std::uint8_t, kBlockBytes>;
using CardImage = std::array<std::uint8_t, kCardBytes>;
using Uid = std::array<std::uint8_t, 4>;

enum KeyType : std::uint8_t { kKeyA = 0, kKeyB = 1 };

// Access condition bits C1 C2 C3 of one block, as the number C1 * 4 + C2 * 2 + C3.
using Condition = std::uint8_t;

// The four conditions (blocks 0-2, trailer) held in trailer bytes 6-8, or nothing when the
// inverted copies do not match.
std::optional<std::array<Condition, 4>> DecodeAccessBits(std::span<const std::uint8_t, 3> bytes);
std::array<std::uint8_t, 3> EncodeAccessBits(const std::array<Condition, 4>& conditions);

// Which keys may do what, as masks of (1 << kKeyA) and (1 << kKeyB).
struct DataBlockRights {
  std::uint8_t read, write;
};
struct TrailerRights {
  std::uint8_t key_a_write, access_read, access_write, key_b_read, key_b_write;
};
DataBlockRights DataBlockRightsOf(Condition condition);
TrailerRights TrailerRightsOf(Condition condition);

class MifareClassic1K {
 public:
  // A fresh card: block 0 from `uid`, transport keys FFFFFFFFFFFF and access bytes FF0780 69 in
  // every trailer, a readable label in sector 1 block 0, zeros elsewhere.
  explicit MifareClassic1K(const Uid& uid);
  explicit MifareClassic1K(const CardImage& image) : image_(image) {}

  Uid uid() const;  // block 0 bytes 0-3, so a loaded image keeps its own identity
  const CardImage& image() const { return image_; }

  Status Authenticate(int sector, int key_type, std::span<const std::uint8_t, 6> key);
  Status Read(int sector, int block, Block& out) const;
  Status Write(int sector, int block, const Block& data);
  // A card request (or halt): every authentication ends, and a card muted by a failed
  // authentication answers again.
  void DropAuthentication() {
    authenticated_.fill(std::nullopt);
    muted_ = false;
  }

 private:
  std::uint8_t* BlockAt(int sector, int block) { return &image_[BlockOffset(sector, block)]; }
  const std::uint8_t* BlockAt(int sector, int block) const {
    return &image_[BlockOffset(sector, block)];
  }
  static std::size_t BlockOffset(int sector, int block) {
    return (static_cast<std::size_t>(sector) * kBlocksPerSector + block) * kBlockBytes;
  }
  // The key that opened the sector as a rights mask bit, 0 when none usable.
  std::uint8_t SessionKeyMask(int sector) const;
  std::array<Condition, 4> Conditions(int sector) const;

  CardImage image_{};
  std::array<std::optional<KeyType>, kSectors> authenticated_{};
  // After a failed authentication a real card drops back to idle and answers nothing until the
  // next card request: reads, writes and authentications get kCardNotSelected meanwhile.
  bool muted_ = false;
};

}  // namespace vorlex::sim
