// Names of the reader's commands, for trace output.
#pragma once

#include <cstdint>
#include <string>

namespace vorlex::sim {

// "REQ_14443_CARD" etc.; for a class/code nobody knows, "unknown XX YY".
std::string CommandName(std::uint8_t command_class, std::uint8_t command_code);

}  // namespace vorlex::sim
