// The storage-card pseudo-APDUs of the PC/SC storage-card supplement, served by the reader's
// Mifare commands: GET DATA, LOAD KEYS, GENERAL AUTHENTICATE (and the older AUTHENTICATE),
// READ BINARY, UPDATE BINARY. Block numbers count from the card's first block.
#include "storage_card.h"

#include <cstring>

#include "card_reader.h"
#include "commands/reader_commands.h"
#include "mifare_access.h"

namespace vorlex::pcsc {
namespace {

constexpr std::uint8_t kKeyTypeA = 0x60, kKeyTypeB = 0x61;
constexpr std::uint8_t kAuthenticateVersion = 0x01;
constexpr std::size_t kBlockBytes = mifare::kBlockBytes;

// The simulated reader's documented status words (docs/simulator.md) as the card's answer.
constexpr int kReaderNoCard = 0x0201, kReaderNotSelected = 0x0202, kReaderAuthFailed = 0x0301,
              kReaderNotAuthenticated = 0x0302, kReaderAccessDenied = 0x0303,
              kReaderBadAddress = 0x0304, kReaderBadAccessBits = 0x0305, kReaderNotSaved = 0x0306;

// Trailers may be written (programs change keys), but never with access bits that lock the
// sector for good; block 0 never.
constexpr mifare::WriteAllowance kDriverAllowance{
    .trailer = true, .permanent_lock = false, .block0 = false};

struct Output {
  std::span<std::uint8_t> response;
  std::size_t& length;

  Transfer Status(std::uint16_t status) const {
    if (length + 2 > response.size()) {
      length = 0;
      return Transfer::kBufferTooSmall;
    }
    response[length++] = static_cast<std::uint8_t>(status >> 8);
    response[length++] = static_cast<std::uint8_t>(status & 0xFF);
    return Transfer::kOk;
  }
  Transfer Data(std::span<const std::uint8_t> bytes, std::uint16_t status) const {
    if (bytes.size() + 2 > response.size()) return Transfer::kBufferTooSmall;
    std::memcpy(response.data(), bytes.data(), bytes.size());
    length = bytes.size();
    return Status(status);
  }
  // A command's own answer, or the loss of the card session.
  Transfer Result(std::uint16_t status) const {
    return status == Reader::kGone ? Transfer::kCardGone : Status(status);
  }
};

// GET DATA's Le: 00 gives everything; fewer than there is asks for the right Le; more gives
// what there is with "end of data".
Transfer AnswerData(std::span<const std::uint8_t> bytes, std::uint8_t le, const Output& out) {
  if (le == 0 || le == bytes.size()) return out.Data(bytes, sw::kOk);
  if (le < bytes.size()) return out.Status(static_cast<std::uint16_t>(sw::kWrongLe | bytes.size()));
  return out.Data(bytes, sw::kEndOfData);
}

}  // namespace

bool Reader::ReselectField() noexcept {
  auth_.active = false;
  Reply reply;
  // Another card answering is as good as none: it is never adopted.
  const bool same = SelectFieldCard(reply) &&
                    slots_[kFieldSlot].binding.Verify(reply.data().subspan(2, field_.uid.size()));
  if (!same) {
    if (!slots_[kFieldSlot].lost()) slots_[kFieldSlot].binding.Verify({});
    MarkLost(kFieldSlot);
    return false;
  }
  if (field_.iso14443_4) (void)Exchange(Request(commands::kCardAts), reply);
  return true;
}

bool Reader::VerifyFieldCard() noexcept {
  const Authentication in_force = auth_;
  if (!ReselectField()) return false;
  if (in_force.active) {
    Request request(commands::kMifareAuth);
    request.Byte(in_force.sector).Byte(in_force.key_type).Bytes(in_force.key);
    Reply reply;
    if (Exchange(request, reply) == 0) auth_ = in_force;
  }
  return true;
}

std::uint16_t Reader::AfterMifareFailure(int reader_status) noexcept {
  if (reader_status == kCommandFailed) return sw::kFailed;
  // A card that refused a key answers nothing until it is selected again; a card that is gone
  // does not answer the selection either, and another card is never taken for it.
  if (!ReselectField()) return kGone;
  switch (reader_status) {
    case kReaderNoCard:
    case kReaderNotSelected:
    case kReaderNotAuthenticated:
    case kReaderAccessDenied:
      return sw::kSecurityNotSatisfied;
    case kReaderBadAddress:
      return sw::kOutOfRange;
    case kReaderBadAccessBits:
      return sw::kNotAllowed;
    case kReaderNotSaved:
      return sw::kMemoryFailure;
    case kReaderAuthFailed:
    default:
      return sw::kFailed;
  }
}

std::uint16_t Reader::Authenticate(int block, std::uint8_t key_type,
                                   std::uint8_t key_number) noexcept {
  if (key_number >= kKeySlots) return sw::kKeyNumberNotValid;
  if (key_type != kKeyTypeA && key_type != kKeyTypeB) return sw::kKeyTypeNotKnown;
  if (block >= field_.blocks) return sw::kOutOfRange;
  if (!key_loaded_[key_number]) return sw::kKeyNotUsable;
  const mifare::SectorBlock at = mifare::FromAbsoluteBlock(block);
  const std::uint8_t type = key_type == kKeyTypeA ? 0 : 1;
  Request request(commands::kMifareAuth);
  request.Byte(at.sector).Byte(type).Bytes(keys_[key_number]);
  Reply reply;
  auth_.active = false;
  const int status = Exchange(request, reply);
  if (status != 0) return AfterMifareFailure(status);
  auth_ = {true, at.sector, type, keys_[key_number]};
  return sw::kOk;
}

std::uint16_t Reader::ReadBlock(int block, std::span<std::uint8_t, 16> out) noexcept {
  if (block >= field_.blocks) return sw::kOutOfRange;
  const mifare::SectorBlock at = mifare::FromAbsoluteBlock(block);
  Request request(commands::kMifareRead);
  request.Byte(at.sector).Byte(at.block);
  Reply reply;
  const int status = Exchange(request, reply);
  if (status != 0) return AfterMifareFailure(status);
  if (reply.data().size() < kBlockBytes) return sw::kFailed;
  std::memcpy(out.data(), reply.data().data(), kBlockBytes);
  return sw::kOk;
}

std::uint16_t Reader::UpdateBlock(int block, std::span<const std::uint8_t, 16> data) noexcept {
  if (block >= field_.blocks) return sw::kOutOfRange;
  const mifare::SectorBlock at = mifare::FromAbsoluteBlock(block);
  if (mifare::JudgeBlockWrite(at.sector, at.block, data, kDriverAllowance) !=
      mifare::WriteVerdict::kAllowed) {
    return sw::kNotAllowed;
  }
  Request request(commands::kMifareWrite);
  request.Byte(at.sector).Byte(at.block).Bytes(data);
  Reply reply;
  const int status = Exchange(request, reply);
  return status == 0 ? sw::kOk : AfterMifareFailure(status);
}

Transfer Reader::StorageCardApdu(std::span<const std::uint8_t> apdu,
                                 std::span<std::uint8_t> response,
                                 std::size_t& response_length) noexcept {
  const Output out{response, response_length};
  const std::uint8_t ins = apdu[1], p1 = apdu[2], p2 = apdu[3];
  const std::size_t body = apdu.size() - 4;
  const int block = p1 << 8 | p2;
  // Every answer has a status word; READ BINARY's has the block too. Known before anything is
  // sent, so the card never runs a command whose answer would not fit.
  if (response.size() < (ins == 0xB0 ? kBlockBytes + 2 : 2)) return Transfer::kBufferTooSmall;
  switch (ins) {
    case 0xCA: {  // GET DATA: FF CA 00 00 Le (UID), FF CA 01 00 Le (historical bytes)
      if (body != 1) return out.Status(sw::kWrongLength);
      if (p2 != 0 || p1 > 0x01 || (p1 == 0x01 && !field_.iso14443_4)) {
        return out.Status(sw::kNotSupported);
      }
      const std::span<const std::uint8_t> bytes =
          p1 == 0x00
              ? std::span<const std::uint8_t>(field_.uid)
              : std::span<const std::uint8_t>(field_.historical.data(), field_.historical_count);
      const std::size_t le = apdu[4];
      if ((le == 0 || le >= bytes.size()) && response.size() < bytes.size() + 2) {
        return Transfer::kBufferTooSmall;
      }
      // Nothing is answered for a card that was not verified just now.
      if (!VerifyFieldCard()) return Transfer::kCardGone;
      return AnswerData(bytes, apdu[4], out);
    }
    case 0x82: {  // LOAD KEYS: FF 82 P1 keyno Lc key, volatile card keys in plain only
      if (body < 1 || body != 1u + apdu[4]) return out.Status(sw::kWrongLength);
      if (p1 & 0x80) return out.Status(sw::kReaderKeyNotSupported);
      if (p1 & 0x40) return out.Status(sw::kSecuredNotSupported);
      if (p1 & 0x20) return out.Status(sw::kNonVolatileNotAvailable);
      if (p1 != 0x00) return out.Status(sw::kNotSupported);
      if (p2 >= kKeySlots) return out.Status(sw::kKeyNumberNotValid);
      if (apdu[4] != kKeyBytes) return out.Status(sw::kKeyLengthNotCorrect);
      std::memcpy(keys_[p2].data(), apdu.data() + 5, kKeyBytes);
      key_loaded_[p2] = true;
      return out.Status(sw::kOk);
    }
    case 0x86: {  // GENERAL AUTHENTICATE: FF 86 00 00 05 01 MSB LSB keytype keyno
      if (body != 6 || apdu[4] != 5) return out.Status(sw::kWrongLength);
      if (p1 != 0 || p2 != 0 || apdu[5] != kAuthenticateVersion) {
        return out.Status(sw::kNotSupported);
      }
      return out.Result(Authenticate(apdu[6] << 8 | apdu[7], apdu[8], apdu[9]));
    }
    case 0x88:  // AUTHENTICATE (older): FF 88 MSB LSB keytype keyno
      if (body != 2) return out.Status(sw::kWrongLength);
      return out.Result(Authenticate(block, apdu[4], apdu[5]));
    case 0xB0: {  // READ BINARY: FF B0 MSB LSB Le (00 or 10)
      if (body != 1) return out.Status(sw::kWrongLength);
      if (apdu[4] != 0 && apdu[4] != kBlockBytes) {
        return out.Status(static_cast<std::uint16_t>(sw::kWrongLe | kBlockBytes));
      }
      std::array<std::uint8_t, kBlockBytes> data{};
      const std::uint16_t status = ReadBlock(block, data);
      return status == sw::kOk ? out.Data(data, sw::kOk) : out.Result(status);
    }
    case 0xD6: {  // UPDATE BINARY: FF D6 MSB LSB 10 data(16)
      if (body != 1 + kBlockBytes || apdu[4] != kBlockBytes) return out.Status(sw::kWrongLength);
      return out.Result(
          UpdateBlock(block, std::span<const std::uint8_t, kBlockBytes>(apdu.data() + 5, 16)));
    }
    default:
      return out.Status(sw::kNotSupported);
  }
}

}  // namespace vorlex::pcsc
