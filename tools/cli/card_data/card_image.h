// One Mifare Classic card in memory, whatever file it came from or goes to: its blocks, which of
// their bytes are known, the keys found per sector, and what the card request told (UID, ATQA,
// SAK). Every dump format reads into and writes from this one image.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "numbers.h"

namespace vorlex::cli::card {

inline constexpr int kBlockBytes = 16;
using Block = std::array<std::uint8_t, kBlockBytes>;
using Key = std::array<std::uint8_t, 6>;
using Bytes = std::vector<std::uint8_t>;

// A file that is not what it claims. `what()` names the line or byte offset at fault.
struct FormatError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Card sizes by block count: Mini 20, 1K 64, 2K 128, 4K 256. Sectors 0-31 have 4 blocks, the
// sectors above them 16 (4K cards only).
bool ValidBlockCount(int blocks);
const char* TypeName(int blocks);  // "MINI", "1K", "2K", "4K"
std::optional<int> BlocksOfType(const std::string& type_name);

using Atqa = std::array<std::uint8_t, 2>;  // as the card request reports it, high byte first
// What a card's ATQA and SAK say of its size: 4K for the ATQA of a 4K card (anticollision bit
// 2), else 1K; a SAK from block 0 (Mini 09, 1K 08, 2K 19, 4K 18) says it better.
int BlocksOfAtqa(const Atqa& atqa);
std::optional<int> BlocksOfSak(std::uint8_t sak);
std::uint8_t SakOfAtqa(const Atqa& atqa);

struct CardImage {
  explicit CardImage(int block_count = 64);

  int block_count() const { return static_cast<int>(blocks.size()); }
  int sector_count() const;
  int FirstBlock(int sector) const;
  int BlocksIn(int sector) const;
  int TrailerOf(int sector) const { return FirstBlock(sector) + BlocksIn(sector) - 1; }
  int SectorOf(int block) const;
  bool IsTrailer(int block) const { return TrailerOf(SectorOf(block)) == block; }

  bool BlockKnown(int block) const { return known[block] == 0xFFFF; }
  bool BlockUnknown(int block) const { return known[block] == 0; }
  bool SectorUnknown(int sector) const;
  void SetBlock(int block, const Block& data) {
    blocks[block] = data;
    known[block] = 0xFFFF;
  }
  void SetByte(int block, int byte, std::uint8_t value) {
    blocks[block][byte] = value;
    known[block] |= static_cast<std::uint16_t>(1u << byte);
  }
  bool ByteKnown(int block, int byte) const { return (known[block] >> byte & 1) != 0; }

  // The keys of a sector: as found by a dump or given by a file, else from a known trailer.
  std::optional<Key> KeyA(int sector) const;
  std::optional<Key> KeyB(int sector) const;
  // Trailer bytes 6-9 (access bits and the user byte) when known.
  std::optional<std::array<std::uint8_t, 4>> AccessBytes(int sector) const;

  // UID, ATQA, SAK as stored, else as block 0 of a card with a 4-byte UID gives them (the BCC
  // in byte 4 checks out): UID bytes 0-3, SAK byte 5, ATQA bytes 6-7 (stored low byte first);
  // a SAK that neither gives comes from the ATQA, never made up.
  Bytes CardUid() const;
  std::optional<Atqa> CardAtqa() const;
  std::optional<std::uint8_t> CardSak() const;

  // Forgets what a raw image (bin, eml) cannot tell: a sector whose trailer holds invalid access
  // bits (all zeros, as tools write sectors they did not read) is not in it, and a key B that
  // the access bits hide is unknown whatever bytes stand there, as are the blocks only key B
  // may read.
  void ForgetWhatRawImagesCannotTell();

  std::vector<Block> blocks;
  std::vector<std::uint16_t> known;  // bit n: byte n of the block is known
  std::vector<std::optional<Key>> key_a, key_b;
  Bytes uid;
  std::optional<Atqa> atqa;
  std::optional<std::uint8_t> sak;
  // A dump that stopped early: the sector it stopped at; it and the ones after were not read.
  std::optional<int> stopped_at_sector;
};

// What the access bytes allow, in words: one text per block of the sector (`block<N>` with the
// card's block numbers) and the user byte, for the JSON dump.
std::vector<std::pair<std::string, std::string>> AccessConditionsText(const CardImage& card,
                                                                      int sector);

// Hex for the formats: HexOf (numbers.h) writes it; HexByte reads two hex digits of either case;
// nothing otherwise.
std::optional<std::uint8_t> HexByte(char high, char low);

}  // namespace vorlex::cli::card
