// What the two last bytes of an APDU reply mean (ISO 7816-4), in one table for every command
// that shows card replies.
#pragma once

#include <cstdint>
#include <string>

namespace vorlex::cli {

// "success", "more data: 16 bytes available", "file or application not found", ...;
// "unknown status word" for values the table does not know.
std::string Iso7816StatusName(std::uint16_t sw);

}  // namespace vorlex::cli
