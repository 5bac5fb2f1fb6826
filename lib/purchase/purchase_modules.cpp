// The reader's two purchase modules. They take the same five operations and fill the same
// PurchaseRecord; a small description of each module says all that differs.
#include "common/command.h"
#include "common/hex_text.h"
#include "purchase/purchase_requests.h"
#include "vorlex_epurse.h"

namespace vorlex {
namespace {

using purchase::CardAnswer;
using purchase::kCardInfoBytes;
using purchase::kModuleDataBytes;
using purchase::kPrepTextBytes;
using purchase::kResultBytes;

// A module's bytes (purchase/purchase_requests.h) and its message texts.
struct PurchaseModule {
  purchase::ModuleBytes bytes;
  Texts init_module, request_card, purchase, balance, card_info;
};

constexpr PurchaseModule kCpuCardModule{purchase::kCpuCard,     Texts::kCpuInitModule,
                                        Texts::kCpuRequestCard, Texts::kCpuPurchase,
                                        Texts::kCpuBalance,     Texts::kCpuCardInfo};
constexpr PurchaseModule kRfsimModule{purchase::kRfsim,         Texts::kRfsimInitModule,
                                      Texts::kRfsimRequestCard, Texts::kRfsimPurchase,
                                      Texts::kRfsimBalance,     Texts::kRfsimCardInfo};

constexpr std::size_t kPrepDataChars = 2 * purchase::kPrepDataBytes;
// ResultText4 has 7 bytes: the first 3 of its 4 value bytes as 6 characters and a NUL.
constexpr std::size_t kResultText4Bytes = 3;

void WriteCardFields(const Answer& answer, const PurchaseModule& module, PurchaseRecord& record) {
  const CardAnswer at(module.bytes.card_id_bytes);
  answer.HexText(at.card_id, module.bytes.card_id_bytes, record.CardId);
  answer.HexText(at.card_info, kCardInfoBytes, record.CardInfo);
}

int InitModule(const PurchaseModule& module, ReaderHandle reader, int parameter1, int parameter2,
               char* module_data, char* message) {
  Request request = purchase::InitModuleRequest(module.bytes, parameter1, parameter2);
  request.Require(module_data);
  return RunCommand(
      reader, message, module.init_module, request, purchase::kInitModuleAnswer,
      [&](const Answer& answer) { answer.HexText(2, kModuleDataBytes, module_data); });
}

int RequestCard(const PurchaseModule& module, ReaderHandle reader, int parameter,
                const PurchaseRecord& input, PurchaseRecord* record, char* message) {
  // A conversion that stops early leaves the rest of the 7 bytes zero; one spare byte takes
  // the terminator.
  std::uint8_t prep_data[purchase::kPrepDataBytes + 1] = {};
  (void)HexToBytes(input.PrepData, prep_data, kPrepDataChars);
  Request request = purchase::RequestCardRequest(
      module.bytes, parameter, static_cast<std::uint32_t>(input.Amount),
      std::span<const std::uint8_t, purchase::kPrepDataBytes>(prep_data, purchase::kPrepDataBytes));
  request.Require(record);
  const CardAnswer at(module.bytes.card_id_bytes);
  return RunCommand(reader, message, module.request_card, request, at.purchase_answer_end,
                    [&](const Answer& answer) {
                      WriteCardFields(answer, module, *record);
                      answer.HexText(at.prep_text, kPrepTextBytes, record->PrepText);
                      record->PrepByte1 = answer.ByteAt(at.prep_byte1);
                      record->PrepByte2 = answer.ByteAt(at.prep_byte2);
                      record->CardValue24 = answer.BigEndian(at.card_value24, 3);
                      record->PrepValue16 = answer.BigEndian(at.prep_value16, 2);
                      record->PrepValue32 = answer.BigEndian(at.prep_value32, 4);
                    });
}

void WriteResultText(const Answer& answer, std::size_t offset, std::size_t bytes, char* field) {
  // A value that did not arrive whole leaves the empty text, never an earlier purchase's value.
  if (answer.Holds(offset, kResultBytes)) {
    answer.HexText(offset, bytes, field);
  } else {
    field[0] = '\0';
  }
}

int Purchase(const PurchaseModule& module, ReaderHandle reader, PurchaseRecord* record,
             char* message) {
  Request request = purchase::PurchaseRequest(module.bytes);
  request.Require(record);
  constexpr auto& at = purchase::kResultOffsets;
  return RunCommand(reader, message, module.purchase, request, purchase::kShortestPurchaseAnswer,
                    [&](const Answer& answer) {
                      WriteResultText(answer, at[0], kResultBytes, record->ResultText1);
                      WriteResultText(answer, at[1], kResultBytes, record->ResultText2);
                      WriteResultText(answer, at[2], kResultBytes, record->ResultText3);
                      WriteResultText(answer, at[3], kResultText4Bytes, record->ResultText4);
                    });
}

int GetBalance(const PurchaseModule& module, ReaderHandle reader, std::int32_t* balance,
               char* message) {
  Request request = purchase::BalanceRequest(module.bytes);
  request.Require(balance);
  return RunCommand(
      reader, message, module.balance, request, purchase::kBalanceAnswer,
      [&](const Answer& answer) { *balance = static_cast<std::int32_t>(answer.BigEndian(2, 4)); });
}

int GetCardInfo(const PurchaseModule& module, ReaderHandle reader, PurchaseRecord* record,
                char* message) {
  Request request = purchase::CardInfoRequest(module.bytes);
  request.Require(record);
  const CardAnswer at(module.bytes.card_id_bytes);
  return RunCommand(reader, message, module.card_info, request, at.card_info_answer_end,
                    [&](const Answer& answer) {
                      WriteCardFields(answer, module, *record);
                      record->CardValue24 = answer.BigEndian(at.card_info + kCardInfoBytes, 3);
                    });
}

}  // namespace
}  // namespace vorlex

using vorlex::kCpuCardModule;
using vorlex::kRfsimModule;

extern "C" {

VORLEX_API int VORLEX_CALL CPU_PBOC_INIT_MODULE(ReaderHandle reader, int parameter1, int parameter2,
                                                char* module_data, char* message) {
  return vorlex::InitModule(kCpuCardModule, reader, parameter1, parameter2, module_data, message);
}

VORLEX_API int VORLEX_CALL CPU_PBOC_REQA_CARD(ReaderHandle reader, int parameter,
                                              PurchaseRecord input, PurchaseRecord* record,
                                              char* message) {
  return vorlex::RequestCard(kCpuCardModule, reader, parameter, input, record, message);
}

VORLEX_API int VORLEX_CALL CPU_PBOC_PURCHASE(ReaderHandle reader, PurchaseRecord* record,
                                             char* message) {
  return vorlex::Purchase(kCpuCardModule, reader, record, message);
}

VORLEX_API int VORLEX_CALL CPU_PBOC_GET_BALANCE(ReaderHandle reader, int32_t* balance,
                                                char* message) {
  return vorlex::GetBalance(kCpuCardModule, reader, balance, message);
}

VORLEX_API int VORLEX_CALL CPU_PBOC_GET_CARDINFO(ReaderHandle reader, int /*unused*/,
                                                 PurchaseRecord* record, char* message) {
  return vorlex::GetCardInfo(kCpuCardModule, reader, record, message);
}

VORLEX_API int VORLEX_CALL RFSIM_INIT_MODULE(ReaderHandle reader, int parameter1, int parameter2,
                                             char* module_data, char* message) {
  return vorlex::InitModule(kRfsimModule, reader, parameter1, parameter2, module_data, message);
}

VORLEX_API int VORLEX_CALL RFSIM_REQA_CARD(ReaderHandle reader, int parameter, PurchaseRecord input,
                                           PurchaseRecord* record, char* message) {
  return vorlex::RequestCard(kRfsimModule, reader, parameter, input, record, message);
}

VORLEX_API int VORLEX_CALL RFSIM_PURCHASE(ReaderHandle reader, PurchaseRecord* record,
                                          char* message) {
  return vorlex::Purchase(kRfsimModule, reader, record, message);
}

VORLEX_API int VORLEX_CALL RFSIM_GET_BALANCE(ReaderHandle reader, int32_t* balance, char* message) {
  return vorlex::GetBalance(kRfsimModule, reader, balance, message);
}

VORLEX_API int VORLEX_CALL RFSIM_GET_CARDINFO(ReaderHandle reader, int /*unused*/,
                                              PurchaseRecord* record, char* message) {
  return vorlex::GetCardInfo(kRfsimModule, reader, record, message);
}

}  // extern "C"
