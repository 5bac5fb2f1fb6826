// The reader's two purchase modules. They take the same five operations and fill the same
// PurchaseRecord; a small description of each module says all that differs.
#include "common/command.h"
#include "vorlex_epurse.h"

namespace vorlex {
namespace {

struct PurchaseModule {
  std::uint8_t command_class;
  std::size_t card_id_bytes;  // the card identifier leads every card search answer
  Texts init_module, request_card, purchase, balance, card_info;
};

constexpr PurchaseModule kCpuCardModule{0xFE,
                                        4,
                                        Texts::kCpuInitModule,
                                        Texts::kCpuRequestCard,
                                        Texts::kCpuPurchase,
                                        Texts::kCpuBalance,
                                        Texts::kCpuCardInfo};
constexpr PurchaseModule kRfsimModule{0xFD,
                                      8,
                                      Texts::kRfsimInitModule,
                                      Texts::kRfsimRequestCard,
                                      Texts::kRfsimPurchase,
                                      Texts::kRfsimBalance,
                                      Texts::kRfsimCardInfo};

constexpr std::uint8_t kInitModule = 0x01, kRequestCard = 0x02, kPurchase = 0x03,
                       kGetBalance = 0x04, kGetCardInfo = 0x05;
constexpr std::size_t kModuleDataBytes = 6;
constexpr std::size_t kCardInfoBytes = 10;
constexpr std::size_t kPrepTextBytes = 4;
constexpr std::size_t kPrepDataChars = 14;
constexpr std::size_t kCardInfoRequestFill = 12;  // request bytes no argument supplies: zeros
constexpr std::size_t kResultBytes = 4;
constexpr std::size_t kShortestPurchaseAnswer = 10;
// ResultText4 has 7 bytes: the first 3 of its 4 value bytes as 6 characters and a NUL.
constexpr std::size_t kResultText4Bytes = 3;

// Answer positions of the two card searches: the card identifier, then the rest.
struct CardAnswer {
  std::size_t card_id = 2, card_info, prep_text, prep_byte1, prep_byte2, card_value24, prep_value16,
              prep_value32, purchase_answer_end, card_info_answer_end;
  explicit constexpr CardAnswer(std::size_t card_id_bytes)
      : card_info(2 + card_id_bytes),
        prep_text(card_info + kCardInfoBytes),
        prep_byte1(prep_text + kPrepTextBytes),
        prep_byte2(prep_byte1 + 1),
        card_value24(prep_byte2 + 1),
        prep_value16(card_value24 + 3),
        prep_value32(prep_value16 + 2),
        purchase_answer_end(prep_value32 + 4),
        card_info_answer_end(card_info + kCardInfoBytes + 3) {}
};
static_assert(CardAnswer(4).purchase_answer_end == 31 && CardAnswer(8).purchase_answer_end == 35);
static_assert(CardAnswer(4).card_info_answer_end == 19 && CardAnswer(8).card_info_answer_end == 23);

void WriteCardFields(const Answer& answer, const PurchaseModule& module, PurchaseRecord& record) {
  const CardAnswer at(module.card_id_bytes);
  answer.HexText(at.card_id, module.card_id_bytes, record.CardId);
  answer.HexText(at.card_info, kCardInfoBytes, record.CardInfo);
}

int InitModule(const PurchaseModule& module, ReaderHandle reader, int parameter1, int parameter2,
               char* module_data, char* message) {
  Request request(module.command_class, kInitModule);
  request.Byte(parameter1).Byte(parameter2).Require(module_data);
  return RunCommand(
      reader, message, module.init_module, request, 2 + kModuleDataBytes,
      [&](const Answer& answer) { answer.HexText(2, kModuleDataBytes, module_data); });
}

int RequestCard(const PurchaseModule& module, ReaderHandle reader, int parameter,
                const PurchaseRecord& input, PurchaseRecord* record, char* message) {
  Request request(module.command_class, kRequestCard);
  request.Byte(parameter)
      .BigEndian32(static_cast<std::uint32_t>(input.Amount))
      .HexText(input.PrepData, kPrepDataChars)
      .Require(record);
  const CardAnswer at(module.card_id_bytes);
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
  Request request(module.command_class, kPurchase);
  request.Require(record);
  return RunCommand(reader, message, module.purchase, request, kShortestPurchaseAnswer,
                    [&](const Answer& answer) {
                      WriteResultText(answer, 2, kResultBytes, record->ResultText1);
                      WriteResultText(answer, 6, kResultBytes, record->ResultText2);
                      WriteResultText(answer, 10, kResultBytes, record->ResultText3);
                      WriteResultText(answer, 14, kResultText4Bytes, record->ResultText4);
                    });
}

int GetBalance(const PurchaseModule& module, ReaderHandle reader, std::int32_t* balance,
               char* message) {
  Request request(module.command_class, kGetBalance);
  request.Require(balance);
  return RunCommand(reader, message, module.balance, request, 6, [&](const Answer& answer) {
    *balance = static_cast<std::int32_t>(answer.BigEndian(2, 4));
  });
}

int GetCardInfo(const PurchaseModule& module, ReaderHandle reader, PurchaseRecord* record,
                char* message) {
  Request request(module.command_class, kGetCardInfo);
  request.Zeros(kCardInfoRequestFill).Require(record);
  const CardAnswer at(module.card_id_bytes);
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
