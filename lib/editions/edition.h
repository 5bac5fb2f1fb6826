// The one place that knows how the two editions differ. The build compiles every source of an
// edition with exactly one of VORLEX_EDITION_EPURSE or VORLEX_EDITION_DISPLAY; nothing else in
// the tree reads those switches. Which exports an edition has is decided by editions/exports.txt.
#pragma once

#include <cstdint>

#include "link/serial_port.h"

namespace vorlex::edition {

enum class Kind { kEpurse, kDisplay };

#if defined(VORLEX_EDITION_EPURSE) == defined(VORLEX_EDITION_DISPLAY)
#error "build with exactly one of VORLEX_EDITION_EPURSE and VORLEX_EDITION_DISPLAY"
#elif defined(VORLEX_EDITION_EPURSE)
inline constexpr Kind kKind = Kind::kEpurse;
#else
inline constexpr Kind kKind = Kind::kDisplay;
#endif

// How Open_Reader turns the caller's port name into the device to open: the path to open
// (`buffer` or the name itself), or null when the name names no device.
//  e-purse: "COM<n>" (upper case, compared byte for byte; n read like atoi), null meaning COM1.
//  display: the name exactly as the caller wrote it; null names nothing.
const char* DevicePathFor(const char* port_name, char (&buffer)[link::kDevicePathSize]) noexcept;

// Mifare argument reductions; only the low 8 bits of each argument count.
struct MifareReduction {
  std::uint8_t sector_modulo;  // 0: the 8 bits unchanged
  std::uint8_t key_type_mask;
  std::uint8_t block_mask;
};
inline constexpr MifareReduction kMifare =
    kKind == Kind::kEpurse ? MifareReduction{0, 0x0F, 0x0F} : MifareReduction{15, 0x01, 0x03};

constexpr std::uint8_t MifareSector(int sector) {
  const auto low = static_cast<std::uint8_t>(sector & 0xFF);
  return kMifare.sector_modulo == 0 ? low : static_cast<std::uint8_t>(low % kMifare.sector_modulo);
}
constexpr std::uint8_t MifareKeyType(int key_type) {
  return static_cast<std::uint8_t>(key_type & kMifare.key_type_mask);
}
constexpr std::uint8_t MifareBlock(int block) {
  return static_cast<std::uint8_t>(block & kMifare.block_mask);
}

}  // namespace vorlex::edition
