// The status words of the storage-card pseudo-APDUs (CLA FF). Where the PC/SC storage-card
// supplement and the readers that implement it disagree, the driver's choice is the one here
// (docs/pcsc.md has the table).
#pragma once

#include <cstdint>

namespace vorlex::pcsc::sw {

inline constexpr std::uint16_t kOk = 0x9000;
inline constexpr std::uint16_t kEndOfData = 0x6282;             // fewer bytes than Le asked for
inline constexpr std::uint16_t kFailed = 0x6300;                // the card refused (wrong key, ...)
inline constexpr std::uint16_t kMemoryFailure = 0x6581;         // the write did not stick
inline constexpr std::uint16_t kWrongLength = 0x6700;           // Lc, or an extended-length APDU
inline constexpr std::uint16_t kSecurityNotSatisfied = 0x6982;  // not authenticated, or denied
inline constexpr std::uint16_t kAuthenticationImpossible = 0x6983;  // no key in that key slot
inline constexpr std::uint16_t kNotAllowed = 0x6986;    // refused: a write that would ruin the card
inline constexpr std::uint16_t kNotSupported = 0x6A81;  // unknown INS, P1, P2 or version
inline constexpr std::uint16_t kOutOfRange = 0x6A82;    // block beyond the card, key slot beyond 15
inline constexpr std::uint16_t kWrongLe = 0x6C00;       // | the right Le
inline constexpr std::uint16_t kClassNotSupported = 0x6E00;  // an APDU to a card without -4

}  // namespace vorlex::pcsc::sw
