// How the e-purse edition names serial ports on POSIX systems: COM1-COM32 are /dev/ttyS0-31,
// COM33-COM64 /dev/ttyUSB0-31, COM65-COM96 /dev/ttyACM0-31. Header-only and free of the
// library's types, so that the tools (the simulator's namespace, the command-line tool's port
// diagnosis, the tap) map names by the very same table the library opens them by.
#pragma once

namespace vorlex::link {

struct ComPortRange {
  int first;           // the COM number of the range's first device
  const char* prefix;  // the device path without its number
};

inline constexpr ComPortRange kComPortRanges[] = {
    {1, "/dev/ttyS"}, {33, "/dev/ttyUSB"}, {65, "/dev/ttyACM"}};
inline constexpr int kComPortsPerRange = 32;

// The range that COM<number> falls in, or null when the number has no device.
constexpr const ComPortRange* ComPortRangeOf(int number) noexcept {
  for (const ComPortRange& range : kComPortRanges) {
    if (number >= range.first && number < range.first + kComPortsPerRange) return &range;
  }
  return nullptr;
}

}  // namespace vorlex::link
