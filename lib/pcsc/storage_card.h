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
inline constexpr std::uint16_t kReaderKeyNotSupported = 0x6983;  // LOAD KEYS: a reader key
inline constexpr std::uint16_t kKeyNotUsable = 0x6984;  // GENERAL AUTHENTICATE: an empty key slot
inline constexpr std::uint16_t kSecuredNotSupported = 0x6985;  // LOAD KEYS: secured transmission
inline constexpr std::uint16_t kKeyTypeNotKnown = 0x6986;      // GENERAL AUTHENTICATE: not 60/61
inline constexpr std::uint16_t kNonVolatileNotAvailable = 0x6987;  // LOAD KEYS: non-volatile
inline constexpr std::uint16_t kKeyNumberNotValid = 0x6988;        // key slot beyond 0F
inline constexpr std::uint16_t kKeyLengthNotCorrect = 0x6989;      // LOAD KEYS: Lc not 6
inline constexpr std::uint16_t kNotAllowed = 0x6986;    // refused: a write that would ruin the card
inline constexpr std::uint16_t kNotSupported = 0x6A81;  // unknown INS, P1, P2 or version
inline constexpr std::uint16_t kOutOfRange = 0x6A82;    // block beyond the card
inline constexpr std::uint16_t kWrongLe = 0x6C00;       // | the right Le
inline constexpr std::uint16_t kClassNotSupported = 0x6E00;  // an APDU to a card without -4

}  // namespace vorlex::pcsc::sw
