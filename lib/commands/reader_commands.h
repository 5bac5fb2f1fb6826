// The reader's card commands as unit (command class) and code: the one table from which both
// front ends build their requests, the C exports and the PC/SC driver.
#pragma once

#include <cstdint>

#include "common/command.h"

namespace vorlex::commands {

inline constexpr std::uint8_t kSamSlot1 = 0x02, kSamSlot2 = 0x03, kIso14443 = 0x04, kRfsim = 0x05;

// ISO 14443-A cards in the field and Mifare Classic blocks.
inline constexpr CommandCode kCardRequest{kIso14443, 0x01};  // mode bit; ATQA (2), UID (4)
inline constexpr CommandCode kCardAts{kIso14443, 0x02};      // ATS and the reader's two bytes
inline constexpr CommandCode kMifareAuth{kIso14443, 0x03};   // sector, key type, key (6)
inline constexpr CommandCode kMifareRead{kIso14443, 0x04};   // sector, block; 16 bytes
inline constexpr CommandCode kMifareWrite{kIso14443, 0x05};  // sector, block, 16 bytes
inline constexpr CommandCode kCardHalt{kIso14443, 0x06};
inline constexpr CommandCode kCardApdu{kIso14443, 0x07};

// The two SAM slots differ by their unit alone.
constexpr CommandCode SamPowerOn(std::uint8_t slot) { return {slot, 0x01}; }  // reset answer
constexpr CommandCode SamPowerOff(std::uint8_t slot) { return {slot, 0x02}; }
constexpr CommandCode SamApdu(std::uint8_t slot) { return {slot, 0x03}; }

// RF-SIM cards.
inline constexpr CommandCode kRfsimRequest{kRfsim, 0x01};  // mode bit; identifier (8)
inline constexpr CommandCode kRfsimHalt{kRfsim, 0x02};
inline constexpr CommandCode kRfsimApdu{kRfsim, 0x03};

}  // namespace vorlex::commands
