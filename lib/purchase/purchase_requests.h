// The reader's two purchase modules at byte level: each module's requests, and its answers read
// into the PurchaseRecord. The e-purse exports (purchase_modules.cpp) and the agent both send
// these requests and read the answers here, so that both give the very same fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/command.h"
#include "vorlex_epurse.h"

namespace vorlex::purchase {

// What differs between the CPU card module and the RF-SIM module.
struct ModuleBytes {
  std::uint8_t command_class;
  std::size_t card_id_bytes;  // the card identifier leads every card search answer
};
inline constexpr ModuleBytes kCpuCard{0xFE, 4};
inline constexpr ModuleBytes kRfsim{0xFD, 8};

inline constexpr std::size_t kModuleDataBytes = 6;
inline constexpr std::size_t kCardInfoBytes = 10;
inline constexpr std::size_t kPrepTextBytes = 4;
inline constexpr std::size_t kPrepDataBytes = 7;
inline constexpr std::size_t kResultBytes = 4;
// The shortest answers (payload bytes, status word included) each request's outputs need.
inline constexpr std::size_t kInitModuleAnswer = 2 + kModuleDataBytes;
inline constexpr std::size_t kBalanceAnswer = 6;
inline constexpr std::size_t kShortestPurchaseAnswer = 10;

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

// The four result values of a purchase answer start at these offsets, 4 bytes each; a value
// that did not arrive whole is absent.
inline constexpr std::size_t kResultOffsets[4] = {2, 6, 10, 14};

// The five requests. Integer arguments are sent as their low 8 bits; `amount` most significant
// byte first.
Request InitModuleRequest(const ModuleBytes& module, int parameter1, int parameter2) noexcept;
Request RequestCardRequest(const ModuleBytes& module, int parameter, std::uint32_t amount,
                           std::span<const std::uint8_t, kPrepDataBytes> prep_data) noexcept;
Request PurchaseRequest(const ModuleBytes& module) noexcept;
Request BalanceRequest(const ModuleBytes& module) noexcept;
Request CardInfoRequest(const ModuleBytes& module) noexcept;

// The answers, each with at least its shortest length (above; the card searches: CardAnswer),
// read into `record` (or `module_data`, 13 bytes) as the exports fill the caller's.
void ReadModuleData(const Answer& answer, char* module_data) noexcept;
void ReadCardSearch(const Answer& answer, const ModuleBytes& module,
                    PurchaseRecord& record) noexcept;
void ReadPurchase(const Answer& answer, PurchaseRecord& record) noexcept;
std::int32_t ReadBalance(const Answer& answer) noexcept;
void ReadCardInfo(const Answer& answer, const ModuleBytes& module, PurchaseRecord& record) noexcept;

}  // namespace vorlex::purchase
