#include "mifare_classic.h"

#include <algorithm>
#include <cstring>

namespace vorlex::sim {
namespace {

constexpr std::uint8_t A = 1 << kKeyA, B = 1 << kKeyB, AB = A | B, None = 0;

// Indexed by C1 * 4 + C2 * 2 + C3.
constexpr DataBlockRights kDataRights[8] = {{AB, AB},    // 000 transport configuration
                                            {AB, None},  // 001 value block, read and decrement only
                                            {AB, None},  // 010 read only
                                            {B, B},      // 011
                                            {AB, B},     // 100
                                            {B, None},   // 101
                                            {AB, B},     // 110 value block
                                            {None, None}};
constexpr TrailerRights kTrailerRights[8] = {{A, A, None, A, A},  // 000
                                             {A, A, A, A, A},     // 001 transport configuration
                                             {None, A, None, A, None},   // 010
                                             {B, AB, B, None, B},        // 011
                                             {B, AB, None, None, B},     // 100
                                             {None, AB, B, None, None},  // 101
                                             {None, AB, None, None, None},
                                             {None, AB, None, None, None}};

constexpr std::uint8_t kTransportAccess[4] = {0xFF, 0x07, 0x80, 0x69};  // with the GPB byte
constexpr char kLabel[] = "VORLEX SIM CARD ";
static_assert(sizeof kLabel - 1 == kBlockBytes);

// A Mifare Classic Mini (SAK 09 in block 0) has sectors 0-4 only; the image keeps 16.
constexpr std::uint8_t kMiniSak = 0x09;
constexpr int kMiniSectors = 5;

bool ValidAddress(const CardImage& image, int sector, int block) {
  const int sectors = image[5] == kMiniSak ? kMiniSectors : kSectors;
  return sector >= 0 && sector < sectors && block >= 0 && block < kBlocksPerSector;
}

}  // namespace

std::optional<std::array<Condition, 4>> DecodeAccessBits(std::span<const std::uint8_t, 3> bytes) {
  std::array<Condition, 4> conditions{};
  for (int block = 0; block < 4; ++block) {
    const int c1 = bytes[1] >> (4 + block) & 1, c2 = bytes[2] >> block & 1,
              c3 = bytes[2] >> (4 + block) & 1;
    const int not_c1 = bytes[0] >> block & 1, not_c2 = bytes[0] >> (4 + block) & 1,
              not_c3 = bytes[1] >> block & 1;
    if (c1 == not_c1 || c2 == not_c2 || c3 == not_c3) return std::nullopt;
    conditions[block] = static_cast<Condition>(c1 << 2 | c2 << 1 | c3);
  }
  return conditions;
}

std::array<std::uint8_t, 3> EncodeAccessBits(const std::array<Condition, 4>& conditions) {
  unsigned c1 = 0, c2 = 0, c3 = 0;
  for (int block = 0; block < 4; ++block) {
    c1 |= (conditions[block] >> 2 & 1u) << block;
    c2 |= (conditions[block] >> 1 & 1u) << block;
    c3 |= (conditions[block] & 1u) << block;
  }
  return {static_cast<std::uint8_t>((~c2 & 0xF) << 4 | (~c1 & 0xF)),
          static_cast<std::uint8_t>(c1 << 4 | (~c3 & 0xF)),
          static_cast<std::uint8_t>(c3 << 4 | c2)};
}

DataBlockRights DataBlockRightsOf(Condition condition) { return kDataRights[condition & 7]; }
TrailerRights TrailerRightsOf(Condition condition) { return kTrailerRights[condition & 7]; }

MifareClassic1K::MifareClassic1K(const Uid& uid) {
  std::uint8_t* block0 = BlockAt(0, 0);
  std::copy(uid.begin(), uid.end(), block0);
  block0[4] = uid[0] ^ uid[1] ^ uid[2] ^ uid[3];  // BCC
  block0[5] = 0x08;                               // SAK of a 1K card
  block0[6] = 0x04;                               // ATQA, least significant byte first
  block0[7] = 0x00;
  std::memcpy(block0 + 8, "VORLEXSM", 8);  // manufacturer data
  std::memcpy(BlockAt(1, 0), kLabel, kBlockBytes);
  for (int sector = 0; sector < kSectors; ++sector) {
    std::uint8_t* trailer = BlockAt(sector, kTrailerBlock);
    std::fill(trailer, trailer + 6, 0xFF);
    std::copy(std::begin(kTransportAccess), std::end(kTransportAccess), trailer + 6);
    std::fill(trailer + 10, trailer + 16, 0xFF);
  }
}

Uid MifareClassic1K::uid() const { return {image_[0], image_[1], image_[2], image_[3]}; }

std::array<Condition, 4> MifareClassic1K::Conditions(int sector) const {
  const std::uint8_t* trailer = BlockAt(sector, kTrailerBlock);
  // Bytes that do not decode can only come from a loaded file: such a sector is locked.
  return DecodeAccessBits(std::span<const std::uint8_t, 3>(trailer + 6, 3))
      .value_or(std::array<Condition, 4>{7, 7, 7, 7});
}

std::uint8_t MifareClassic1K::SessionKeyMask(int sector) const {
  if (!authenticated_[sector]) return 0;
  // Where key B is readable it is plain data, and grants nothing.
  if (*authenticated_[sector] == kKeyB && TrailerRightsOf(Conditions(sector)[3]).key_b_read != 0) {
    return 0;
  }
  return static_cast<std::uint8_t>(1 << *authenticated_[sector]);
}

Status MifareClassic1K::Authenticate(int sector, int key_type,
                                     std::span<const std::uint8_t, 6> key) {
  if (muted_) return kCardNotSelected;
  if (!ValidAddress(image_, sector, 0)) return kBadAddress;
  if (key_type != kKeyA && key_type != kKeyB) return kBadArgument;
  const std::uint8_t* trailer = BlockAt(sector, kTrailerBlock);
  const std::uint8_t* stored = key_type == kKeyA ? trailer : trailer + 10;
  if (!std::equal(key.begin(), key.end(), stored)) {
    authenticated_.fill(std::nullopt);
    muted_ = true;
    return kAuthFailed;
  }
  authenticated_[sector] = static_cast<KeyType>(key_type);
  return kOk;
}

Status MifareClassic1K::Read(int sector, int block, Block& out) const {
  if (muted_) return kCardNotSelected;
  if (!ValidAddress(image_, sector, block)) return kBadAddress;
  if (!authenticated_[sector]) return kNotAuthenticated;
  const std::uint8_t key = SessionKeyMask(sector);
  const std::array<Condition, 4> conditions = Conditions(sector);
  const std::uint8_t* stored = BlockAt(sector, block);
  if (block != kTrailerBlock) {
    if ((DataBlockRightsOf(conditions[block]).read & key) == 0) return kAccessDenied;
    std::copy(stored, stored + kBlockBytes, out.begin());
    return kOk;
  }
  // Key A never reads back; the rest only where the conditions let this key see it.
  const TrailerRights rights = TrailerRightsOf(conditions[3]);
  out.fill(0);
  if (rights.access_read & key) std::copy(stored + 6, stored + 10, out.begin() + 6);
  if (rights.key_b_read & key) std::copy(stored + 10, stored + 16, out.begin() + 10);
  return kOk;
}

Status MifareClassic1K::Write(int sector, int block, const Block& data) {
  if (muted_) return kCardNotSelected;
  if (!ValidAddress(image_, sector, block)) return kBadAddress;
  if (!authenticated_[sector]) return kNotAuthenticated;
  if (sector == 0 && block == 0) return kAccessDenied;  // manufacturer block
  const std::uint8_t key = SessionKeyMask(sector);
  const std::array<Condition, 4> conditions = Conditions(sector);
  std::uint8_t* stored = BlockAt(sector, block);
  if (block != kTrailerBlock) {
    if ((DataBlockRightsOf(conditions[block]).write & key) == 0) return kAccessDenied;
    std::copy(data.begin(), data.end(), stored);
    return kOk;
  }
  // Each part of the trailer is written only where the conditions allow it; the others keep
  // their value. Inconsistent access bytes, which lock a real card's sector for good, are
  // refused outright.
  const TrailerRights rights = TrailerRightsOf(conditions[3]);
  const bool key_a = rights.key_a_write & key, access = rights.access_write & key,
             key_b = rights.key_b_write & key;
  if (!key_a && !access && !key_b) return kAccessDenied;
  if (access && !DecodeAccessBits(std::span<const std::uint8_t, 3>(data.data() + 6, 3))) {
    return kBadAccessBits;
  }
  if (key_a) std::copy(data.begin(), data.begin() + 6, stored);
  if (access) std::copy(data.begin() + 6, data.begin() + 10, stored + 6);
  if (key_b) std::copy(data.begin() + 10, data.end(), stored + 10);
  return kOk;
}

}  // namespace vorlex::sim
