// The reader itself: beeper, versions, LED display.
#include "commands/value_bytes.h"
#include "reader_device_state.h"
#include "text_encoding.h"
#include "vorlex_display.h"

namespace vorlex::agent {
namespace {

constexpr std::int64_t kWordMax = 65535;

json Beep(ReaderDevice::State& s, const Params& p) {
  const int value = static_cast<int>(p.Integer("value", 0, kWordMax, 10));
  Request request(0x01, 0x03);
  AppendValueBytes(request, value);
  s.Exchange("beep", std::nullopt, request);
  return {{"value", value}};
}

// As the tool shows a version: the bytes up to the last non-zero one (the library's callers
// cannot tell trailing zeros from the untouched buffer), as text when printable.
void AddVersion(json& result, const char* name, const Bytes& answer) {
  std::size_t length = answer.size() - 2;
  while (length > 0 && answer[2 + length - 1] == 0) --length;
  const std::span<const std::uint8_t> version(answer.data() + 2, length);
  bool printable = true;
  for (const std::uint8_t byte : version) printable = printable && byte >= 0x20 && byte < 0x7F;
  result[std::string(name) + "_version"] =
      printable ? json(std::string(version.begin(), version.end())) : json(nullptr);
  result[std::string(name) + "_hex"] = HexOf(version);
}

json Versions(ReaderDevice::State& s, const Params&) {
  json result = json::object();
  AddVersion(result, "hardware",
             s.Exchange("hardware_version", Texts::kHardwareVersion, Request(0xFF, 0x01)));
  AddVersion(result, "software",
             s.Exchange("software_version", Texts::kSoftwareVersion, Request(0xFF, 0x02)));
  return result;
}

json Display(ReaderDevice::State& s, const Params& p) {
  const std::string text = p.Text("text");
  if (text.find('\0') != std::string::npos) Refuse("text", "must not contain NUL");
  std::string refused;
  const std::optional<std::string> gbk = text::ToGbk(text, "UTF-8", refused);
  if (!gbk) {
    Refuse("text", "holds \"" + refused +
                       "\", which GBK has no code for: the display shows GBK "
                       "text only");
  }
  if (gbk->size() > VORLEX_DISPLAY_TEXT_MAX) {
    Refuse("text", "is " + std::to_string(gbk->size()) + " bytes in GBK, at most " +
                       std::to_string(VORLEX_DISPLAY_TEXT_MAX));
  }
  const int value = static_cast<int>(p.Integer("value", 0, kWordMax, 0));
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(gbk->data()),
                                            gbk->size());
  Request request(0x01, 0x04);
  request.Bytes(bytes);
  AppendValueBytes(request, value);
  s.Exchange("display", std::nullopt, request);
  return {{"text", text::GbkTo("UTF-8", *gbk)}, {"gbk", HexOf(bytes)}, {"value", value}};
}

constexpr MethodEntry kMethods[] = {
    {"reader.beep", Beep, true, true},
    {"reader.versions", Versions, true, true},
    {"reader.display", Display, false, true},
};

}  // namespace

std::span<const MethodEntry> ReaderMethods() { return kMethods; }

}  // namespace vorlex::agent
