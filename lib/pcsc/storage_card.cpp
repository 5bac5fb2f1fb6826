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

  bool Status(std::uint16_t status) const {
    if (length + 2 > response.size()) {
      length = 0;
      return false;
    }
    response[length++] = static_cast<std::uint8_t>(status >> 8);
    response[length++] = static_cast<std::uint8_t>(status & 0xFF);
    return true;
  }
  bool Data(std::span<const std::uint8_t> bytes, std::uint16_t status) const {
    if (bytes.size() + 2 > response.size()) return Status(sw::kWrongLength);
    std::memcpy(response.data(), bytes.data(), bytes.size());
    length = bytes.size();
    return Status(status);
  }
};

// GET DATA's Le: 00 gives everything; fewer than there is asks for the right Le; more gives
// what there is with "end of data".
bool AnswerData(std::span<const std::uint8_t> bytes, std::uint8_t le, const Output& out) {
  if (le == 0 || le == bytes.size()) return out.Data(bytes, sw::kOk);
  if (le < bytes.size()) return out.Status(static_cast<std::uint16_t>(sw::kWrongLe | bytes.size()));
  return out.Data(bytes, sw::kEndOfData);
}

}  // namespace

std::uint16_t Reader::AfterMifareFailure(int reader_status) noexcept {
  if (reader_status == kCommandFailed) return sw::kFailed;
  // A card that refused a key answers nothing until it is selected again; a card that is gone
  // does not answer the selection either.
  Reply reply;
  const bool selected =
      SelectFieldCard(reply) && std::memcmp(reply.data().data() + 2, field_.uid.data(), 4) == 0;
  if (!selected) {
    slots_[kFieldSlot].lost = true;
    return sw::kFailed;
  }
  if (field_.iso14443_4) (void)Exchange(Request(commands::kCardAts), reply);
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
  if (block >= field_.blocks) return sw::kOutOfRange;
  if (key_type != kKeyTypeA && key_type != kKeyTypeB) return sw::kNotAllowed;
  if (key_number >= kKeySlots) return sw::kOutOfRange;
  if (!key_loaded_[key_number]) return sw::kAuthenticationImpossible;
  const mifare::SectorBlock at = mifare::FromAbsoluteBlock(block);
  Request request(commands::kMifareAuth);
  request.Byte(at.sector).Byte(key_type == kKeyTypeA ? 0 : 1).Bytes(keys_[key_number]);
  Reply reply;
  const int status = Exchange(request, reply);
  return status == 0 ? sw::kOk : AfterMifareFailure(status);
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

bool Reader::StorageCardApdu(std::span<const std::uint8_t> apdu, std::span<std::uint8_t> response,
                             std::size_t& response_length) noexcept {
  const Output out{response, response_length};
  const std::uint8_t ins = apdu[1], p1 = apdu[2], p2 = apdu[3];
  const std::size_t body = apdu.size() - 4;
  const int block = p1 << 8 | p2;
  switch (ins) {
    case 0xCA: {  // GET DATA: FF CA 00 00 Le (UID), FF CA 01 00 Le (historical bytes)
      if (body != 1) return out.Status(sw::kWrongLength);
      if (p2 != 0) return out.Status(sw::kNotSupported);
      if (p1 == 0x00) return AnswerData(field_.uid, apdu[4], out);
      if (p1 == 0x01 && field_.iso14443_4) {
        return AnswerData({field_.historical.data(), field_.historical_count}, apdu[4], out);
      }
      return out.Status(sw::kNotSupported);
    }
    case 0x82: {  // LOAD KEYS: FF 82 00 keyno 06 key, volatile card keys in plain only
      if (body != 1 + kKeyBytes || apdu[4] != kKeyBytes) return out.Status(sw::kWrongLength);
      if (p1 != 0x00) return out.Status(sw::kNotAllowed);
      if (p2 >= kKeySlots) return out.Status(sw::kOutOfRange);
      std::memcpy(keys_[p2].data(), apdu.data() + 5, kKeyBytes);
      key_loaded_[p2] = true;
      return out.Status(sw::kOk);
    }
    case 0x86: {  // GENERAL AUTHENTICATE: FF 86 00 00 05 01 MSB LSB keytype keyno
      if (body != 6 || apdu[4] != 5) return out.Status(sw::kWrongLength);
      if (p1 != 0 || p2 != 0 || apdu[5] != kAuthenticateVersion) {
        return out.Status(sw::kNotSupported);
      }
      return out.Status(Authenticate(apdu[6] << 8 | apdu[7], apdu[8], apdu[9]));
    }
    case 0x88:  // AUTHENTICATE (older): FF 88 MSB LSB keytype keyno
      if (body != 2) return out.Status(sw::kWrongLength);
      return out.Status(Authenticate(block, apdu[4], apdu[5]));
    case 0xB0: {  // READ BINARY: FF B0 MSB LSB Le (00 or 10)
      if (body != 1) return out.Status(sw::kWrongLength);
      if (apdu[4] != 0 && apdu[4] != kBlockBytes) {
        return out.Status(static_cast<std::uint16_t>(sw::kWrongLe | kBlockBytes));
      }
      std::array<std::uint8_t, kBlockBytes> data{};
      const std::uint16_t status = ReadBlock(block, data);
      return status == sw::kOk ? out.Data(data, sw::kOk) : out.Status(status);
    }
    case 0xD6: {  // UPDATE BINARY: FF D6 MSB LSB 10 data(16)
      if (body != 1 + kBlockBytes || apdu[4] != kBlockBytes) return out.Status(sw::kWrongLength);
      return out.Status(
          UpdateBlock(block, std::span<const std::uint8_t, kBlockBytes>(apdu.data() + 5, 16)));
    }
    default:
      return out.Status(sw::kNotSupported);
  }
}

}  // namespace vorlex::pcsc
