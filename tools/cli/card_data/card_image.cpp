#include "card_image.h"

#include <algorithm>

#include "mifare_safety.h"

namespace vorlex::cli::card {
namespace {

constexpr int kSmallSectorBlocks = 4, kLargeSectorBlocks = 16, kSmallSectors = 32;

// Indexed by C1 * 4 + C2 * 2 + C3.
constexpr const char* kDataConditions[8] = {
    "read AB; write AB; increment AB; decrement transfer restore AB",
    "read AB; decrement transfer restore AB",
    "read AB",
    "read B; write B",
    "read AB; write B",
    "read B",
    "read AB; write B; increment B; decrement transfer restore AB",
    "never"};
constexpr const char* kTrailerConditions[8] = {
    "write A by A; read ACCESS by A; read B by A; write B by A",
    "write A by A; read/write ACCESS by A; read/write B by A",
    "read ACCESS by A; read B by A",
    "write A by B; read ACCESS by AB; write ACCESS by B; write B by B",
    "write A by B; read ACCESS by AB; write B by B",
    "read ACCESS by AB; write ACCESS by B",
    "read ACCESS by AB",
    "read ACCESS by AB"};

std::optional<Key> KeyFrom(const CardImage& card, int sector, int offset) {
  const int trailer = card.TrailerOf(sector);
  for (int i = 0; i < 6; ++i) {
    if (!card.ByteKnown(trailer, offset + i)) return std::nullopt;
  }
  Key key{};
  std::copy_n(card.blocks[trailer].begin() + offset, 6, key.begin());
  return key;
}

}  // namespace

bool ValidBlockCount(int blocks) {
  return blocks == 20 || blocks == 64 || blocks == 128 || blocks == 256;
}

const char* TypeName(int blocks) {
  switch (blocks) {
    case 20:
      return "MINI";
    case 128:
      return "2K";
    case 256:
      return "4K";
    default:
      return "1K";
  }
}

std::optional<int> BlocksOfType(const std::string& type_name) {
  for (const int blocks : {20, 64, 128, 256}) {
    if (type_name == TypeName(blocks)) return blocks;
  }
  return std::nullopt;
}

int BlocksOfAtqa(const Atqa& atqa) { return ((atqa[0] | atqa[1]) & 0x1F) == 0x02 ? 256 : 64; }

std::optional<int> BlocksOfSak(std::uint8_t sak) {
  switch (sak) {
    case 0x09:
      return 20;
    case 0x08:
    case 0x88:
      return 64;
    case 0x19:
      return 128;
    case 0x18:
      return 256;
    default:
      return std::nullopt;
  }
}

std::uint8_t SakOfAtqa(const Atqa& atqa) { return BlocksOfAtqa(atqa) == 256 ? 0x18 : 0x08; }

CardImage::CardImage(int block_count)
    : blocks(static_cast<std::size_t>(block_count), Block{}),
      known(static_cast<std::size_t>(block_count), 0) {
  key_a.resize(static_cast<std::size_t>(sector_count()));
  key_b.resize(static_cast<std::size_t>(sector_count()));
}

int CardImage::sector_count() const {
  const int n = block_count();
  return n <= kSmallSectors * kSmallSectorBlocks
             ? n / kSmallSectorBlocks
             : kSmallSectors + (n - kSmallSectors * kSmallSectorBlocks) / kLargeSectorBlocks;
}

int CardImage::FirstBlock(int sector) const {
  return sector < kSmallSectors
             ? sector * kSmallSectorBlocks
             : kSmallSectors * kSmallSectorBlocks + (sector - kSmallSectors) * kLargeSectorBlocks;
}

int CardImage::BlocksIn(int sector) const {
  return sector < kSmallSectors ? kSmallSectorBlocks : kLargeSectorBlocks;
}

int CardImage::SectorOf(int block) const {
  constexpr int kSmallEnd = kSmallSectors * kSmallSectorBlocks;
  return block < kSmallEnd ? block / kSmallSectorBlocks
                           : kSmallSectors + (block - kSmallEnd) / kLargeSectorBlocks;
}

bool CardImage::SectorUnknown(int sector) const {
  for (int b = FirstBlock(sector); b <= TrailerOf(sector); ++b) {
    if (!BlockUnknown(b)) return false;
  }
  return true;
}

std::optional<Key> CardImage::KeyA(int sector) const {
  return key_a[sector] ? key_a[sector] : KeyFrom(*this, sector, 0);
}

std::optional<Key> CardImage::KeyB(int sector) const {
  return key_b[sector] ? key_b[sector] : KeyFrom(*this, sector, 10);
}

std::optional<std::array<std::uint8_t, 4>> CardImage::AccessBytes(int sector) const {
  const int trailer = TrailerOf(sector);
  std::array<std::uint8_t, 4> bytes{};
  for (int i = 0; i < 4; ++i) {
    if (!ByteKnown(trailer, 6 + i)) return std::nullopt;
    bytes[i] = blocks[trailer][6 + i];
  }
  return bytes;
}

namespace {

// Block 0 as a card with a 4-byte UID holds it: UID, check byte, SAK, ATQA.
bool BlockZeroTells(const CardImage& card) {
  const Block& b0 = card.blocks[0];
  return card.uid.size() <= 4 && card.BlockKnown(0) && (b0[0] ^ b0[1] ^ b0[2] ^ b0[3]) == b0[4] &&
         (card.uid.empty() || std::equal(card.uid.begin(), card.uid.end(), b0.begin()));
}

}  // namespace

Bytes CardImage::CardUid() const {
  if (!uid.empty()) return uid;
  if (!BlockZeroTells(*this)) return {};
  return Bytes(blocks[0].begin(), blocks[0].begin() + 4);
}

std::optional<Atqa> CardImage::CardAtqa() const {
  if (atqa || !BlockZeroTells(*this)) return atqa;
  return Atqa{blocks[0][7], blocks[0][6]};
}

std::optional<std::uint8_t> CardImage::CardSak() const {
  if (sak) return sak;
  if (BlockZeroTells(*this)) return blocks[0][5];
  if (const auto reported = CardAtqa()) return SakOfAtqa(*reported);
  return std::nullopt;
}

void CardImage::ForgetWhatRawImagesCannotTell() {
  for (int s = 0; s < sector_count(); ++s) {
    const int trailer = TrailerOf(s);
    const auto conditions = AccessConditionsOf(blocks[trailer]);
    if (!conditions) {
      for (int b = FirstBlock(s); b <= trailer; ++b) known[b] = 0;
    } else if (!KeyBReadable((*conditions)[3])) {
      known[trailer] &= 0x03FF;
      // Its dumper may not have had key B either: what key B alone reads is unknown too.
      for (int i = 0; i + 1 < BlocksIn(s); ++i) {
        const int group = BlocksIn(s) == 4 ? i : i / 5;
        if ((DataRightsOf((*conditions)[group]).read & kMayKeyA) == 0) known[FirstBlock(s) + i] = 0;
      }
    }
  }
}

std::vector<std::pair<std::string, std::string>> AccessConditionsText(const CardImage& card,
                                                                      int sector) {
  std::vector<std::pair<std::string, std::string>> out;
  const auto access = card.AccessBytes(sector);
  if (!access) return out;
  const auto conditions = AccessConditionsOf(card.blocks[card.TrailerOf(sector)]);
  const int first = card.FirstBlock(sector), count = card.BlocksIn(sector);
  for (int i = 0; i < count; ++i) {
    const bool trailer = i == count - 1;
    // A 16-block sector shares each data condition among five blocks.
    const int group = trailer ? 3 : (count == 4 ? i : i / 5);
    std::string text = !conditions ? "invalid access bits"
                       : trailer   ? kTrailerConditions[(*conditions)[3]]
                                   : kDataConditions[(*conditions)[group]];
    out.emplace_back("block" + std::to_string(first + i), std::move(text));
  }
  out.emplace_back("UserData", HexOf(&(*access)[3], 1));
  return out;
}

std::optional<std::uint8_t> HexByte(char high, char low) {
  const auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  const int h = digit(high), l = digit(low);
  if (h < 0 || l < 0) return std::nullopt;
  return static_cast<std::uint8_t>(h << 4 | l);
}

}  // namespace vorlex::cli::card
