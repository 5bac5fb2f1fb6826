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

// An expected reply's hex digits, `X`/`x`/`.` standing for any digit: the bytes and the mask.
std::optional<std::pair<Bytes, Bytes>> MaskedHex(const std::string& text) {
  std::string digits;
  for (const char c : text) {
    if (c == ' ' || c == '\t' || c == ':') continue;
    digits += c;
  }
  if (digits.empty() || digits.size() % 2 != 0) return std::nullopt;
  Bytes bytes, mask;
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    std::uint8_t value = 0, care = 0;
    for (std::size_t nibble = 0; nibble < 2; ++nibble) {
      const char c = digits[i + nibble];
      const int shift = nibble == 0 ? 4 : 0;
      if (c == 'X' || c == 'x' || c == '.') continue;
      const auto digit = HexByte('0', c);
      if (!digit) return std::nullopt;
      value = static_cast<std::uint8_t>(value | *digit << shift);
      care = static_cast<std::uint8_t>(care | 0x0F << shift);
    }
    bytes.push_back(value);
    mask.push_back(care);
  }
  return std::make_pair(bytes, mask);
}

[[noreturn]] void Fail(int line, const std::string& what) {
  throw FormatError("line " + std::to_string(line) + ": " + what);
}

}  // namespace

bool ExpectedReply::Matches(const Bytes& reply) const {
  if (any_data ? reply.size() < tail.size() : reply.size() != tail.size()) return false;
  const std::size_t start = reply.size() - tail.size();
  for (std::size_t i = 0; i < tail.size(); ++i) {
    const std::uint8_t care = i < mask.size() ? mask[i] : 0xFF;
    if ((reply[start + i] & care) != (tail[i] & care)) return false;
  }
  return true;
}

std::vector<ScriptStep> ParseApduScript(const std::string& content) {
  std::vector<ScriptStep> steps;
  const bool bom = content.rfind("\xEF\xBB\xBF", 0) == 0;
  std::istringstream in(bom ? content.substr(3) : content);
  std::string pending;  // an APDU continued with `\`
  int pending_line = 0, number = 0;
  for (std::string raw; std::getline(in, raw);) {
    ++number;
    std::string line = Trim(raw.substr(0, raw.find('#')));  // hex and words hold no '#'
    if (pending.empty() && line.empty()) continue;
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
      const auto tail = MaskedHex(pattern);
      if (!tail) {
        Fail(pending_line, "\"= " + expect.text +
                               "\": expected reply in hex, X or . for any digit, e.g. = 9000, "
                               "= ..9000 or = 61XX");
      }
      expect.tail = tail->first;
      expect.mask = tail->second;
      step.expect = std::move(expect);
    }
    steps.push_back(std::move(step));
  }
  if (!pending.empty()) Fail(pending_line, "the script ends inside an APDU continued with \\");
  return steps;
}

}  // namespace vorlex::cli::card
