// The one interface between the library and the operating system's serial port.
// Two backends implement it: serial_port_posix.cpp (termios) and serial_port_win32.cpp.
// A test or fuzz build may link a third one in their place.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorlex::link {

// Opaque, pointer-sized; null means "no port".
using PortHandle = void*;

// Result codes of the port operations; the values are part of the library's contract.
enum PortResult : int {
  kPortOk = 0,
  kPortConfigureLineFailed = -102,
  kPortSetTimeoutsFailed = -103,
  kPortSetQueuesFailed = -104,
  kPortCloseFailed = -105,
  kPortWriteFailed = -106,
  kPortWriteShort = -107,
  kPortReadFailed = -109,
  kPortReadNothing = -110,
};

// Fixed line settings and time-outs (milliseconds).
inline constexpr char kLineSettings[] = "115200,n,8,1";
inline constexpr unsigned kReadIntervalTimeoutMs = 800;
inline constexpr unsigned kReadTotalTimeoutMultiplierMs = 200;
inline constexpr unsigned kReadTotalTimeoutConstantMs = 200;
inline constexpr unsigned kWriteTotalTimeoutMultiplierMs = 20;
inline constexpr unsigned kWriteTotalTimeoutConstantMs = 200;
inline constexpr unsigned kInputQueueSize = 1024;
inline constexpr unsigned kOutputQueueSize = 512;

inline constexpr std::size_t kDevicePathSize = 64;

// The device path of serial port COM<number> on this system; false when there is none.
// Windows: "\\.\COM<number>". POSIX: COM1-COM32 are /dev/ttyS0-31, COM33-COM64 /dev/ttyUSB0-31,
// COM65-COM96 /dev/ttyACM0-31.
bool ComPortPath(int number, char (&path)[kDevicePathSize]) noexcept;

// Opens and configures the device at `device_path` (exclusive, 115200 8N1, time-outs, queues,
// both sides purged). Returns null on any failure, with the device closed again.
PortHandle OpenPort(const char* device_path) noexcept;

// 0, or kPortCloseFailed (also for a null or stale handle).
int ClosePort(PortHandle port) noexcept;

// Writes all `count` bytes within 20 x count + 200 ms: 0, kPortWriteFailed or kPortWriteShort.
int WritePort(PortHandle port, const std::uint8_t* bytes, std::size_t count) noexcept;

// Reads up to `count` bytes, giving up 200 x count + 200 ms after the start, or 800 ms after the
// last byte once one has arrived. 0 when all arrived, the positive count when some did,
// kPortReadNothing when none did (also for count 0), kPortReadFailed on error or hang-up.
int ReadPort(PortHandle port, std::uint8_t* buffer, std::size_t count) noexcept;

// Drop whatever waits in the receive / transmit queue. Results are ignored by design.
void PurgeReceive(PortHandle port) noexcept;
void PurgeTransmit(PortHandle port) noexcept;

// The pause between writing a request and reading its answer.
void PauseMilliseconds(unsigned milliseconds) noexcept;

}  // namespace vorlex::link
