// The APDU exports: the hex text parsed into the core's record (commands/apdu_request.h), and
// the one body that every APDU export runs.
#pragma once

#include <cstdint>

#include "commands/apdu_request.h"
#include "commands/reader_commands.h"
#include "common/command.h"
#include "vorlex.h"

namespace vorlex {

inline constexpr std::size_t kApduConversionBuffer = kMaxApduBytes + 1;

// Fills `record` from the APDU text; false when the text is refused ("apdu数据错误").
bool ParseApdu(const char* text, ApduRule rule, ApduRecord& record) noexcept;

// The body shared by the APDU exports: parse, send class/code + record, reply as hex text.
int RelayApdu(ReaderHandle reader, CommandCode command, ApduRule rule, const char* apdu,
              char* reply, char* message) noexcept;

}  // namespace vorlex
