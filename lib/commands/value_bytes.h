#pragma once

#include "common/command.h"

namespace vorlex {

// The beeper and the display take a value as two bytes made with C's signed division, so a
// negative value that is not a multiple of 256 sends a high byte one above two's complement
// (-1 sends 00 FF). The reader expects exactly these bytes.
inline Request& AppendValueBytes(Request& request, int value) {
  return request.Byte(value / 256).Byte(value % 256);
}

}  // namespace vorlex
