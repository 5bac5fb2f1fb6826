// CLI11 reads integers with strtoll(..., 0), so "010" would be eight and "08" an error. Numbers
// on the tools' command lines are decimal (hexadecimal only when written with 0x): this
// transform drops the leading zeros of a decimal number before CLI11 converts it.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace vorlex::command_line {

inline CLI::Validator Decimal() {
  return CLI::Validator(
      [](std::string& value) {
        const std::size_t digits = value.find_first_not_of("+-") == 1 ? 1 : 0;
        const bool decimal = value.size() > digits + 1 && value[digits] == '0' &&
                             value.find_first_not_of("0123456789", digits) == std::string::npos;
        if (decimal) {
          const std::size_t first = value.find_first_not_of('0', digits);
          value.erase(digits, (first == std::string::npos ? value.size() - 1 : first) - digits);
        }
        return std::string();
      },
      "", "DECIMAL");
}

}  // namespace vorlex::command_line
