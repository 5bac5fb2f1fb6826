#include "sim_status.h"

namespace vorlex::sim {

const char* StatusName(std::uint16_t status) {
  switch (status) {
    case kOk:
      return "ok";
    case kUnknownCommand:
      return "unknown command";
    case kBadLength:
      return "bad length";
    case kBadChecksum:
      return "bad checksum";
    case kBadArgument:
      return "bad argument";
    case kNoCard:
      return "no card";
    case kCardNotSelected:
      return "card not selected";
    case kNoIso14443_4:
      return "no ISO 14443-4";
    case kAuthFailed:
      return "authentication failed";
    case kNotAuthenticated:
      return "not authenticated";
    case kAccessDenied:
      return "access denied";
    case kBadAddress:
      return "bad block address";
    case kBadAccessBits:
      return "bad access bits";
    case kCardNotSaved:
      return "card file not saved";
    case kSamNotPowered:
      return "SAM not powered";
    case kNoSam:
      return "no SAM";
    case kModuleNotInitialised:
      return "module not initialised";
    case kInsufficientBalance:
      return "insufficient balance";
    case kNoPurchasePrepared:
      return "no purchase prepared";
    case kBadAmount:
      return "bad amount";
    default:
      return "unknown status";
  }
}

}  // namespace vorlex::sim
