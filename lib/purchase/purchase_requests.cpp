#include "purchase/purchase_requests.h"

namespace vorlex::purchase {
namespace {
constexpr std::uint8_t kInitModule = 0x01, kRequestCard = 0x02, kPurchase = 0x03,
                       kGetBalance = 0x04, kGetCardInfo = 0x05;
constexpr std::size_t kCardInfoRequestFill = 12;  // request bytes no argument supplies: zeros
// ResultText4 has 7 bytes: the first 3 of its 4 value bytes as 6 characters and a NUL.
constexpr std::size_t kResultText4Bytes = 3;

void ReadCardFields(const Answer& answer, const ModuleBytes& module, PurchaseRecord& record) {
  const CardAnswer at(module.card_id_bytes);
  answer.HexText(at.card_id, module.card_id_bytes, record.CardId);
  answer.HexText(at.card_info, kCardInfoBytes, record.CardInfo);
}

void ReadResultText(const Answer& answer, std::size_t offset, std::size_t bytes, char* field) {
  // A value that did not arrive whole leaves the empty text, never an earlier purchase's value.
  if (answer.Holds(offset, kResultBytes)) {
    answer.HexText(offset, bytes, field);
  } else {
    field[0] = '\0';
  }
}

}  // namespace

Request InitModuleRequest(const ModuleBytes& module, int parameter1, int parameter2) noexcept {
  Request request(module.command_class, kInitModule);
  request.Byte(parameter1).Byte(parameter2);
  return request;
}

Request RequestCardRequest(const ModuleBytes& module, int parameter, std::uint32_t amount,
                           std::span<const std::uint8_t, kPrepDataBytes> prep_data) noexcept {
  Request request(module.command_class, kRequestCard);
  request.Byte(parameter).BigEndian32(amount).Bytes(prep_data);
  return request;
}

Request PurchaseRequest(const ModuleBytes& module) noexcept {
  return Request(module.command_class, kPurchase);
}

Request BalanceRequest(const ModuleBytes& module) noexcept {
  return Request(module.command_class, kGetBalance);
}

Request CardInfoRequest(const ModuleBytes& module) noexcept {
  Request request(module.command_class, kGetCardInfo);
  request.Zeros(kCardInfoRequestFill);
  return request;
}

void ReadModuleData(const Answer& answer, char* module_data) noexcept {
  answer.HexText(2, kModuleDataBytes, module_data);
}

void ReadCardSearch(const Answer& answer, const ModuleBytes& module,
                    PurchaseRecord& record) noexcept {
  const CardAnswer at(module.card_id_bytes);
  ReadCardFields(answer, module, record);
  answer.HexText(at.prep_text, kPrepTextBytes, record.PrepText);
  record.PrepByte1 = answer.ByteAt(at.prep_byte1);
  record.PrepByte2 = answer.ByteAt(at.prep_byte2);
  record.CardValue24 = answer.BigEndian(at.card_value24, 3);
  record.PrepValue16 = answer.BigEndian(at.prep_value16, 2);
  record.PrepValue32 = answer.BigEndian(at.prep_value32, 4);
}

void ReadPurchase(const Answer& answer, PurchaseRecord& record) noexcept {
  constexpr auto& at = kResultOffsets;
  ReadResultText(answer, at[0], kResultBytes, record.ResultText1);
  ReadResultText(answer, at[1], kResultBytes, record.ResultText2);
  ReadResultText(answer, at[2], kResultBytes, record.ResultText3);
  ReadResultText(answer, at[3], kResultText4Bytes, record.ResultText4);
}

std::int32_t ReadBalance(const Answer& answer) noexcept {
  return static_cast<std::int32_t>(answer.BigEndian(2, 4));
}

void ReadCardInfo(const Answer& answer, const ModuleBytes& module,
                  PurchaseRecord& record) noexcept {
  const CardAnswer at(module.card_id_bytes);
  ReadCardFields(answer, module, record);
  record.CardValue24 = answer.BigEndian(at.card_info + kCardInfoBytes, 3);
}

}  // namespace vorlex::purchase
