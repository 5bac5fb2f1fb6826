// What goes on the line for each request: the virtual reader's answer, shaped by the fault
// options, with an optional trace of both directions. Plugs into ScriptedReader::SetResponder
// and serves the --device link alike.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "command_names.h"
#include "scripted_reader.h"
#include "virtual_reader.h"

namespace vorlex::sim {

enum class Corruption { kNone, kStx, kEtx, kChecksum };

// --lose-answer NAME[:N]: no answer to the Nth request (from 1) for any of `commands`, counted
// over those commands only; the request itself is carried out.
struct LostAnswer {
  std::string name;  // as given, for the trace
  std::vector<engine::CommandCode> commands;
  unsigned nth = 1;
};

struct FaultOptions {
  bool silent = false;      // never answer
  unsigned drop_every = 0;  // no answer to every Nth request (0: never)
  Corruption corrupt = Corruption::kNone;
  bool truncate = false;     // send only the first half of the frame
  unsigned fault_every = 1;  // which answers corrupt/truncate hit: every Nth
  std::chrono::nanoseconds per_byte{0};
  std::vector<LostAnswer> lost_answers;
};

// "PURCHASE", "CPU_PBOC_GET_BALANCE:2": the lost answer, or empty with `error` set.
std::optional<LostAnswer> ParseLostAnswer(const std::string& text, std::string& error);

// 115200 baud at 10 bits a byte.
inline constexpr std::chrono::nanoseconds kLineSpeedPerByte{86'806};

// The n-th answer (n from 1) as the reader sends it; `note` says what was done to it, if
// anything.
engine::Reply ShapeAnswer(const FaultOptions& faults, std::uint64_t n, const Bytes& payload,
                          std::string* note = nullptr);

// "MIFS_READ (04 04) 01 00" / "0302 not authenticated: ..." lines.
std::string DescribeRequest(const Bytes& payload);
std::string DescribeAnswer(const Bytes& payload);

using TraceSink = std::function<void(const std::string&)>;

// A responder for the engine; `trace` may be empty.
engine::ScriptedReader::Responder MakeResponder(VirtualReader& reader, FaultOptions faults,
                                                TraceSink trace = {});

}  // namespace vorlex::sim
