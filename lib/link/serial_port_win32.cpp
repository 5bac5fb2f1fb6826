// Win32 backend: the driver applies the time-outs, so each operation is one system call.
#include <windows.h>

#include <cstdio>

#include "link/serial_port.h"

namespace vorlex::link {
namespace {

HANDLE Win32HandleOf(PortHandle port) { return static_cast<HANDLE>(port); }

// Null and INVALID_HANDLE_VALUE are never an opened port, and neither may reach the system:
// INVALID_HANDLE_VALUE is also the current-process pseudo-handle, which CloseHandle "closes"
// with success, and a bad handle raises an exception under a debugger.
bool IsSentinel(PortHandle port) {
  return port == nullptr || Win32HandleOf(port) == INVALID_HANDLE_VALUE;
}

bool ConfigureLine(HANDLE device) {
  DCB settings{};
  settings.DCBlength = sizeof settings;
  return GetCommState(device, &settings) && BuildCommDCBA(kLineSettings, &settings) &&
         SetCommState(device, &settings);
}

bool SetTimeouts(HANDLE device) {
  COMMTIMEOUTS timeouts{};
  if (!GetCommTimeouts(device, &timeouts)) return false;
  timeouts.ReadIntervalTimeout = kReadIntervalTimeoutMs;
  timeouts.ReadTotalTimeoutMultiplier = kReadTotalTimeoutMultiplierMs;
  timeouts.ReadTotalTimeoutConstant = kReadTotalTimeoutConstantMs;
  timeouts.WriteTotalTimeoutMultiplier = kWriteTotalTimeoutMultiplierMs;
  timeouts.WriteTotalTimeoutConstant = kWriteTotalTimeoutConstantMs;
  return SetCommTimeouts(device, &timeouts);
}

}  // namespace

bool ComPortPath(int number, char (&path)[kDevicePathSize]) noexcept {
  // The device namespace form also reaches ports above 9.
  std::snprintf(path, sizeof path, "\\\\.\\COM%d", number);
  return true;
}

PortHandle OpenPort(const char* device_path) noexcept {
  if (device_path == nullptr) return nullptr;
  HANDLE device =
      CreateFileA(device_path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) return nullptr;
  if (!ConfigureLine(device) || !SetTimeouts(device) ||
      !SetupComm(device, kInputQueueSize, kOutputQueueSize)) {
    CloseHandle(device);
    return nullptr;
  }
  PurgeReceive(device);
  PurgeTransmit(device);
  return device;
}

int ClosePort(PortHandle port) noexcept {
  if (IsSentinel(port)) return kPortCloseFailed;
  return CloseHandle(Win32HandleOf(port)) ? kPortOk : kPortCloseFailed;
}

int WritePort(PortHandle port, const std::uint8_t* bytes, std::size_t count) noexcept {
  if (IsSentinel(port)) return kPortWriteFailed;
  DWORD written = 0;
  if (!WriteFile(Win32HandleOf(port), bytes, static_cast<DWORD>(count), &written, nullptr)) {
    return kPortWriteFailed;
  }
  return written == count ? kPortOk : kPortWriteShort;
}

int ReadPort(PortHandle port, std::uint8_t* buffer, std::size_t count) noexcept {
  if (IsSentinel(port)) return kPortReadFailed;
  DWORD received = 0;
  if (!ReadFile(Win32HandleOf(port), buffer, static_cast<DWORD>(count), &received, nullptr)) {
    return kPortReadFailed;
  }
  if (received == 0) return kPortReadNothing;
  return received == count ? kPortOk : static_cast<int>(received);
}

void PurgeReceive(PortHandle port) noexcept {
  if (!IsSentinel(port)) (void)PurgeComm(Win32HandleOf(port), PURGE_RXABORT | PURGE_RXCLEAR);
}

void PurgeTransmit(PortHandle port) noexcept {
  if (!IsSentinel(port)) (void)PurgeComm(Win32HandleOf(port), PURGE_TXABORT | PURGE_TXCLEAR);
}

void PauseMilliseconds(unsigned milliseconds) noexcept { Sleep(milliseconds); }

}  // namespace vorlex::link
