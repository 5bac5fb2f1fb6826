#include "replay.h"

#include <sstream>
#include <stdexcept>

#include "command_names.h"
#include "input_file.h"
#include "wire_record.h"

namespace vorlex::sim {
namespace {

using engine::Bytes;

// "MIFS_READ (04 04) 02 00 04 04 04 01 00 0D 03" for a frame, the bytes alone otherwise.
std::string Describe(const Bytes& raw) {
  std::string head;
  if (raw.size() >= 5 && raw[0] == engine::kStx) {
    head = engine::CommandName(raw[3], raw[4]) + " (" +
           engine::HexText(std::span(raw).subspan(3, 2), true) + "), frame ";
  }
  return head + engine::HexText(raw, true);
}

constexpr std::size_t kDataStart = 5;  // STX, length (2), class, code

// The frame positions that `vary` lets differ in `recorded` (a request frame): its varying data
// bytes and, when there are any, the checksum.
std::vector<bool> VaryingPositions(const Bytes& recorded, const std::vector<VaryingBytes>& vary) {
  std::vector<bool> positions(recorded.size(), false);
  if (recorded.size() < kDataStart + 2) return positions;
  const std::size_t data_end = recorded.size() - 2;  // checksum, ETX
  bool any = false;
  for (const VaryingBytes& range : vary) {
    if (recorded[3] != range.command_class || recorded[4] != range.command_code) continue;
    for (std::size_t i = kDataStart + range.first; i <= kDataStart + range.last && i < data_end;
         ++i) {
      positions[i] = any = true;
    }
  }
  if (any) positions[data_end] = true;
  return positions;
}

}  // namespace

VaryingBytes ParseVaryingBytes(const std::string& text) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) {
    throw std::invalid_argument("\"" + text +
                                "\": give COMMAND:FIRST-LAST, e.g. CPU_PBOC_REQA_CARD:5-11");
  }
  const std::string command = text.substr(0, colon), range = text.substr(colon + 1);
  VaryingBytes vary;
  bool found = false;
  for (int code = 0; code <= 0xFFFF && !found; ++code) {
    const auto command_class = static_cast<std::uint8_t>(code >> 8);
    const auto command_code = static_cast<std::uint8_t>(code & 0xFF);
    const char* name = engine::KnownCommandName(command_class, command_code);
    const std::string hex = engine::HexText(Bytes{command_class, command_code});
    if ((name != nullptr && command == name) || command == hex) {
      vary.command_class = command_class;
      vary.command_code = command_code;
      found = true;
    }
  }
  if (!found) {
    throw std::invalid_argument("\"" + command +
                                "\" is no command: a name as the tap shows it "
                                "(CPU_PBOC_REQA_CARD) or class and code in hex (FE02)");
  }
  const auto number = [&](const std::string& digits) -> std::size_t {
    if (digits.empty() || digits.size() > 3 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
      throw std::invalid_argument("\"" + range +
                                  "\": the data bytes are FIRST-LAST or one byte, decimal, from 0");
    }
    return std::stoul(digits);
  };
  const auto dash = range.find('-');
  vary.first = number(range.substr(0, dash));
  vary.last = dash == std::string::npos ? vary.first : number(range.substr(dash + 1));
  if (vary.last < vary.first) {
    throw std::invalid_argument("\"" + range + "\": the last byte comes before the first");
  }
  return vary;
}

std::vector<RecordedExchange> ParseRecording(const std::string& content,
                                             const std::string& source) {
  std::istringstream file(content);
  std::vector<RecordedExchange> exchanges;
  std::string line;
  for (std::size_t number = 1; std::getline(file, line); ++number) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    std::optional<engine::RecordedEvent> event;
    try {
      event = engine::ParseRecordLine(line);
    } catch (const std::exception& error) {
      throw std::runtime_error(source + ":" + std::to_string(number) + ": " + error.what());
    }
    if (!event) continue;
    if (event->from == engine::Side::kHost) {
      // Only frames are requests: the simulator's line hands nothing else to a responder.
      engine::FrameParser parser;
      parser.Feed(event->raw);
      std::optional<engine::ParsedFrame> frame = parser.Next();
      if (frame && frame->raw == event->raw) {
        exchanges.push_back({std::move(event->raw), event->end_us, {}});
      }
      continue;
    }
    // What the reader sent before the first request (a power-on banner, say) has no request to
    // answer.
    if (exchanges.empty()) continue;
    exchanges.back().answer.push_back({std::move(event->raw), event->t_us, event->end_us});
  }
  return exchanges;
}

std::vector<RecordedExchange> LoadRecording(const std::string& path) {
  return ParseRecording(files::ReadInputFile(path, files::kRecording), path);
}

Replay::Replay(std::vector<RecordedExchange> recording, ReplayOptions options, Report report,
               std::function<void()> on_strict_stop)
    : recording_(std::move(recording)),
      options_(options),
      report_(std::move(report)),
      on_strict_stop_(std::move(on_strict_stop)) {}

engine::Reply Replay::Answer(const engine::ParsedFrame& request) {
  std::unique_lock lock(mu_);
  const std::size_t n = ++received_;
  if (options_.strict && mismatches_ > 0) return engine::Reply::Silence();
  std::string problem, varied;
  if (next_ >= recording_.size()) {
    problem = "request " + std::to_string(n) + " comes after the last recorded one (" +
              std::to_string(recording_.size()) + ")";
  } else {
    const Bytes& recorded = recording_[next_].request;
    const std::vector<bool> varying = VaryingPositions(recorded, options_.vary);
    std::size_t at = 0;
    while (at < recorded.size() && at < request.raw.size() &&
           (recorded[at] == request.raw[at] || varying[at])) {
      ++at;
    }
    if (at != recorded.size() || at != request.raw.size()) {
      auto byte = [](const Bytes& bytes, std::size_t i) {
        return i < bytes.size() ? engine::HexText(std::span(bytes).subspan(i, 1)) : "(end)";
      };
      problem = "request " + std::to_string(n) + " differs from recorded request " +
                std::to_string(next_ + 1) + " at byte " + std::to_string(at) + ": got " +
                byte(request.raw, at) + ", recorded " + byte(recorded, at) +
                "\n  recorded: " + Describe(recorded);
    } else if (recorded != request.raw) {
      // Within the bytes allowed to vary: played, and the difference shown.
      std::size_t first = recorded.size(), last = 0;
      for (std::size_t i = kDataStart; i + 2 < recorded.size(); ++i) {
        if (recorded[i] == request.raw[i]) continue;
        first = std::min(first, i);
        last = i;
      }
      if (first <= last && report_) {
        const auto span = [first, last](const Bytes& bytes) {
          return engine::HexText(std::span(bytes).subspan(first, last - first + 1));
        };
        varied = "replay: request " + std::to_string(n) + " (" +
                 engine::CommandName(recorded[3], recorded[4]) +
                 ") varies as allowed: data bytes " + std::to_string(first - kDataStart) + "-" +
                 std::to_string(last - kDataStart) + ": got " + span(request.raw) + ", recorded " +
                 span(recorded);
      }
    }
  }
  if (!problem.empty()) {
    ++mismatches_;
    const bool stop = options_.strict && mismatches_ == 1;
    lock.unlock();
    if (report_) report_("replay: mismatch: " + problem + "\n  received: " + Describe(request.raw));
    if (stop && on_strict_stop_) on_strict_stop_();
    return engine::Reply::Silence();
  }
  const RecordedExchange& exchange = recording_[next_++];
  if (!varied.empty()) {
    lock.unlock();
    report_(varied);
    lock.lock();
  }
  Bytes bytes;
  for (const RecordedExchange::Chunk& chunk : exchange.answer) {
    bytes.insert(bytes.end(), chunk.raw.begin(), chunk.raw.end());
  }
  engine::Reply reply = engine::Reply::Raw(std::move(bytes));
  if (options_.timing && !exchange.answer.empty()) {
    const int64_t first = exchange.answer.front().first_us, last = exchange.answer.back().last_us;
    reply.After(std::chrono::microseconds(std::max<int64_t>(0, first - exchange.request_end_us)));
    if (reply.bytes.size() > 1 && last > first) {
      reply.Paced(std::chrono::nanoseconds((last - first) * 1000 /
                                           static_cast<int64_t>(reply.bytes.size() - 1)));
    }
  }
  return reply;
}

engine::ScriptedReader::Responder Replay::Responder() {
  return [this](const engine::ParsedFrame& request) { return Answer(request); };
}

std::size_t Replay::mismatches() const {
  std::lock_guard lock(mu_);
  return mismatches_;
}

bool Replay::PlayedThrough() const {
  std::lock_guard lock(mu_);
  return mismatches_ == 0 && next_ == recording_.size();
}

std::string Replay::Summary() const {
  std::lock_guard lock(mu_);
  return "replay: " + std::to_string(next_) + " of " + std::to_string(recording_.size()) +
         " recorded exchanges played, " + std::to_string(mismatches_) + " mismatch" +
         (mismatches_ == 1 ? "" : "es");
}

}  // namespace vorlex::sim
