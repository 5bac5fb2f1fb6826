#include "replay.h"

#include <fstream>
#include <stdexcept>

#include "command_names.h"
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

}  // namespace

std::vector<RecordedExchange> LoadRecording(const std::string& path) {
  std::ifstream file(path);
  if (!file) throw std::runtime_error("cannot read " + path);
  std::vector<RecordedExchange> exchanges;
  std::string line;
  for (std::size_t number = 1; std::getline(file, line); ++number) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    std::optional<engine::RecordedEvent> event;
    try {
      event = engine::ParseRecordLine(line);
    } catch (const std::exception& error) {
      throw std::runtime_error(path + ":" + std::to_string(number) + ": " + error.what());
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
  if (file.bad()) throw std::runtime_error("cannot read " + path);
  return exchanges;
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
  std::string problem;
  if (next_ >= recording_.size()) {
    problem = "request " + std::to_string(n) + " comes after the last recorded one (" +
              std::to_string(recording_.size()) + ")";
  } else {
    const Bytes& recorded = recording_[next_].request;
    std::size_t at = 0;
    while (at < recorded.size() && at < request.raw.size() && recorded[at] == request.raw[at]) ++at;
    if (at != recorded.size() || at != request.raw.size()) {
      auto byte = [](const Bytes& bytes, std::size_t i) {
        return i < bytes.size() ? engine::HexText(std::span(bytes).subspan(i, 1)) : "(end)";
      };
      problem = "request " + std::to_string(n) + " differs from recorded request " +
                std::to_string(next_ + 1) + " at byte " + std::to_string(at) + ": got " +
                byte(request.raw, at) + ", recorded " + byte(recorded, at) +
                "\n  recorded: " + Describe(recorded);
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
