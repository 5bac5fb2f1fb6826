// One line of a recording of the reader's line: what the tap writes with --json and what the
// simulator's --replay reads. The field names are documented in docs/tap.md.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "reader_frame.h"

namespace vorlex::engine {

enum class Side { kHost, kReader };  // who sent the bytes
const char* SideName(Side side);     // "host", "reader"

// The JSON object for one event. An answer names `request`, the last request frame the host
// sent, when there was one.
nlohmann::ordered_json RecordLine(Side from, const WireEvent& event,
                                  const Bytes* request = nullptr);

struct RecordedEvent {
  Side from = Side::kHost;
  Bytes raw;
  int64_t t_us = 0, end_us = 0;
};

// Longest run of bytes a line may carry: the decoder never reports more than one frame's worth.
inline constexpr size_t kMaxRecordedBytes = 4096;

// The bytes and timing of one line. Nothing for lines that carry no bytes (the tap's notes and
// summary, which have "event"); throws std::runtime_error for a line that is not a record (a
// line with "from" but no "raw" included).
std::optional<RecordedEvent> ParseRecordLine(std::string_view line);

}  // namespace vorlex::engine
