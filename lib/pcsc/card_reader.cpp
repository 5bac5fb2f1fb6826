#include "card_reader.h"

#include <algorithm>
#include <cstring>

#include "command_apdu.h"
#include "commands/apdu_request.h"
#include "commands/reader_commands.h"
#include "link/serial_port.h"

namespace vorlex::pcsc {
namespace {

// Card request mode 1 wakes a halted card too, so a card that a program halted is still seen.
constexpr int kWakeAll = 1;
constexpr std::size_t kCardRequestData = 6;  // ATQA (2), UID (4)
constexpr std::size_t kAtsTrailer = 2;       // the reader's two closing bytes are not ATS
constexpr std::size_t kRfsimIdentifier = 8;
// A Classic 4K answers ATQA 00 02; every other card is taken for a 1K.
constexpr std::uint8_t kAtqa4K = 0x02;

constexpr std::uint8_t SamUnit(int slot) {
  return slot == kSam1Slot ? commands::kSamSlot1 : commands::kSamSlot2;
}

}  // namespace

bool Reader::Open(const char* device) noexcept {
  port_ = link::OpenPort(device);
  slots_ = {};
  key_loaded_ = {};
  return port_ != nullptr;
}

void Reader::Close() noexcept {
  if (port_ != nullptr) (void)link::ClosePort(port_);
  port_ = nullptr;
  keys_ = {};
  key_loaded_ = {};
}

int Reader::Exchange(const Request& request, Reply& reply) noexcept {
  reply.length = 0;
  return vorlex::Exchange(port_, nullptr, nullptr, request, 2, reply.payload, reply.length);
}

bool Reader::SelectFieldCard(Reply& reply) noexcept {
  Request request(commands::kCardRequest);
  request.Byte(kWakeAll);
  return Exchange(request, reply) == 0 && reply.data().size() >= kCardRequestData;
}

bool Reader::Probe(int slot) noexcept {
  Reply reply;
  switch (slot) {
    case kFieldSlot:
      return SelectFieldCard(reply);
    case kSam1Slot:
    case kSam2Slot:
      // A SAM answers its power-on with its ATR; an empty slot answers a status word.
      return Exchange(Request(commands::SamPowerOn(SamUnit(slot))), reply) == 0;
    default: {
      Request request(commands::kRfsimRequest);
      request.Byte(kWakeAll);
      return Exchange(request, reply) == 0 && reply.data().size() >= kRfsimIdentifier;
    }
  }
}

Presence Reader::CheckPresence(int index, long long now_ms) noexcept {
  Slot& slot = slots_[static_cast<std::size_t>(index)];
  if (slot.lost) {
    slot = Slot{};
    slot.probed_at_ms = now_ms;
    return Presence::kAbsent;
  }
  // A card in use is never disturbed: its removal shows at its next failed exchange.
  if (slot.powered) return Presence::kPresent;
  const long interval = index == kFieldSlot ? kFieldProbeIntervalMs : kSlowProbeIntervalMs;
  if (now_ms - slot.probed_at_ms < interval) return slot.last;
  slot.probed_at_ms = now_ms;
  slot.last = Probe(index) ? Presence::kPresent : Presence::kAbsent;
  return slot.last;
}

bool Reader::ActivateField() noexcept {
  Reply reply;
  if (!SelectFieldCard(reply)) return false;
  field_ = FieldCard{};
  std::memcpy(field_.atqa.data(), reply.data().data(), 2);
  std::memcpy(field_.uid.data(), reply.data().data() + 2, 4);
  field_.blocks = field_.atqa[1] == kAtqa4K && field_.atqa[0] == 0 ? 256 : 64;
  Slot& slot = slots_[kFieldSlot];
  if (Exchange(Request(commands::kCardAts), reply) == 0 && reply.data().size() > kAtsTrailer) {
    const auto ats = reply.data().first(reply.data().size() - kAtsTrailer);
    const auto historical = HistoricalBytesOfAts(ats);
    field_.iso14443_4 = true;
    field_.historical_count = std::min(historical.size(), field_.historical.size());
    std::copy_n(historical.begin(), field_.historical_count, field_.historical.begin());
    slot.atr = ContactlessAtr({field_.historical.data(), field_.historical_count});
    return true;
  }
  // A card without ISO 14443-4 drops out after the refused ATS request: select it again.
  if (!SelectFieldCard(reply)) return false;
  slot.atr =
      StorageCardAtr(field_.blocks == 256 ? StorageCard::kClassic4K : StorageCard::kClassic1K);
  return true;
}

bool Reader::PowerUp(int index) noexcept {
  Slot& slot = slots_[static_cast<std::size_t>(index)];
  slot.powered = false;
  slot.lost = false;
  Reply reply;
  bool ok = false;
  switch (index) {
    case kFieldSlot:
      ok = ActivateField();
      break;
    case kSam1Slot:
    case kSam2Slot:
      ok = Exchange(Request(commands::SamPowerOn(SamUnit(index))), reply) == 0 &&
           PlausibleAtr(reply.data());
      if (ok) {
        slot.atr.length = reply.data().size();
        std::memcpy(slot.atr.bytes.data(), reply.data().data(), slot.atr.length);
      }
      break;
    default: {
      Request request(commands::kRfsimRequest);
      request.Byte(kWakeAll);
      ok = Exchange(request, reply) == 0 && reply.data().size() >= kRfsimIdentifier;
      if (ok) slot.atr = ContactlessAtr(reply.data().first(kRfsimIdentifier));
      break;
    }
  }
  slot.powered = ok;
  slot.last = ok ? Presence::kPresent : Presence::kAbsent;
  return ok;
}

void Reader::PowerDown(int index) noexcept {
  Slot& slot = slots_[static_cast<std::size_t>(index)];
  if (!slot.powered) return;
  slot.powered = false;
  Reply reply;
  switch (index) {
    case kFieldSlot:
      (void)Exchange(Request(commands::kCardHalt), reply);
      break;
    case kSam1Slot:
    case kSam2Slot:
      (void)Exchange(Request(commands::SamPowerOff(SamUnit(index))), reply);
      break;
    default:
      (void)Exchange(Request(commands::kRfsimHalt), reply);
      break;
  }
}

namespace {

bool PutStatus(std::uint16_t status, std::span<std::uint8_t> response, std::size_t& length) {
  if (response.size() < 2) return false;
  response[0] = static_cast<std::uint8_t>(status >> 8);
  response[1] = static_cast<std::uint8_t>(status & 0xFF);
  length = 2;
  return true;
}

}  // namespace

bool Reader::RelayApdu(int index, std::span<const std::uint8_t> apdu,
                       std::span<std::uint8_t> response, std::size_t& response_length) noexcept {
  ApduRecord record;
  switch (ParseCommandApdu(apdu, record)) {
    case ApduShape::kShort:
      break;
    case ApduShape::kExtended:  // the reader's request carries one byte each for Lc and Le
    case ApduShape::kMalformed:
      return PutStatus(0x6700, response, response_length);
  }
  const CommandCode command = index == kFieldSlot   ? commands::kCardApdu
                              : index == kRfsimSlot ? commands::kRfsimApdu
                                                    : commands::SamApdu(SamUnit(index));
  Reply reply;
  const int status = Exchange(ApduRequest(command, record), reply);
  if (status != 0) {
    // The reader answered but the card did not: it is gone (or no longer selected).
    if (status != kCommandFailed) slots_[static_cast<std::size_t>(index)].lost = true;
    return false;
  }
  const auto data = reply.data();
  if (data.size() < 2 || data.size() > response.size()) return false;
  std::memcpy(response.data(), data.data(), data.size());
  response_length = data.size();
  return true;
}

bool Reader::Transmit(int index, std::span<const std::uint8_t> apdu,
                      std::span<std::uint8_t> response, std::size_t& response_length) noexcept {
  response_length = 0;
  if (!slots_[static_cast<std::size_t>(index)].powered || apdu.size() < 4) return false;
  if (index == kFieldSlot) {
    if (apdu[0] == 0xFF) return StorageCardApdu(apdu, response, response_length);
    // A card without ISO 14443-4 takes no APDU: class not supported.
    if (!field_.iso14443_4) return PutStatus(0x6E00, response, response_length);
  }
  return RelayApdu(index, apdu, response, response_length);
}

}  // namespace vorlex::pcsc
