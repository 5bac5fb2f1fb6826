#include "card_reader.h"

#include <sys/stat.h>

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
  for (int index = 0; index < kSlots; ++index) {
    slots_[static_cast<std::size_t>(index)].probe =
        field::ProbeSchedule(index == kFieldSlot ? kFieldProbeIntervalMs : kSlowProbeIntervalMs);
  }
  keys_ = {};
  key_loaded_ = {};
  auth_ = {};
  device_[0] = '\0';
  if (port_ != nullptr && std::strlen(device) < sizeof device_) std::strcpy(device_, device);
  return port_ != nullptr;
}

void Reader::Close() noexcept {
  if (port_ != nullptr) (void)link::ClosePort(port_);
  port_ = nullptr;
  keys_ = {};
  key_loaded_ = {};
  auth_ = {};
}

void Reader::EndSession(int index) noexcept {
  Slot& slot = slots_[static_cast<std::size_t>(index)];
  slot.binding.Release();
  if (index != kFieldSlot) return;
  keys_ = {};
  key_loaded_ = {};
  auth_ = {};
}

void Reader::MarkLost(int index) noexcept {
  slots_[static_cast<std::size_t>(index)].binding.MarkLost();
  if (index != kFieldSlot) return;
  keys_ = {};
  key_loaded_ = {};
  auth_ = {};
}

bool Reader::DeviceGone() const noexcept {
  struct stat info {};
  return device_[0] != '\0' && ::stat(device_, &info) != 0;
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

field::Probe Reader::Probe(int slot) noexcept {
  Reply reply;
  int status = kCommandFailed;
  bool card = false;
  switch (slot) {
    case kFieldSlot: {
      Request request(commands::kCardRequest);
      request.Byte(kWakeAll);
      status = Exchange(request, reply);
      card = status == 0 && reply.data().size() >= kCardRequestData;
      break;
    }
    case kSam1Slot:
    case kSam2Slot:
      // A SAM answers its power-on with its ATR; an empty slot answers a status word.
      status = Exchange(Request(commands::SamPowerOn(SamUnit(slot))), reply);
      card = status == 0;
      break;
    default: {
      Request request(commands::kRfsimRequest);
      request.Byte(kWakeAll);
      status = Exchange(request, reply);
      card = status == 0 && reply.data().size() >= kRfsimIdentifier;
      break;
    }
  }
  // No answer at all is the reader's silence, not an empty slot.
  if (status == kCommandFailed) return field::Probe::kNoAnswer;
  return card ? field::Probe::kCard : field::Probe::kNoCard;
}

Presence Reader::CheckPresence(int index, long long now_ms) noexcept {
  Slot& slot = slots_[static_cast<std::size_t>(index)];
  if (slot.lost()) {
    // The lost session ends here: pcscd sees the card go, and powers up whatever comes next.
    slot.powered = false;
    EndSession(index);
    slot.probe.Clear(now_ms);
    return Presence::kAbsent;
  }
  // A card in use is never disturbed: its removal shows at its next failed exchange.
  if (slot.powered) return Presence::kPresent;
  if (slot.probe.Due(now_ms)) slot.probe.Record(now_ms, Probe(index));
  switch (slot.probe.last()) {
    case field::Probe::kCard:
      return Presence::kPresent;
    case field::Probe::kNoCard:
      return Presence::kAbsent;
    case field::Probe::kNoAnswer:
      break;
  }
  return DeviceGone() ? Presence::kNoDevice : Presence::kUnknown;
}

bool Reader::ActivateField() noexcept {
  Reply reply;
  if (!SelectFieldCard(reply)) return false;
  field_ = FieldCard{};
  std::memcpy(field_.atqa.data(), reply.data().data(), 2);
  std::memcpy(field_.uid.data(), reply.data().data() + 2, 4);
  slots_[kFieldSlot].binding.Bind(field_.uid);
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
  // A card without ISO 14443-4 drops out after the refused ATS request: select it again (the
  // same card).
  if (!SelectFieldCard(reply) || !slot.binding.Verify(reply.data().subspan(2, field_.uid.size()))) {
    return false;
  }
  slot.atr =
      StorageCardAtr(field_.blocks == 256 ? StorageCard::kClassic4K : StorageCard::kClassic1K);
  return true;
}

bool Reader::PowerUp(int index) noexcept {
  Slot& slot = slots_[static_cast<std::size_t>(index)];
  slot.powered = false;
  EndSession(index);  // a new card session: no keys, no authentication
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
        slot.binding.Bind(reply.data());
      }
      break;
    default: {
      Request request(commands::kRfsimRequest);
      request.Byte(kWakeAll);
      ok = Exchange(request, reply) == 0 && reply.data().size() >= kRfsimIdentifier;
      if (ok) {
        slot.atr = ContactlessAtr(reply.data().first(kRfsimIdentifier));
        slot.binding.Bind(reply.data().first(kRfsimIdentifier));
      }
      break;
    }
  }
  slot.powered = ok;
  if (!ok) EndSession(index);
  return ok;
}

void Reader::PowerDown(int index) noexcept {
  Slot& slot = slots_[static_cast<std::size_t>(index)];
  const bool was_lost = slot.lost();
  EndSession(index);
  if (!slot.powered) return;
  slot.powered = false;
  if (was_lost) return;  // nothing is sent for a card that is gone (or another card)
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

Transfer PutStatus(std::uint16_t status, std::span<std::uint8_t> response, std::size_t& length) {
  if (response.size() < 2) return Transfer::kBufferTooSmall;
  response[0] = static_cast<std::uint8_t>(status >> 8);
  response[1] = static_cast<std::uint8_t>(status & 0xFF);
  length = 2;
  return Transfer::kOk;
}

}  // namespace

Transfer Reader::RelayApdu(int index, std::span<const std::uint8_t> apdu,
                           std::span<std::uint8_t> response,
                           std::size_t& response_length) noexcept {
  ApduRecord record;
  switch (ParseCommandApdu(apdu, record)) {
    case ApduShape::kShort:
      break;
    case ApduShape::kExtended:  // the reader's request carries one byte each for Lc and Le
    case ApduShape::kMalformed:
      return PutStatus(0x6700, response, response_length);
  }
  // What Le asks for (00: 256 bytes) must fit with the status word, or the card would run a
  // command whose answer cannot be given.
  const bool asks_data = apdu.size() == 5 || (record.lc != 0 && apdu.size() == 6u + record.lc);
  const std::size_t expected = (asks_data ? (record.le == 0 ? 256u : record.le) : 0u) + 2;
  if (response.size() < expected) return Transfer::kBufferTooSmall;
  const CommandCode command = index == kFieldSlot   ? commands::kCardApdu
                              : index == kRfsimSlot ? commands::kRfsimApdu
                                                    : commands::SamApdu(SamUnit(index));
  Reply reply;
  const int status = Exchange(ApduRequest(command, record), reply);
  if (status != 0) {
    // The reader answered but the card did not: it is gone (or no longer selected).
    if (status == kCommandFailed) return Transfer::kNoAnswer;
    MarkLost(index);
    return Transfer::kCardGone;
  }
  const auto data = reply.data();
  if (data.size() < 2) return Transfer::kNoAnswer;
  if (data.size() > response.size()) return Transfer::kBufferTooSmall;
  std::memcpy(response.data(), data.data(), data.size());
  response_length = data.size();
  return Transfer::kOk;
}

Transfer Reader::Transmit(int index, std::span<const std::uint8_t> apdu,
                          std::span<std::uint8_t> response, std::size_t& response_length) noexcept {
  response_length = 0;
  const Slot& slot = slots_[static_cast<std::size_t>(index)];
  // A lost session stays lost: nothing goes to whatever card is in the field now.
  if (slot.lost()) return Transfer::kCardGone;
  if (!slot.powered || apdu.size() < 4) return Transfer::kNoAnswer;
  if (index == kFieldSlot) {
    if (apdu[0] == 0xFF) return StorageCardApdu(apdu, response, response_length);
    // A card without ISO 14443-4 takes no APDU: class not supported.
    if (!field_.iso14443_4) return PutStatus(0x6E00, response, response_length);
  }
  return RelayApdu(index, apdu, response, response_length);
}

}  // namespace vorlex::pcsc
