// A serial device opened the way the library opens its port: exclusive (flock and TIOCEXCL),
// raw, 115200 baud 8N1, no flow control. For the tools that stand on the reader's side of a
// cable or between a program and its reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vorlex::engine {

// A blocking descriptor on `path`. Throws std::system_error when it cannot be opened, is taken,
// or is not a terminal.
int OpenSerialLine(const std::string& path);

// Writes all `count` bytes to a blocking descriptor, through short writes and EINTR; false when
// the descriptor fails or is gone.
bool WriteAll(int fd, const std::uint8_t* bytes, std::size_t count);

}  // namespace vorlex::engine
