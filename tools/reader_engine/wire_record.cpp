#include "wire_record.h"

#include <stdexcept>

#include "command_names.h"

namespace vorlex::engine {

const char* SideName(Side side) { return side == Side::kHost ? "host" : "reader"; }

namespace {

void NameCommand(nlohmann::ordered_json& line, const Bytes& payload) {
  if (payload.size() < 2) return;
  const char* name = KnownCommandName(payload[0], payload[1]);
  line["command_name"] =
      name != nullptr ? nlohmann::ordered_json(name) : nlohmann::ordered_json(nullptr);
  line["class"] = payload[0];
  line["code"] = payload[1];
}

}  // namespace

nlohmann::ordered_json RecordLine(Side from, const WireEvent& event, const Bytes* request) {
  nlohmann::ordered_json line;
  line["t_us"] = event.first_us;
  line["end_us"] = event.last_us;
  line["from"] = SideName(from);
  line["kind"] = WireKindName(event.kind);
  line["raw"] = HexText(event.raw);
  if (event.kind != WireKind::kFrame) return line;
  line["length"] = event.payload.size();
  line["checksum_ok"] = event.checksum_ok;
  const Bytes& payload = event.payload;
  if (from == Side::kHost) {
    NameCommand(line, payload);
    if (payload.size() >= 2) line["data"] = HexText(std::span(payload).subspan(2));
    return line;
  }
  if (request != nullptr) NameCommand(line, *request);
  if (payload.size() >= 2) {
    const unsigned status = unsigned{payload[0]} << 8 | payload[1];
    line["status"] = status;
    line["status_hex"] = HexText(std::span(payload).first(2));
    line["data"] = HexText(std::span(payload).subspan(2));
  }
  return line;
}

std::optional<RecordedEvent> ParseRecordLine(std::string_view text) {
  const nlohmann::json line = nlohmann::json::parse(text, nullptr, false);
  if (line.is_discarded() || !line.is_object()) throw std::runtime_error("not a JSON object");
  if (!line.contains("raw")) {
    // The tap's notes and summary carry an event and no bytes; a line that says who sent
    // something must say what (a replay would otherwise skip an exchange unnoticed).
    if (line.contains("from"))
      throw std::runtime_error("a line with \"from\" has no \"raw\" bytes");
    if (!line.contains("event")) {
      throw std::runtime_error("neither bytes (\"from\", \"raw\") nor an event (\"event\")");
    }
    return std::nullopt;
  }
  auto text_field = [&](const char* name) {
    const auto found = line.find(name);
    if (found == line.end() || !found->is_string()) {
      throw std::runtime_error(std::string("no text field \"") + name + "\"");
    }
    return found->get<std::string>();
  };
  auto time_field = [&](const char* name, int64_t fallback) {
    const auto found = line.find(name);
    if (found == line.end()) return fallback;
    // Bounded, so that differences and the replay's pacing arithmetic cannot overflow.
    constexpr int64_t kMaxUs = 10'000'000'000'000;  // 115 days
    if (!found->is_number_integer() || found->get<double>() < 0 || found->get<double>() > kMaxUs) {
      throw std::runtime_error(std::string("\"") + name + "\" is not a whole number of 0 to " +
                               std::to_string(kMaxUs) + " microseconds");
    }
    return found->get<int64_t>();
  };
  RecordedEvent event;
  const std::string from = text_field("from");
  if (from != "host" && from != "reader")
    throw std::runtime_error("\"from\" is not host or reader");
  event.from = from == "host" ? Side::kHost : Side::kReader;
  const std::string raw = text_field("raw");
  std::optional<Bytes> bytes = ParseHex(raw);
  if (!bytes || bytes->empty() || bytes->size() > kMaxRecordedBytes) {
    throw std::runtime_error("\"raw\" is not 1 to " + std::to_string(kMaxRecordedBytes) +
                             " bytes of hexadecimal");
  }
  event.raw = std::move(*bytes);
  event.t_us = time_field("t_us", 0);
  event.end_us = time_field("end_us", event.t_us);
  return event;
}

}  // namespace vorlex::engine
