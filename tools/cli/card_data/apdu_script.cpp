#include "apdu_script.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace vorlex::cli::card {
namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// Hex digits, spaces and colons between bytes allowed; nothing when it is not that.
std::optional<Bytes> HexDigits(const std::string& text) {
  std::string digits;
  for (const char c : text) {
    if (c == ' ' || c == '\t' || c == ':') continue;
    digits += c;
  }
  if (digits.size() % 2 != 0) return std::nullopt;
  Bytes out;
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    const auto byte = HexByte(digits[i], digits[i + 1]);
    if (!byte) return std::nullopt;
    out.push_back(*byte);
  }
  return out;
}

[[noreturn]] void Fail(int line, const std::string& what) {
  throw FormatError("line " + std::to_string(line) + ": " + what);
}

}  // namespace

bool ExpectedReply::Matches(const Bytes& reply) const {
  if (!any_data) return reply == tail;
  return reply.size() >= tail.size() && std::equal(tail.rbegin(), tail.rend(), reply.rbegin());
}

std::vector<ScriptStep> ParseApduScript(const std::string& content) {
  std::vector<ScriptStep> steps;
  std::istringstream in(content);
  std::string pending;  // an APDU continued with `\`
  int pending_line = 0, number = 0;
  for (std::string raw; std::getline(in, raw);) {
    ++number;
    std::string line = Trim(raw);
    if (pending.empty() && (line.empty() || line[0] == '#')) continue;
    const bool continued = !line.empty() && line.back() == '\\';
    if (continued) line.pop_back();
    if (pending.empty()) pending_line = number;
    pending += " " + line;
    if (continued) continue;
    const std::string text = Trim(pending);
    pending.clear();
    const std::string word = Lower(text);
    if (word == "reset" || word == "exit") {
      steps.push_back(
          {word == "reset" ? ScriptStep::kReset : ScriptStep::kExit, pending_line, {}, {}});
      if (word == "exit") return steps;
      continue;
    }
    ScriptStep step;
    step.line = pending_line;
    const auto equals = text.find('=');
    const auto apdu = HexDigits(text.substr(0, equals));
    if (!apdu || apdu->empty()) {
      Fail(pending_line,
           "\"" + text.substr(0, equals) + "\" is not an APDU in hex (or reset, exit)");
    }
    if (apdu->size() < 4) Fail(pending_line, "an APDU has at least the four header bytes");
    step.apdu = *apdu;
    if (equals != std::string::npos) {
      ExpectedReply expect;
      expect.text = Trim(text.substr(equals + 1));
      std::string pattern = expect.text;
      if (pattern.rfind("..", 0) == 0) {
        expect.any_data = true;
        pattern.erase(0, 2);
      }
      const auto tail = HexDigits(pattern);
      if (!tail || tail->empty()) {
        Fail(pending_line,
             "\"= " + expect.text + "\": expected reply in hex, e.g. = 9000 or = ..9000");
      }
      expect.tail = *tail;
      step.expect = std::move(expect);
    }
    steps.push_back(std::move(step));
  }
  if (!pending.empty()) Fail(pending_line, "the script ends inside an APDU continued with \\");
  return steps;
}

}  // namespace vorlex::cli::card
