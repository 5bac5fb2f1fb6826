// Names of the reader's commands, one table for every tool that shows frames (the simulator's
// trace, the tap, the replay).
#pragma once

#include <cstdint>
#include <string>

namespace vorlex::engine {

// "REQ_14443_CARD" etc., or null for a class/code nobody knows.
const char* KnownCommandName(std::uint8_t command_class, std::uint8_t command_code);

// The same, "unknown XX YY" for a class/code nobody knows.
std::string CommandName(std::uint8_t command_class, std::uint8_t command_code);

}  // namespace vorlex::engine
