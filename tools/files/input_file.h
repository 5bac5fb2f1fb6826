// The files users hand the tools (dumps, key lists, scripts, recordings, card images): read
// whole, but only when they are regular files no larger than their kind allows. A device, a
// FIFO or a directory is refused by what it is, not by its name, so that /dev/zero or a pipe
// never makes a tool read for ever or run out of memory.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

namespace vorlex::files {

// What the file is for, in the user's words, and the most bytes such a file can sensibly have.
struct InputKind {
  const char* what;  // "a dump file"
  std::size_t max_bytes;
};

// The kinds the tools read, with their caps (docs/cli.md and docs/simulator.md list them).
inline constexpr InputKind kDumpFile{"a dump file", 1u << 20};        // 1 MiB
inline constexpr InputKind kKeyList{"a key list", 16u << 20};         // 16 MiB
inline constexpr InputKind kApduScript{"an APDU script", 16u << 20};  // 16 MiB
inline constexpr InputKind kRecording{"a recording", 1u << 30};       // 1 GiB
inline constexpr InputKind kCardFile{"a card file", 64u << 10};       // 64 KiB

// Why a file could not be read or saved, as a whole sentence for the user.
struct FileError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The whole content of `path`; FileError naming the file, its kind and the reason: it cannot be
// opened, is not a regular file, or is larger than `kind.max_bytes`.
std::string ReadInputFile(const std::string& path, const InputKind& kind);

// The whole of an already open descriptor (standard input, say), which may be a pipe, up to
// `kind.max_bytes`; `name` is what messages call it ("standard input").
std::string ReadInputDescriptor(int fd, const std::string& name, const InputKind& kind);

}  // namespace vorlex::files
