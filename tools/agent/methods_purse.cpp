// The e-purse edition's purchase modules (the single steps the tool has as `vorlex purse ...`),
// the whole purchase through the purchase journal, and the journal's last purchases.
#include <ctime>
#include <filesystem>
#include <stdexcept>

#include "common/hex_text.h"
#include "journal.h"
#include "purchase.h"
#include "purchase/purchase_requests.h"
#include "reader_device_state.h"
#include "status_words.h"
#include "text_encoding.h"

namespace vorlex::agent {
namespace {

constexpr std::int64_t kByteMax = 255;
constexpr std::int64_t kAmountMin = 1, kAmountMax = 0x7FFFFFFF;  // the modules take 1 cent up
constexpr std::int64_t kListMax = 1000;

struct Module {
  std::string name;
  purchase::ModuleBytes bytes;
  Texts init, request, purchase, balance, card_info;
};

Module ModuleOf(const Params& p) {
  if (p.OneOf("module", {"cpu", "rfsim"}, "cpu") == "rfsim") {
    return {"rfsim",
            purchase::kRfsim,
            Texts::kRfsimInitModule,
            Texts::kRfsimRequestCard,
            Texts::kRfsimPurchase,
            Texts::kRfsimBalance,
            Texts::kRfsimCardInfo};
  }
  return {"cpu",
          purchase::kCpuCard,
          Texts::kCpuInitModule,
          Texts::kCpuRequestCard,
          Texts::kCpuPurchase,
          Texts::kCpuBalance,
          Texts::kCpuCardInfo};
}

// The preparation data: the purchase's local date and time, BCD YYYYMMDDhhmmss, as the tool
// takes it (--prep): a value that is no date and time would be recorded by the card as one.
Bytes PrepDataOf(const Params& p) {
  if (!p.Has("prep_data")) {
    const std::string now = journal::PrepDataNow();  // decimal digits: each pair one BCD byte
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < now.size(); i += 2) {
      bytes.push_back(static_cast<std::uint8_t>((now[i] - '0') << 4 | (now[i + 1] - '0')));
    }
    return bytes;
  }
  const Bytes bytes = p.Hex("prep_data", purchase::kPrepDataBytes);
  const std::string digits = HexOf(bytes);
  if (const std::string fault = journal::PrepDataFault(digits); !fault.empty()) {
    Refuse("prep_data", digits + ": " + fault);
  }
  return bytes;
}

void AddCardFields(json& result, const PurchaseRecord& record) {
  result["card_id"] = record.CardId;
  result["card_info"] = record.CardInfo;
  result["card_value24"] = record.CardValue24;
}

void AddPrepFields(json& result, const PurchaseRecord& record) {
  result["prep_text"] = record.PrepText;
  result["prep_byte1"] = record.PrepByte1;
  result["prep_byte2"] = record.PrepByte2;
  result["prep_value16"] = record.PrepValue16;
  result["prep_value32"] = record.PrepValue32;
}

void AddResultFields(json& result, const PurchaseRecord& record) {
  result["result_text1"] = record.ResultText1;
  result["result_text2"] = record.ResultText2;
  result["result_text3"] = record.ResultText3;
  result["result_text4"] = record.ResultText4;
}

// ---- single steps ---------------------------------------------------------------------------

json PurseInit(ReaderDevice::State& s, const Params& p) {
  const Module m = ModuleOf(p);
  const int p1 = static_cast<int>(p.Integer("p1", 0, kByteMax, 0));
  const int p2 = static_cast<int>(p.Integer("p2", 0, kByteMax, 0));
  const Bytes answer = s.Exchange("init", m.init, purchase::InitModuleRequest(m.bytes, p1, p2),
                                  purchase::kInitModuleAnswer);
  char module_data[2 * purchase::kModuleDataBytes + 1] = {};
  purchase::ReadModuleData(Answer(answer), module_data);
  return {{"module", m.name}, {"module_data", module_data}};
}

json PurseBalance(ReaderDevice::State& s, const Params& p) {
  const Module m = ModuleOf(p);
  const Bytes answer =
      s.Exchange("balance", m.balance, purchase::BalanceRequest(m.bytes), purchase::kBalanceAnswer);
  return {{"module", m.name}, {"balance", purchase::ReadBalance(Answer(answer))}};
}

json PurseCardInfo(ReaderDevice::State& s, const Params& p) {
  const Module m = ModuleOf(p);
  const Bytes answer = s.Exchange("card_info", m.card_info, purchase::CardInfoRequest(m.bytes),
                                  purchase::CardAnswer(m.bytes.card_id_bytes).card_info_answer_end);
  PurchaseRecord record{};
  purchase::ReadCardInfo(Answer(answer), m.bytes, record);
  json result = {{"module", m.name}};
  AddCardFields(result, record);
  return result;
}

json PurseRequest(ReaderDevice::State& s, const Params& p) {
  const Module m = ModuleOf(p);
  const auto amount = static_cast<std::uint32_t>(p.Integer("amount", kAmountMin, kAmountMax));
  const int param = static_cast<int>(p.Integer("param", 0, kByteMax, 0));
  const Bytes prep = PrepDataOf(p);
  const Bytes answer = s.Exchange(
      "request", m.request,
      purchase::RequestCardRequest(
          m.bytes, param, amount,
          std::span<const std::uint8_t, purchase::kPrepDataBytes>(prep.data(), prep.size())),
      purchase::CardAnswer(m.bytes.card_id_bytes).purchase_answer_end);
  PurchaseRecord record{};
  purchase::ReadCardSearch(Answer(answer), m.bytes, record);
  json result = {{"module", m.name}, {"amount", amount}, {"prep_data", HexOf(prep)}};
  AddCardFields(result, record);
  AddPrepFields(result, record);
  return result;
}

// ---- the whole purchase ---------------------------------------------------------------------

// The purse steps of the purchase procedure (tools/journal) over the core's requests: the
// very requests and answer readers of the e-purse exports.
class CorePurseSteps final : public journal::PurseSteps {
 public:
  CorePurseSteps(ReaderDevice::State& s, const Module& m) : s_(s), m_(m) {}

  journal::StepResult Init() override {
    Bytes answer;
    return Judge(
        "init", m_.init,
        Run(purchase::InitModuleRequest(m_.bytes, 0, 0), purchase::kInitModuleAnswer, answer));
  }
  journal::StepResult Balance(std::int32_t& balance) override {
    Bytes answer;
    const int result = Run(purchase::BalanceRequest(m_.bytes), purchase::kBalanceAnswer, answer);
    if (result == 0) balance = purchase::ReadBalance(Answer(answer));
    return Judge("balance", m_.balance, result);
  }
  journal::StepResult Request(PurchaseRecord& record) override {
    std::uint8_t prep[purchase::kPrepDataBytes + 1] = {};
    (void)HexToBytes(record.PrepData, prep, 2 * purchase::kPrepDataBytes);
    Bytes answer;
    const int result =
        Run(purchase::RequestCardRequest(m_.bytes, 0, static_cast<std::uint32_t>(record.Amount),
                                         std::span<const std::uint8_t, purchase::kPrepDataBytes>(
                                             prep, purchase::kPrepDataBytes)),
            purchase::CardAnswer(m_.bytes.card_id_bytes).purchase_answer_end, answer);
    if (result == 0) purchase::ReadCardSearch(Answer(answer), m_.bytes, record);
    return Judge("request", m_.request, result);
  }
  journal::StepResult Purchase(PurchaseRecord& record) override {
    Bytes answer;
    const int result =
        Run(purchase::PurchaseRequest(m_.bytes), purchase::kShortestPurchaseAnswer, answer);
    if (result == 0) purchase::ReadPurchase(Answer(answer), record);
    return Judge("purchase", m_.purchase, result);
  }
  journal::StepResult CardInfo(PurchaseRecord& record) override {
    Bytes answer;
    const int result =
        Run(purchase::CardInfoRequest(m_.bytes),
            purchase::CardAnswer(m_.bytes.card_id_bytes).card_info_answer_end, answer);
    if (result == 0) purchase::ReadCardInfo(Answer(answer), m_.bytes, record);
    return Judge("card_info", m_.card_info, result);
  }

 private:
  // A vanished port is a step without an answer here: the procedure settles what it can.
  int Run(const vorlex::Request& request, std::size_t minimum, Bytes& answer) {
    try {
      return s_.TryExchange(request, minimum, answer);
    } catch (const MethodError& error) {
      lost_ = error.message;
      return kCommandFailed;
    }
  }
  journal::StepResult Judge(const char* step, Texts texts, int result) const {
    if (result == 0) return {true, 0, ""};
    if (result == kCommandFailed) {
      return {false, result,
              lost_.empty() ? std::string(step) +
                                  ": no valid answer from the reader after 3 "
                                  "attempts"
                            : lost_};
    }
    char hex[5];
    std::snprintf(hex, sizeof hex, "%04X", static_cast<unsigned>(result) & 0xFFFF);
    return {false, result,
            std::string(step) + " failed: the reader answered with status 0x" + hex + " (" +
                text::GbkTo("UTF-8", MessagesOf(texts).failure) + ")"};
  }

  ReaderDevice::State& s_;
  const Module& m_;
  std::string lost_;
};

// The tool's step names for the procedure's, for the hints.
std::string_view HintStepOf(const std::string& failed_step) {
  if (failed_step == "balance_before" || failed_step == "balance_after") return "balance";
  if (failed_step == "card_check") return "card_info";
  return failed_step;
}

json OutcomeJson(const journal::PurchaseOutcome& out) {
  json result = {{"outcome", journal::NameOf(out.outcome)},
                 {"answer_lost", out.answer_lost},
                 {"replayed", out.replayed},
                 {"journal_id", out.journal_id},
                 {"key", out.key},
                 {"module", out.module},
                 {"amount", out.amount},
                 {"terminal_id", out.terminal_id},
                 {"balance_before", out.balance_before ? json(*out.balance_before) : json()},
                 {"balance_after", out.balance_after ? json(*out.balance_after) : json()}};
  if (out.balance_before && out.balance_after) {
    result["debited"] = static_cast<std::int64_t>(*out.balance_before) - *out.balance_after;
  }
  AddCardFields(result, out.record);
  AddPrepFields(result, out.record);
  AddResultFields(result, out.record);
  if (out.outcome != journal::Outcome::kDone) {
    char hex[5];
    std::snprintf(hex, sizeof hex, "%04X", static_cast<unsigned>(out.status) & 0xFFFF);
    result["failed_step"] = out.failed_step;
    result["status"] = out.status;
    result["status_hex"] = hex;
    result["reason"] = out.reason;
    result["hint"] = out.status == 0 || out.status == kCommandFailed
                         ? ""
                         : ReaderStatusHint(HintStepOf(out.failed_step), out.status);
  }
  if (!out.settled.empty()) {
    json settled = json::array();
    for (const journal::Settled& row : out.settled) {
      settled.push_back({{"journal_id", row.journal_id},
                         {"amount", row.amount},
                         {"outcome", journal::NameOf(row.outcome)}});
    }
    result["settled"] = std::move(settled);
  }
  return result;
}

[[noreturn]] void JournalUnavailable(const std::string& reason) {
  throw MethodError{kJournalUnavailable,
                    "the purchase journal cannot write: the purchase was refused before any "
                    "exchange (" +
                        reason + ")",
                    {{"reason", reason}}};
}

json PursePurchase(ReaderDevice::State& s, const Params& p) {
  const Module m = ModuleOf(p);
  journal::PurchaseRequest request;
  request.module = m.name;
  request.amount = static_cast<std::int32_t>(p.Integer("amount", kAmountMin, kAmountMax));
  request.prep_data = HexOf(PrepDataOf(p));
  request.key = p.Text("key", std::string());
  if (request.key.size() > 128) Refuse("key", "is at most 128 characters");
  if (s.options.journal_path.empty()) JournalUnavailable("no journal is configured");
  // Opened for each purchase: its lock is held while one runs, and readers that share a
  // journal take turns.
  std::unique_ptr<journal::Journal> journal;
  try {
    journal =
        std::make_unique<journal::Journal>(s.options.journal_path, journal::Journal::Mode::kWrite);
    if (!s.options.terminal_id.empty() && journal->terminal_id() != s.options.terminal_id) {
      journal->set_terminal_id(s.options.terminal_id);
    }
  } catch (const journal::JournalError& error) {
    JournalUnavailable(error.what());
  }
  CorePurseSteps steps(s, m);
  journal::PurchaseOutcome outcome;
  try {
    outcome = journal::RunPurchase(*journal, steps, request);
  } catch (const journal::JournalError& error) {
    JournalUnavailable(error.what());
  } catch (const std::invalid_argument& error) {
    Refuse("key", error.what());
  }
  return OutcomeJson(outcome);
}

json JournalList(ReaderDevice::State& s, const Params& p) {
  const int limit = static_cast<int>(p.Integer("limit", 1, kListMax, 20));
  if (s.options.journal_path.empty()) JournalUnavailable("no journal is configured");
  json purchases = json::array();
  std::error_code missing;
  if (!std::filesystem::exists(s.options.journal_path, missing)) {
    return {{"purchases", std::move(purchases)}};  // no purchase yet
  }
  try {
    journal::Journal journal(s.options.journal_path, journal::Journal::Mode::kRead);
    journal::Filter filter;
    filter.limit = limit;
    filter.newest_first = true;
    for (const journal::Row& row : journal.List(filter)) {
      purchases.push_back({{"id", row.seq},
                           {"time", row.created_at},
                           {"card_id", row.card_id},
                           {"amount", row.amount},
                           {"outcome", row.state},
                           {"key", row.key},
                           {"module", row.module}});
    }
  } catch (const journal::JournalError& error) {
    JournalUnavailable(error.what());
  }
  return {{"purchases", std::move(purchases)}};
}

constexpr MethodEntry kMethods[] = {
    {"purse.init", PurseInit, true, false},          {"purse.balance", PurseBalance, true, false},
    {"purse.card_info", PurseCardInfo, true, false}, {"purse.request", PurseRequest, true, false},
    {"purse.purchase", PursePurchase, true, false},  {"journal.list", JournalList, true, false},
};

}  // namespace

std::span<const MethodEntry> PurseMethods() { return kMethods; }

}  // namespace vorlex::agent
