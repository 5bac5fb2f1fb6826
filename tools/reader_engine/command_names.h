// Names of the reader's commands, one table for every tool that shows frames (the simulator's
// trace, the tap, the replay).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vorlex::engine {

// "REQ_14443_CARD" etc., or null for a class/code nobody knows.
const char* KnownCommandName(std::uint8_t command_class, std::uint8_t command_code);

// The same, "unknown XX YY" for a class/code nobody knows.
std::string CommandName(std::uint8_t command_class, std::uint8_t command_code);

struct CommandCode {
  std::uint8_t command_class, command_code;
  bool operator==(const CommandCode&) const = default;
};

// The commands a person means by `name`: the full name ("CPU_PBOC_PURCHASE"), or its last
// words after a unit's prefix ("PURCHASE": CPU_PBOC_PURCHASE and RFSIM_PURCHASE). Empty when
// no command is called so.
std::vector<CommandCode> CommandsNamed(std::string_view name);

}  // namespace vorlex::engine
