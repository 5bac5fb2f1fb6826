#include "memory_port.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "com_port_map.h"

namespace vorlex::fuzz {
namespace {

struct PortState {
  std::vector<Attempt> script;
  std::size_t writes = 0;
  Bytes pending;  // what the reader has sent and the library has not read
  std::size_t read_at = 0;
  bool hung_up = false;
  PortLog log;
};

PortState& State() {
  static PortState state;
  return state;
}

int sentinel;

bool IsOurs(link::PortHandle port) { return port == &sentinel; }

[[noreturn]] void Violation(const char* what, std::size_t count) {
  std::fprintf(stderr, "memory port: %s (%zu bytes written)\n", what, count);
  std::abort();
}

// Every write must be one whole, well-formed frame that fits the reader's 300-byte buffer.
void CheckFrame(const std::uint8_t* bytes, std::size_t count) {
  if (count > 300) Violation("frame over 300 bytes", count);
  if (count < 5) Violation("frame under 5 bytes", count);
  const std::size_t length = static_cast<std::size_t>(bytes[1]) << 8 | bytes[2];
  if (bytes[0] != 0x02) Violation("frame without STX", count);
  if (length + 5 != count) Violation("length field does not match the frame", count);
  unsigned sum = bytes[1] + bytes[2];
  for (std::size_t i = 0; i < length; ++i) sum += bytes[3 + i];
  if (bytes[3 + length] != static_cast<std::uint8_t>(sum)) Violation("wrong checksum", count);
  if (bytes[4 + length] != 0x03) Violation("frame without ETX", count);
}

}  // namespace

void ResetPort(std::span<const Attempt> attempts) {
  PortState& state = State();
  state.script.assign(attempts.begin(), attempts.end());
  state.writes = 0;
  state.pending.clear();
  state.read_at = 0;
  state.hung_up = false;
  state.log = PortLog{};
}

const PortLog& Log() { return State().log; }

link::PortHandle MemoryHandle() { return &sentinel; }

}  // namespace vorlex::fuzz

namespace vorlex::link {

using fuzz::State;

bool ComPortPath(int number, char (&path)[kDevicePathSize]) noexcept {
  const ComPortRange* range = ComPortRangeOf(number);
  if (range == nullptr) return false;
  std::snprintf(path, sizeof path, "%s%d", range->prefix, number - range->first);
  return true;
}

PortHandle OpenPort(const char* device_path) noexcept {
  if (device_path == nullptr) return nullptr;
  State().log.opened.emplace_back(device_path);
  return fuzz::MemoryHandle();
}

int ClosePort(PortHandle port) noexcept { return fuzz::IsOurs(port) ? kPortOk : kPortCloseFailed; }

int WritePort(PortHandle port, const std::uint8_t* bytes, std::size_t count) noexcept {
  fuzz::PortState& state = State();
  state.log.calls += 'W';
  fuzz::CheckFrame(bytes, count);
  state.log.frames.emplace_back(bytes, bytes + count);
  const std::size_t attempt = state.writes++;
  if (!fuzz::IsOurs(port)) return kPortWriteFailed;
  if (attempt >= state.script.size()) return kPortOk;  // a silent reader
  const fuzz::Attempt& next = state.script[attempt];
  if (next.write_fails) return kPortWriteFailed;
  state.pending.insert(state.pending.end(), next.answer.begin(), next.answer.end());
  state.hung_up = next.hang_up;
  return kPortOk;
}

int ReadPort(PortHandle port, std::uint8_t* buffer, std::size_t count) noexcept {
  fuzz::PortState& state = State();
  state.log.calls += 'r';
  state.log.reads.push_back(count);
  if (!fuzz::IsOurs(port)) return kPortReadFailed;
  if (count == 0) return kPortReadNothing;
  const std::size_t left = state.pending.size() - state.read_at;
  const std::size_t served = left < count ? left : count;
  if (served != 0) std::memcpy(buffer, state.pending.data() + state.read_at, served);
  state.read_at += served;
  if (served == count) return kPortOk;
  if (served != 0) return static_cast<int>(served);
  return state.hung_up ? kPortReadFailed : kPortReadNothing;
}

void PurgeReceive(PortHandle) noexcept {
  fuzz::PortState& state = State();
  state.log.calls += 'R';
  state.pending.clear();
  state.read_at = 0;
}

void PurgeTransmit(PortHandle) noexcept { State().log.calls += 'T'; }

void PauseMilliseconds(unsigned milliseconds) noexcept {
  State().log.calls += 'P';
  State().log.pauses.push_back(milliseconds);
}

}  // namespace vorlex::link
