// The reader itself: beeper, versions, LED display.
#include <memory>

#include "commands.h"
#include "numbers.h"
#include "text_encoding.h"

namespace vorlex::cli {
namespace {

void Version(Session& s, bool hardware) {
  s.Open();
  // The library copies the version without a length or terminator: zeros before the call
  // mark where it ends (trailing zero bytes of a version cannot be told apart).
  unsigned char version[VORLEX_VERSION_SIZE] = {};
  Message message;
  const auto call = hardware ? s.lib().GET_HARDWARE_VER : s.lib().GET_SOFTWARE_VER;
  s.Check(hardware ? "hardware_version" : "software_version",
          call(s.reader(), version, message.text), message.text);
  std::size_t length = sizeof version;
  while (length > 0 && version[length - 1] == 0) --length;
  std::string text;
  bool printable = true;
  for (std::size_t i = 0; i < length; ++i) {
    printable = printable && version[i] >= 0x20 && version[i] < 0x7F;
    text += static_cast<char>(version[i]);
  }
  s.out().Field("version", printable ? Json(text) : Json(), printable ? text : "(not text)");
  s.out().Field("hex", HexOf(version, length));
}

}  // namespace

void AddReaderCommands(CLI::App& app, Registry& registry) {
  auto beep_value = std::make_shared<std::string>("10");
  CLI::App* beep = app.add_subcommand("beep", "sound the beeper");
  beep->add_option("value", *beep_value, "how the reader sounds it, 0-65535 (default 10)");
  registry.Add(beep, [beep_value](Session& s) {
    const int value = static_cast<int>(ParseNumber(*beep_value, 0, 65535, "VALUE"));
    s.Open();
    s.Check("beep", s.lib().BELL_BEEP(s.reader(), value), nullptr);
    s.out().Field("value", value, std::to_string(value));
    s.out().Line("sent: beep with value " + std::to_string(value) + " (0x" +
                 Hex(static_cast<std::uint32_t>(value), 4) + ")");
  });

  registry.Add(app.add_subcommand("hardware-version", "the reader's hardware version"),
               [](Session& s) { Version(s, true); });
  registry.Add(app.add_subcommand("software-version", "the reader's software version"),
               [](Session& s) { Version(s, false); });

  struct DisplayArgs {
    std::string text, value = "0";
  };
  auto d = std::make_shared<DisplayArgs>();
  CLI::App* display = app.add_subcommand(
      "display", "show TEXT (sent as GBK) on the LED display; display edition, chosen for it");
  display->add_option("text", d->text, "the text, in the terminal's encoding")->required();
  display->add_option("value", d->value, "the display's parameter, 0-65535 (default 0)");
  registry.Add(display, [d](Session& s) {
    std::string refused;
    const std::optional<std::string> converted = text::ToGbk(d->text, s.out().encoding(), refused);
    if (!converted) {
      throw UsageError("TEXT holds \"" + text::Convert(refused, "UTF-8", s.out().encoding()) +
                       "\", which GBK has no code for: the display shows GBK text only");
    }
    const std::string& gbk = *converted;
    if (gbk.size() > VORLEX_DISPLAY_TEXT_MAX) {
      throw UsageError("TEXT is " + std::to_string(gbk.size()) + " bytes in GBK, at most " +
                       std::to_string(VORLEX_DISPLAY_TEXT_MAX));
    }
    const int value = static_cast<int>(ParseNumber(d->value, 0, 65535, "VALUE"));
    s.Open(Edition::kDisplay);
    s.Check("display", s.lib().LED_DISPLAY(s.reader(), gbk.c_str(), value), nullptr);
    const std::string hex = HexOf(reinterpret_cast<const std::uint8_t*>(gbk.data()), gbk.size());
    s.out().Field("text", text::GbkTo("UTF-8", gbk), s.out().Shown(gbk));
    s.out().Field("gbk", hex);
    s.out().Field("value", value, std::to_string(value));
    s.out().Line("sent: \"" + s.out().Shown(gbk) + "\" (" + std::to_string(gbk.size()) +
                 " bytes of GBK) with value " + std::to_string(value));
  });
}

}  // namespace vorlex::cli
