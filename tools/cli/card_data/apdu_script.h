// APDU scripts: one command APDU per line in hex (spaces optional), `#` comment lines, a
// trailing `\` continuing the APDU on the next line, `#` comments after a command too, `reset`
// and `exit`. An APDU may end in an expected reply: `= 9000` (exactly), `= ..9000` (any data,
// then 9000), with `X` or `.` for any hex digit (`= 90XX`, `= 61..`).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "card_image.h"

namespace vorlex::cli::card {

struct ExpectedReply {
  Bytes tail;             // the bytes the reply must end with (or be)
  Bytes mask;             // per byte of `tail`: the bits that must match (0x0F, 0xF0, 0xFF, 0)
  bool any_data = false;  // `..`: anything may come before them
  std::string text;       // as written, for messages
  bool Matches(const Bytes& reply) const;
};

struct ScriptStep {
  enum Kind { kApdu, kReset, kExit } kind = kApdu;
  int line = 0;  // where the step starts
  Bytes apdu;
  std::optional<ExpectedReply> expect;
};

// FormatError with the line of the first malformed step; nothing past `exit` is looked at. A
// UTF-8 byte order mark at the start is skipped, as editors write one.
std::vector<ScriptStep> ParseApduScript(const std::string& content);

}  // namespace vorlex::cli::card
