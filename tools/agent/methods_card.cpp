// The contactless field (ISO 14443-A cards, Mifare Classic blocks), APDUs to the card, the SAMs
// and the RF-SIM card, the SAMs' power, the RF-SIM card's request and halt.
#include "commands/apdu_request.h"
#include "commands/reader_commands.h"
#include "mifare_access.h"
#include "reader_device_state.h"
#include "status_words.h"

namespace vorlex::agent {
namespace {

constexpr std::size_t kCardRequestAnswer = 8;  // status, ATQA (2), UID (4)
constexpr std::size_t kRfsimAnswer = 10;       // status, identifier (8)
constexpr std::size_t kBlockAnswer = 18;       // status, 16 block bytes
constexpr std::size_t kAtsTrailer = 2;         // the reader's two closing bytes are not ATS

// An exchange with the card of a session (the field's or the RF-SIM's): refused at once when
// the session was lost; after a failure the card is selected again to tell a refusal from a
// card that went (1005).
Bytes CardExchange(ReaderDevice::State& s, bool rfsim, std::string_view step, Texts texts,
                   const Request& request, std::size_t minimum = 2) {
  field::CardBinding& binding = rfsim ? s.rfsim : s.field;
  s.RequireCard(binding, rfsim ? "rfsim" : "field");
  Bytes answer;
  const int result = s.TryExchange(request, minimum, answer);
  if (result == 0) return answer;
  if (result != kCommandFailed) s.CheckCardAfterFailure(binding, rfsim);
  s.Fail(step, texts, result);
}

// ---- card -----------------------------------------------------------------------------------

json CardRequest(ReaderDevice::State& s, const Params& p) {
  Request request(commands::kCardRequest);
  request.Byte(p.Flag("wake_all") ? 1 : 0);
  Bytes answer;
  const int result = s.TryExchange(request, kCardRequestAnswer, answer);
  if (result != 0) {
    // No card answers: whatever session there was is over. (A silent reader says nothing
    // about the card: its session stands.)
    if (result != kCommandFailed) s.field.Release();
    s.Fail("card_request", Texts::kCardRequest, result);
  }
  const std::span<const std::uint8_t> bytes(answer);
  s.field.Bind(bytes.subspan(4, 4));
  return {{"atqa", HexOf(bytes.subspan(2, 2))}, {"uid", HexOf(bytes.subspan(4, 4))}};
}

json CardAts(ReaderDevice::State& s, const Params&) {
  const Bytes answer = CardExchange(s, false, "ats", Texts::kAts, Request(commands::kCardAts));
  const std::size_t data = answer.size() - 2;
  return {{"ats", HexOf(std::span<const std::uint8_t>(answer).subspan(
                      2, data > kAtsTrailer ? data - kAtsTrailer : 0))}};
}

json CardHalt(ReaderDevice::State& s, const Params&) {
  CardExchange(s, false, "halt", Texts::kCardHalt, Request(commands::kCardHalt));
  s.field.Release();
  return json::object();
}

// ---- Mifare Classic -------------------------------------------------------------------------

// The tool's address rules. The display edition's library sends the sector modulo 15 and the
// block modulo 4: outside 0-14 and 0-3 a command would reach another block than the one named.
// The e-purse edition sends them as they are: a Mifare Classic card has at most 40 sectors
// (4K), 0-31 of 4 blocks and 32-39 of 16. Within these ranges both editions' reductions leave
// the numbers as they are, so the agent sends them unchanged.
int SectorOf(const ReaderDevice::State& s, const Params& p) {
  if (s.edition() == Edition::kDisplay) {
    const std::int64_t sector = p.Integer("sector", INT32_MIN, INT32_MAX);
    if (sector < 0 || sector > 14) {
      Refuse("sector", std::to_string(sector) +
                           " is outside 0..14 in the display edition (it sends sector mod 15)");
    }
    return static_cast<int>(sector);
  }
  const std::int64_t sector = p.Integer("sector", INT32_MIN, INT32_MAX);
  if (sector < 0 || sector > 39) {
    Refuse("sector", std::to_string(sector) + " is outside 0..39 (a 4K card's sectors)");
  }
  return static_cast<int>(sector);
}

int BlockOf(const ReaderDevice::State& s, const Params& p, int sector) {
  const std::int64_t block = p.Integer("block", INT32_MIN, INT32_MAX);
  if (s.edition() == Edition::kDisplay) {
    if (block < 0 || block > 3) {
      Refuse("block", std::to_string(block) +
                          " is outside 0..3 in the display edition (it sends block mod 4)");
    }
  } else {
    const int blocks =
        sector < mifare::kSmallSectors ? mifare::kSmallSectorBlocks : mifare::kLargeSectorBlocks;
    if (block < 0 || block >= blocks) {
      Refuse("block", std::to_string(block) + " is outside 0.." + std::to_string(blocks - 1) +
                          " (sector " + std::to_string(sector) + " has " + std::to_string(blocks) +
                          " blocks)");
    }
  }
  return static_cast<int>(block);
}

json MifareAuthenticate(ReaderDevice::State& s, const Params& p) {
  const int sector = SectorOf(s, p);
  std::string type = "A";
  if (p.Has("key_type")) {
    type = p.Text("key_type");
    if (type == "a" || type == "b") type[0] = static_cast<char>(type[0] - 'a' + 'A');
    if (type != "A" && type != "B") Refuse("key_type", "is \"A\" or \"B\", not \"" + type + "\"");
  }
  const Bytes key = p.Hex("key", 6, "FFFFFFFFFFFF");
  Request request(commands::kMifareAuth);
  request.Byte(sector).Byte(type == "A" ? 0 : 1).Bytes(key);
  CardExchange(s, false, "auth", Texts::kMifareAuth, request);
  return {{"sector", sector}, {"key_type", type}};
}

json MifareRead(ReaderDevice::State& s, const Params& p) {
  const int sector = SectorOf(s, p);
  const int block = BlockOf(s, p, sector);
  Request request(commands::kMifareRead);
  request.Byte(sector).Byte(block);
  const Bytes answer = CardExchange(s, false, "read", Texts::kMifareRead, request, kBlockAnswer);
  return {{"sector", sector},
          {"block", block},
          {"data", HexOf(std::span<const std::uint8_t>(answer).subspan(2, 16))}};
}

json MifareWrite(ReaderDevice::State& s, const Params& p) {
  const int sector = SectorOf(s, p);
  const int block = BlockOf(s, p, sector);
  const Bytes data = p.Hex("data", mifare::kBlockBytes);
  const mifare::WriteAllowance allowed{p.Flag("allow_trailer"), p.Flag("allow_permanent_lock"),
                                       p.Flag("allow_block0")};
  const mifare::BlockView view(data.data(), mifare::kBlockBytes);
  const std::string where = "sector " + std::to_string(sector) + " block " + std::to_string(block);
  switch (mifare::JudgeBlockWrite(sector, block, view, allowed)) {
    case mifare::WriteVerdict::kAllowed:
      break;
    case mifare::WriteVerdict::kManufacturerBlock:
      Refuse("allow_block0", where +
                                 " is the manufacturer block (UID and check byte): pass "
                                 "allow_block0 true to write it");
    case mifare::WriteVerdict::kWrongCheckByte:
      Refuse("data",
             "block 0: byte 4 must be the check byte of the UID in bytes 0-3 (their XOR), " +
                 HexOf(std::span<const std::uint8_t>(data).subspan(4, 1)) + " is not it");
    case mifare::WriteVerdict::kTrailer:
      Refuse("allow_trailer", where +
                                  " is the sector trailer (key A, access bits, key B): a wrong one "
                                  "locks the sector for good; pass allow_trailer true to write it");
    case mifare::WriteVerdict::kInvalidAccessBits:
      Refuse("data", "the access bits " + HexOf(std::span<const std::uint8_t>(data).subspan(6, 3)) +
                         " (bytes 6-8) are not a valid combination: each inverted copy must "
                         "match its plain copy");
    case mifare::WriteVerdict::kPermanentLock:
      Refuse("allow_permanent_lock",
             "the trailer's access condition lets no key change the access bits again: use "
             "001, 011 or 101, or pass allow_permanent_lock true if that is intended");
  }
  Request request(commands::kMifareWrite);
  request.Byte(sector).Byte(block).Bytes(data);
  CardExchange(s, false, "write", Texts::kMifareWrite, request);
  return {{"sector", sector}, {"block", block}, {"data", HexOf(data)}};
}

// ---- APDUs ----------------------------------------------------------------------------------

// The tool's APDU rules (vorlex apdu), with its explanations: the card and SAM relays take
// case 2 and case 3 only, the RF-SIM relay case 4 too.
void CheckApdu(const Bytes& apdu, bool strict) {
  const std::size_t n = apdu.size();
  if (n > kMaxApduBytes) {
    Refuse("command", "the APDU is " + std::to_string(n) + " bytes; the reader takes at most " +
                          std::to_string(kMaxApduBytes));
  }
  if (n < 5) {
    Refuse("command",
           "an APDU here is at least 5 bytes: CLA INS P1 P2 and then Le (case 2) or Lc and data "
           "(case 3); case 1 APDUs take an Le of 00");
  }
  if (n == 5) return;
  const std::size_t lc = apdu[4];
  if (strict) {
    if (lc + 6 == n) {
      Refuse("command",
             "the card and SAM units take case 2 and case 3 APDUs only: drop the trailing Le "
             "byte");
    }
    if (lc + 5 != n) {
      Refuse("command", "Lc (byte 5) is " + std::to_string(lc) + " but " + std::to_string(n - 5) +
                            " data bytes follow");
    }
  } else if (lc + 5 > n) {
    Refuse("command", "Lc (byte 5) is " + std::to_string(lc) + " but only " +
                          std::to_string(n - 5) + " data bytes follow");
  }
}

json Apdu(ReaderDevice::State& s, const Params& p) {
  const std::string unit = p.OneOf("unit", {"card", "sam1", "sam2", "rfsim"}, nullptr);
  const Bytes command = p.Hex("command", 0);
  const bool rfsim = unit == "rfsim";
  CheckApdu(command, !rfsim);
  ApduRecord record{};
  if (!ApduRecordOf(command, rfsim ? ApduRule::kLenient : ApduRule::kStrict, record)) {
    Refuse("command", "the APDU's shape is refused");  // CheckApdu has said why already
  }
  const CommandCode code = unit == "card"   ? commands::kCardApdu
                           : unit == "sam1" ? commands::SamApdu(commands::kSamSlot1)
                           : unit == "sam2" ? commands::SamApdu(commands::kSamSlot2)
                                            : commands::kRfsimApdu;
  const Request request = ApduRequest(code, record);
  const Bytes answer = unit == "card" || rfsim
                           ? CardExchange(s, rfsim, "apdu", Texts::kApdu, request)
                           : s.Exchange("apdu", Texts::kApdu, request);
  const std::span<const std::uint8_t> reply = std::span<const std::uint8_t>(answer).subspan(2);
  json result = {{"unit", unit}, {"reply", HexOf(reply)}};
  if (reply.size() >= 2) {
    const auto sw = static_cast<std::uint16_t>(reply[reply.size() - 2] << 8 | reply.back());
    result["data"] = HexOf(reply.first(reply.size() - 2));
    result["sw_hex"] = HexOf(reply.last(2));
    result["sw_meaning"] = Iso7816StatusName(sw);
  }
  return result;
}

// ---- SAMs -----------------------------------------------------------------------------------

int SlotOf(const Params& p) { return static_cast<int>(p.Integer("slot", 1, 2)); }

json SamPowerOn(ReaderDevice::State& s, const Params& p) {
  const int slot = SlotOf(p);
  const Bytes answer = s.Exchange(
      "sam_power_on", slot == 1 ? Texts::kSam1PowerOn : Texts::kSam2PowerOn,
      Request(commands::SamPowerOn(slot == 1 ? commands::kSamSlot1 : commands::kSamSlot2)));
  s.sam_powered[static_cast<std::size_t>(slot - 1)] = true;
  return {{"slot", slot}, {"atr", HexOf(std::span<const std::uint8_t>(answer).subspan(2))}};
}

json SamPowerOff(ReaderDevice::State& s, const Params& p) {
  const int slot = SlotOf(p);
  s.Exchange("sam_power_off", slot == 1 ? Texts::kSam1PowerOff : Texts::kSam2PowerOff,
             Request(commands::SamPowerOff(slot == 1 ? commands::kSamSlot1 : commands::kSamSlot2)));
  s.sam_powered[static_cast<std::size_t>(slot - 1)] = false;
  return {{"slot", slot}};
}

// ---- RF-SIM ---------------------------------------------------------------------------------

json RfsimRequest(ReaderDevice::State& s, const Params& p) {
  Request request(commands::kRfsimRequest);
  request.Byte(p.Flag("wake_all") ? 1 : 0);
  Bytes answer;
  const int result = s.TryExchange(request, kRfsimAnswer, answer);
  if (result != 0) {
    if (result != kCommandFailed) s.rfsim.Release();
    s.Fail("rfsim_request", Texts::kCardRequest, result);
  }
  const auto id = std::span<const std::uint8_t>(answer).subspan(2, 8);
  s.rfsim.Bind(id);
  return {{"id", HexOf(id)}};
}

json RfsimHalt(ReaderDevice::State& s, const Params&) {
  CardExchange(s, true, "rfsim_halt", Texts::kCardHalt, Request(commands::kRfsimHalt));
  s.rfsim.Release();
  return json::object();
}

constexpr MethodEntry kMethods[] = {
    {"card.request", CardRequest, true, true},
    {"card.ats", CardAts, true, true},
    {"card.halt", CardHalt, true, true},
    {"mifare.authenticate", MifareAuthenticate, true, true},
    {"mifare.read", MifareRead, true, true},
    {"mifare.write", MifareWrite, true, true},
    {"apdu", Apdu, true, true},
    {"sam.power_on", SamPowerOn, true, true},
    {"sam.power_off", SamPowerOff, true, true},
    {"rfsim.request", RfsimRequest, true, true},
    {"rfsim.halt", RfsimHalt, true, true},
};

}  // namespace

std::span<const MethodEntry> CardMethods() { return kMethods; }

}  // namespace vorlex::agent
