// The reader's two purchase modules. They take the same five operations and fill the same
// PurchaseRecord; a small description of each module says all that differs.
#include "common/command.h"
#include "common/hex_text.h"
#include "purchase/purchase_requests.h"
#include "vorlex_epurse.h"

namespace vorlex {
namespace {

using purchase::CardAnswer;

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

int InitModule(const PurchaseModule& module, ReaderHandle reader, int parameter1, int parameter2,
               char* module_data, char* message) {
  Request request = purchase::InitModuleRequest(module.bytes, parameter1, parameter2);
  request.Require(module_data);
  return RunCommand(reader, message, module.init_module, request, purchase::kInitModuleAnswer,
                    [&](const Answer& answer) { purchase::ReadModuleData(answer, module_data); });
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
  return RunCommand(
      reader, message, module.request_card, request,
      CardAnswer(module.bytes.card_id_bytes).purchase_answer_end,
      [&](const Answer& answer) { purchase::ReadCardSearch(answer, module.bytes, *record); });
}

int Purchase(const PurchaseModule& module, ReaderHandle reader, PurchaseRecord* record,
             char* message) {
  Request request = purchase::PurchaseRequest(module.bytes);
  request.Require(record);
  return RunCommand(reader, message, module.purchase, request, purchase::kShortestPurchaseAnswer,
                    [&](const Answer& answer) { purchase::ReadPurchase(answer, *record); });
}

int GetBalance(const PurchaseModule& module, ReaderHandle reader, std::int32_t* balance,
               char* message) {
  Request request = purchase::BalanceRequest(module.bytes);
  request.Require(balance);
  return RunCommand(reader, message, module.balance, request, purchase::kBalanceAnswer,
                    [&](const Answer& answer) { *balance = purchase::ReadBalance(answer); });
}

int GetCardInfo(const PurchaseModule& module, ReaderHandle reader, PurchaseRecord* record,
                char* message) {
  Request request = purchase::CardInfoRequest(module.bytes);
  request.Require(record);
  return RunCommand(
      reader, message, module.card_info, request,
      CardAnswer(module.bytes.card_id_bytes).card_info_answer_end,
      [&](const Answer& answer) { purchase::ReadCardInfo(answer, module.bytes, *record); });
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
