// What status words mean: the two last bytes of an APDU reply (ISO 7816-4), in one table for
// every command that shows card replies; and the reader's own status words, as hints by command
// family, in one table for every front end that reports a failure (the vorlex tool, the agent).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vorlex {

// "success", "more data: 16 bytes available", "file or application not found", ...;
// "unknown status word" for values the table does not know.
std::string Iso7816StatusName(std::uint16_t sw);

// The common cause of reader status `status` after the library call of `step` ("read",
// "request", ...): the status word's own cause where the reader's word tells it, else the
// step's usual one; "" when neither is known.
std::string ReaderStatusHint(std::string_view step, int status);

}  // namespace vorlex
