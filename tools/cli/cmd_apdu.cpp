// APDUs to the CPU card, the SAMs and the RF-SIM card; SAM power; the RF-SIM card's request and
// halt.
#include <array>
#include <cstring>
#include <map>
#include <memory>

#include "commands.h"
#include "interrupt.h"
#include "numbers.h"
#include "status_words.h"

namespace vorlex::cli {

// What the library would refuse, or send from bytes nobody gave, explained before the call.
// The card and SAM calls parse strictly (case 2 or 3); the RF-SIM call takes case 4 too.
void CheckApdu(const std::vector<std::uint8_t>& apdu, bool strict) {
  const std::size_t n = apdu.size();
  if (n > 199) {
    throw UsageError("the APDU is " + std::to_string(n) + " bytes; the library takes at most 199");
  }
  if (n < 5) {
    throw UsageError(
        "an APDU here is at least 5 bytes: CLA INS P1 P2 and then Le (case 2) or "
        "Lc and data (case 3); case 1 APDUs take an Le of 00");
  }
  if (n == 5) return;
  const std::size_t lc = apdu[4];
  if (strict) {
    if (lc + 6 == n) {
      throw UsageError(
          "the card and SAM APDU calls take case 2 and case 3 APDUs only: drop the "
          "trailing Le byte");
    }
    if (lc + 5 != n) {
      throw UsageError("Lc (byte 5) is " + std::to_string(lc) + " but " + std::to_string(n - 5) +
                       " data bytes follow");
    }
  } else if (lc + 5 > n) {
    throw UsageError("Lc (byte 5) is " + std::to_string(lc) + " but only " + std::to_string(n - 5) +
                     " data bytes follow");
  }
}

void AddApduCommands(CLI::App& app, Registry& registry) {
  struct ApduArgs {
    std::string target;
    std::vector<std::string> hex;
  };
  auto a = std::make_shared<ApduArgs>();
  CLI::App* apdu = app.add_subcommand(
      "apdu",
      "send a command APDU to the CPU card, a SAM or the RF-SIM card; show the reply "
      "and its status word");
  apdu->add_option("target", a->target, "card, sam1, sam2 or rfsim")
      ->required()
      ->check(CLI::IsMember({"card", "sam1", "sam2", "rfsim"}));
  apdu->add_option("apdu", a->hex, "the APDU in hex, unbroken or separated by spaces or colons")
      ->required()
      ->expected(1, -1);
  registry.Add(apdu, [a](Session& s) {
    std::string text;
    for (const std::string& word : a->hex) text += (text.empty() ? "" : " ") + word;
    const std::string digits = ParseHexBytes(text, 0, "APDU");
    CheckApdu(BytesOfHex(digits), a->target != "rfsim");
    s.Open();
    const std::map<std::string, decltype(&::CPUCARD_APDU)> calls = {
        {"card", s.lib().CPUCARD_APDU},
        {"sam1", s.lib().SAMCAR1_APDU},
        {"sam2", s.lib().SAMCAR2_APDU},
        {"rfsim", s.lib().RFSIMCARD_APDU}};
    char reply[VORLEX_REPLY_TEXT_SIZE] = {};
    Message message;
    s.Check("apdu", calls.at(a->target)(s.reader(), digits.c_str(), reply, message.text),
            message.text);
    const std::string all = reply;
    s.out().Field("target", a->target);
    s.out().Field("reply", all);
    if (all.size() >= 4) {
      const std::string sw = all.substr(all.size() - 4);
      const auto value = static_cast<std::uint16_t>(ParseNumber("0x" + sw, 0, 0xFFFF, "SW"));
      s.out().Field("data", all.substr(0, all.size() - 4));
      s.out().Field("sw_hex", sw, sw + " " + Iso7816StatusName(value));
      s.out().JsonOnly("sw_meaning", Iso7816StatusName(value));
    }
  });

  struct PowerArgs {
    std::string state, slot;
  };
  auto p = std::make_shared<PowerArgs>();
  CLI::App* power = app.add_subcommand("sam-power", "power a SAM slot on (reset) or off");
  power->add_option("state", p->state, "on or off")
      ->required()
      ->check(CLI::IsMember({"on", "off"}));
  power->add_option("slot", p->slot, "1 or 2")->required();
  registry.Add(power, [p](Session& s) {
    const int slot = static_cast<int>(ParseNumber(p->slot, 1, 2, "the SAM slot"));
    s.Open();
    const EditionLibrary& lib = s.lib();
    Message message;
    if (p->state == "on") {
      char reset_answer[VORLEX_REPLY_TEXT_SIZE] = {};
      const auto call = slot == 1 ? lib.SAMCAR1_POWER_ON : lib.SAMCAR2_POWER_ON;
      s.Check("sam_power_on", call(s.reader(), reset_answer, message.text), message.text);
      s.out().Field("slot", slot, std::to_string(slot));
      s.out().Field("reset_answer", reset_answer);
    } else {
      const auto call = slot == 1 ? lib.SAMCAR1_POWER_OFF : lib.SAMCAR2_POWER_OFF;
      s.Check("sam_power_off", call(s.reader(), message.text), message.text);
      s.out().Field("slot", slot, std::to_string(slot));
    }
  });

  auto identifier = std::make_shared<std::array<char, 17>>();
  AddCardRequestCommand(
      app, registry, "rfsim-request", "look for an RF-SIM card", "rfsim_request",
      [identifier](Session& s, int mode, char* message) {
        *identifier = {};
        return s.lib().REQ_RFSIM_CARD(s.reader(), mode, identifier->data(), message);
      },
      [identifier](Session& s) { s.out().Field("identifier", identifier->data()); });

  registry.Add(app.add_subcommand("rfsim-halt", "halt the RF-SIM card"), [](Session& s) {
    s.Open();
    Message message;
    s.Check("rfsim_halt", s.lib().RFSIM_HALT(s.reader(), message.text), message.text);
  });
}

}  // namespace vorlex::cli
