// `--com N` as the simulator's `run` and the tap take it: the number of a COM port that has a
// device here (COM1-96, the table the e-purse edition opens them by), written as every number on
// the tools' command lines is (decimal; 0x for hexadecimal). A transform, not a check: CLI11
// converts the decimal text it leaves.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "com_port_map.h"
#include "decimal_option.h"

namespace vorlex::command_line {

inline CLI::Validator ComPortNumber() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        const std::string written = text;
        Decimal()(text);
        int number = 0;
        if (text.empty() || !CLI::detail::lexical_cast(text, number)) {
          return "\"" + written + "\" is not a COM port number: give N of COMN, 1 to 96 (33 for " +
                 "/dev/ttyUSB0)";
        }
        if (link::ComPortRangeOf(number) == nullptr) {
          return "COM" + std::to_string(number) + " stands for no device (COM1 to COM96 do)";
        }
        text = std::to_string(number);
        return {};
      },
      "N");
}

}  // namespace vorlex::command_line
