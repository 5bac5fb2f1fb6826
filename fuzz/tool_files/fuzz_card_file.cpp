// The simulator's --card-file image: only std::runtime_error may come out of reading it, and the
// card model then serves every sector whatever its trailers hold: authentication with both keys
// as they stand, reads of every block, writes of a data block and of the trailer itself.
#include <cstddef>
#include <cstdint>
#include <string>

#include "virtual_reader.h"

using namespace vorlex::sim;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CardImage image;
  try {
    image = ParseCardFile(std::string(reinterpret_cast<const char*>(data), size), "card.mfd");
  } catch (const std::runtime_error&) {
    return 0;
  }
  MifareClassic1K card(image);
  for (int sector = 0; sector < kSectors; ++sector) {
    const std::size_t trailer = (sector * kBlocksPerSector + kTrailerBlock) * kBlockBytes;
    for (const int key_type : {kKeyA, kKeyB}) {
      card.DropAuthentication();
      const std::span<const std::uint8_t, 6> key(&image[trailer + (key_type == kKeyA ? 0 : 10)], 6);
      card.Authenticate(sector, key_type, key);
      Block block{};
      for (int b = 0; b < kBlocksPerSector; ++b) card.Read(sector, b, block);
      card.Write(sector, 1, block);
      Block own{};
      std::copy_n(&image[trailer], kBlockBytes, own.begin());
      card.Write(sector, kTrailerBlock, own);
    }
  }
  return 0;
}
