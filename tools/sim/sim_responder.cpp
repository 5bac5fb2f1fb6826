#include "sim_responder.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "command_names.h"

namespace vorlex::sim {
namespace {

std::string Hex(const Bytes& bytes, std::size_t from) {
  std::string out;
  char text[4];
  for (std::size_t i = from; i < bytes.size(); ++i) {
    std::snprintf(text, sizeof text, i == from ? "%02X" : " %02X", bytes[i]);
    out += text;
  }
  return out;
}

const char* CorruptionName(Corruption corruption) {
  switch (corruption) {
    case Corruption::kStx:
      return "STX";
    case Corruption::kEtx:
      return "ETX";
    case Corruption::kChecksum:
      return "checksum";
    case Corruption::kNone:
      break;
  }
  return "nothing";
}

}  // namespace

std::optional<LostAnswer> ParseLostAnswer(const std::string& text, std::string& error) {
  const std::size_t colon = text.find(':');
  LostAnswer lost{text.substr(0, colon), engine::CommandsNamed(text.substr(0, colon)), 1};
  if (lost.commands.empty()) {
    error = "--lose-answer: no command is called \"" + lost.name +
            "\" (a name from the trace, such as CPU_PBOC_PURCHASE, or its end, such as PURCHASE)";
    return std::nullopt;
  }
  if (colon != std::string::npos) {
    const std::string count = text.substr(colon + 1);
    char* end = nullptr;
    const unsigned long nth = std::strtoul(count.c_str(), &end, 10);
    if (count.empty() || *end != '\0' || count[0] < '0' || count[0] > '9' || nth == 0 ||
        nth > 1000000) {
      error = "--lose-answer " + text + ": N is a request count from 1 to 1000000";
      return std::nullopt;
    }
    lost.nth = static_cast<unsigned>(nth);
  }
  return lost;
}

engine::Reply ShapeAnswer(const FaultOptions& faults, std::uint64_t n, const Bytes& payload,
                          std::string* note) {
  auto say = [&](const std::string& text) {
    if (note != nullptr) *note = text;
  };
  say("");
  if (faults.silent || (faults.drop_every != 0 && n % faults.drop_every == 0)) {
    say("dropped, no answer");
    return engine::Reply::Silence();
  }
  const bool hit = faults.fault_every != 0 && n % faults.fault_every == 0;
  engine::Reply reply = engine::Reply::Answer(payload);
  if (hit && faults.corrupt == Corruption::kStx) reply = engine::Reply::WrongStx(payload);
  if (hit && faults.corrupt == Corruption::kEtx) reply = engine::Reply::WrongEtx(payload);
  if (hit && faults.corrupt == Corruption::kChecksum) reply = engine::Reply::BadChecksum(payload);
  if (hit && faults.corrupt != Corruption::kNone) {
    say(std::string("corrupted ") + CorruptionName(faults.corrupt));
  }
  if (hit && faults.truncate) {
    const std::size_t keep = std::max<std::size_t>(1, reply.bytes.size() / 2);
    reply.bytes.resize(keep);
    say("truncated to " + std::to_string(keep) + " of " +
        std::to_string(payload.size() + engine::kFrameOverhead) + " bytes");
  }
  if (faults.per_byte.count() > 0) reply.Paced(faults.per_byte);
  return reply;
}

std::string DescribeRequest(const Bytes& payload) {
  if (payload.size() < 2) return std::string("(short request) ").append(Hex(payload, 0));
  char code[12];
  std::snprintf(code, sizeof code, " (%02X %02X)", payload[0], payload[1]);
  std::string out = engine::CommandName(payload[0], payload[1]) + code;
  if (payload.size() > 2) out.append(" ").append(Hex(payload, 2));
  return out;
}

std::string DescribeAnswer(const Bytes& payload) {
  if (payload.size() < 2) return std::string("(no status) ").append(Hex(payload, 0));
  const std::uint16_t status = static_cast<std::uint16_t>(payload[0] << 8 | payload[1]);
  char head[8];
  std::snprintf(head, sizeof head, "%04X ", status);
  std::string out = head + std::string(StatusName(status));
  if (payload.size() > 2) out.append(": ").append(Hex(payload, 2));
  return out;
}

engine::ScriptedReader::Responder MakeResponder(VirtualReader& reader, FaultOptions faults,
                                                TraceSink trace) {
  auto count = std::make_shared<std::atomic<std::uint64_t>>(0);
  // Requests seen so far for each --lose-answer (the serving thread alone counts).
  auto seen = std::make_shared<std::vector<unsigned>>(faults.lost_answers.size(), 0);
  return [&reader, faults, trace = std::move(trace), count,
          seen](const engine::ParsedFrame& request) {
    const std::uint64_t n = ++*count;
    bool lose = false;
    if (request.payload.size() >= 2) {
      const engine::CommandCode code{request.payload[0], request.payload[1]};
      for (std::size_t i = 0; i < faults.lost_answers.size(); ++i) {
        const LostAnswer& lost = faults.lost_answers[i];
        if (std::find(lost.commands.begin(), lost.commands.end(), code) == lost.commands.end()) {
          continue;
        }
        if (++(*seen)[i] == lost.nth) lose = true;
      }
    }
    if (trace) {
      trace("-> #" + std::to_string(n) + " " + DescribeRequest(request.payload) +
            (request.checksum_ok ? "" : " [bad checksum]"));
    }
    // A garbled request gets a status of its own rather than a guess at what was meant.
    const Bytes answer = request.checksum_ok
                             ? reader.Answer(request.payload)
                             : Bytes{static_cast<std::uint8_t>(kBadChecksum >> 8),
                                     static_cast<std::uint8_t>(kBadChecksum & 0xFF)};
    std::string note;
    engine::Reply reply = ShapeAnswer(faults, n, answer, &note);
    if (lose) {
      reply = engine::Reply::Silence();
      note = "answer lost (--lose-answer)";
    }
    if (trace) {
      trace("<- #" + std::to_string(n) + " " + DescribeAnswer(answer) +
            (note.empty() ? "" : " [" + note + "]"));
    }
    return reply;
  };
}

}  // namespace vorlex::sim
