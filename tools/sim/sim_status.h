// The simulated reader's status words. They stay clear of 0x0001, which callers could not tell
// apart from the library's own failure result.
#pragma once

#include <cstdint>

namespace vorlex::sim {

enum Status : std::uint16_t {
  kOk = 0x0000,
  kUnknownCommand = 0x0101,    // class/code the reader does not know
  kBadLength = 0x0102,         // arguments of the wrong length (also an APDU whose Lc lies)
  kBadChecksum = 0x0103,       // request frame with a wrong checksum
  kBadArgument = 0x0104,       // e.g. a key type other than 0 (A) or 1 (B)
  kNoCard = 0x0201,            // nothing answered in the field
  kCardNotSelected = 0x0202,   // request the card first (a halted card needs a new request)
  kNoIso14443_4 = 0x0203,      // ATS or APDU to a card without ISO 14443-4 (it drops to idle)
  kAuthFailed = 0x0301,        // the key does not match the sector trailer
  kNotAuthenticated = 0x0302,  // the sector was not authenticated since the last request
  kAccessDenied = 0x0303,      // the sector's access conditions refuse it
  kBadAddress = 0x0304,        // sector over 15 or block over 3
  kBadAccessBits = 0x0305,     // a trailer write whose access bytes are inconsistent
  kCardNotSaved = 0x0306,      // the card took the write, but the --card-file image was not saved
  kSamNotPowered = 0x0401,
  kNoSam = 0x0402,  // power-on of an empty SAM slot
  kModuleNotInitialised = 0x0501,
  kInsufficientBalance = 0x0502,
  kNoPurchasePrepared = 0x0503,  // purchase without a successful card search + init first
  kBadAmount = 0x0504,           // amount 0 or above 2^31 - 1
};

// A short English name for trace output and docs; "unknown status" for any other value.
const char* StatusName(std::uint16_t status);

}  // namespace vorlex::sim
