// A serial port made of buffers, linked in place of the POSIX backend: the fuzzer scripts what
// the reader answers to each request and reads back everything the library did to the port.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "link/serial_port.h"

namespace vorlex::fuzz {

using Bytes = std::vector<std::uint8_t>;

// What arrives after the library's n-th write. Bytes left over when the next request goes out
// are dropped by the library's purge, as a real line's stale input would be.
struct Attempt {
  Bytes answer;
  bool write_fails = false;  // the write reports -106 and nothing arrives
  bool hang_up = false;      // once the answer is used up, reads fail (-109) instead of -110
};

// One letter per port call, in order: T purge transmit, R purge receive, W write, P pause,
// r read. A test compares the whole string with the sequence the protocol prescribes.
struct PortLog {
  std::string calls;
  std::vector<Bytes> frames;        // every write, whole
  std::vector<std::size_t> reads;   // the count asked by every read
  std::vector<unsigned> pauses;     // milliseconds
  std::vector<std::string> opened;  // device paths passed to OpenPort
};

// Scripts the next answers and clears the log.
void ResetPort(std::span<const Attempt> attempts);
const PortLog& Log();

// The handle OpenPort gives out; any other handle fails every operation.
link::PortHandle MemoryHandle();

}  // namespace vorlex::fuzz
