// The e-purse edition's purchase modules: the single steps (purse ...) and a whole purchase.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "commands.h"
#include "interrupt.h"
#include "journal.h"
#include "numbers.h"
#include "purchase.h"

namespace vorlex::cli {
namespace {

struct ModuleCalls {
  std::string name;
  decltype(&::CPU_PBOC_INIT_MODULE) init;
  decltype(&::CPU_PBOC_REQA_CARD) request;
  decltype(&::CPU_PBOC_PURCHASE) purchase;
  decltype(&::CPU_PBOC_GET_BALANCE) balance;
  decltype(&::CPU_PBOC_GET_CARDINFO) card_info;
};

ModuleCalls ModuleOf(const Session& s, const std::string& name) {
  const EditionLibrary& lib = s.lib();
  if (name == "rfsim") {
    return {name,
            lib.RFSIM_INIT_MODULE,
            lib.RFSIM_REQA_CARD,
            lib.RFSIM_PURCHASE,
            lib.RFSIM_GET_BALANCE,
            lib.RFSIM_GET_CARDINFO};
  }
  return {name,
          lib.CPU_PBOC_INIT_MODULE,
          lib.CPU_PBOC_REQA_CARD,
          lib.CPU_PBOC_PURCHASE,
          lib.CPU_PBOC_GET_BALANCE,
          lib.CPU_PBOC_GET_CARDINFO};
}

// Amounts and balances are whole cents of the purse.
std::string Money(std::int64_t cents) {
  char text[48];
  const long long whole = (cents < 0 ? -cents : cents);
  std::snprintf(text, sizeof text, "%lld cents (%s%lld.%02lld)", static_cast<long long>(cents),
                cents < 0 ? "-" : "", whole / 100, whole % 100);
  return text;
}

std::string HexAndDecimal(std::uint32_t value, int digits) {
  return "0x" + Hex(value, digits) + "  " + std::to_string(value);
}

struct PurseArgs {
  std::string module = "cpu";
  std::string amount, prep, param = "0", p1 = "0", p2 = "0";
  std::string key, journal;
};

PurchaseRecord Prepared(const PurseArgs& args) {
  if (args.amount.empty()) throw UsageError("--amount N is needed (whole cents of the purse)");
  PurchaseRecord record{};
  // The record holds a signed 32-bit amount: nothing above 2^31 - 1 is sent, nothing is cut.
  record.Amount = static_cast<std::int32_t>(ParseNumber(args.amount, 1, 0x7FFFFFFF, "--amount"));
  const std::string prep =
      ParseHexBytes(args.prep.empty() ? journal::PrepDataNow() : args.prep, 7, "--prep");
  if (const std::string fault = journal::PrepDataFault(prep); !fault.empty()) {
    throw UsageError("--prep " + prep + ": " + fault);
  }
  std::memcpy(record.PrepData, prep.c_str(), prep.size() + 1);
  return record;
}

void Init(Session& s, const ModuleCalls& m, int p1, int p2) {
  char module_data[13] = {};
  Message message;
  s.Check("init", m.init(s.reader(), p1, p2, module_data, message.text), message.text);
  s.out().Field("module_data", module_data);
}

std::int32_t Balance(Session& s, const ModuleCalls& m, const std::string& step) {
  std::int32_t balance = 0;
  Message message;
  s.Check(step, m.balance(s.reader(), &balance, message.text), message.text);
  return balance;
}

void CardFields(Session& s, const PurchaseRecord& record) {
  s.out().Group("Card");
  s.out().Field("card_id", record.CardId);
  s.out().Field("card_info", record.CardInfo);
  s.out().Field("card_value24", record.CardValue24, HexAndDecimal(record.CardValue24, 6));
}

void Request(Session& s, const ModuleCalls& m, int param, PurchaseRecord& record) {
  Message message;
  s.Check("request", m.request(s.reader(), param, record, &record, message.text), message.text);
  CardFields(s, record);
  s.out().Group("Preparation (the module's answer)");
  s.out().Field("prep_text", record.PrepText);
  s.out().Field("prep_byte1", record.PrepByte1, HexAndDecimal(record.PrepByte1, 2));
  s.out().Field("prep_byte2", record.PrepByte2, HexAndDecimal(record.PrepByte2, 2));
  s.out().Field("prep_value16", record.PrepValue16, HexAndDecimal(record.PrepValue16, 4));
  s.out().Field("prep_value32", record.PrepValue32, HexAndDecimal(record.PrepValue32, 8));
}

void ResultFields(Session& s, const PurchaseRecord& record) {
  s.out().Group("Result");
  s.out().Field("result_text1", record.ResultText1);
  s.out().Field("result_text2", record.ResultText2);
  s.out().Field("result_text3", record.ResultText3);
  s.out().Field("result_text4", record.ResultText4);
}

// The purse steps over the library's exports, for the one purchase procedure: each call is
// a step of the report (and of "steps"), its fields shown as they come. A reader that stopped
// answering is a failed step like another; its failure is kept for the report.
class CliSteps : public journal::PurseSteps {
 public:
  CliSteps(Session& s, std::function<ModuleCalls(Session&)> open) : s_(s), open_(std::move(open)) {}

  journal::StepResult Init() override {
    char module_data[13] = {};
    Message message;
    const journal::StepResult result =
        Run("init", m().init(s_.reader(), 0, 0, module_data, message.text), message.text);
    if (result.ok) s_.out().Field("module_data", module_data);
    return result;
  }
  journal::StepResult Balance(std::int32_t& balance) override {
    const std::string step = settle_            ? "balance"
                             : balances_++ == 0 ? "balance_before"
                                                : "balance_after";
    Message message;
    const journal::StepResult result =
        Run(step, m().balance(s_.reader(), &balance, message.text), message.text);
    if (result.ok && step == "balance_before") {
      s_.out().Group("Before");
      s_.out().Field("balance_before", balance, Money(balance));
      s_.out().Field("amount", amount_, Money(amount_));
      s_.out().Field("prep_data", prep_data_);
    }
    return result;
  }
  journal::StepResult Request(PurchaseRecord& record) override {
    Message message;
    const journal::StepResult result =
        Run("request", m().request(s_.reader(), 0, record, &record, message.text), message.text);
    if (result.ok) {
      CardFields(s_, record);
      s_.out().Group("Preparation (the module's answer)");
      s_.out().Field("prep_text", record.PrepText);
      s_.out().Field("prep_byte1", record.PrepByte1, HexAndDecimal(record.PrepByte1, 2));
      s_.out().Field("prep_byte2", record.PrepByte2, HexAndDecimal(record.PrepByte2, 2));
      s_.out().Field("prep_value16", record.PrepValue16, HexAndDecimal(record.PrepValue16, 4));
      s_.out().Field("prep_value32", record.PrepValue32, HexAndDecimal(record.PrepValue32, 8));
    }
    return result;
  }
  journal::StepResult Purchase(PurchaseRecord& record) override {
    // From here the money may move: a second signal no longer ends the tool at once.
    HoldSecondSignal();
    Message message;
    const journal::StepResult result =
        Run("purchase", m().purchase(s_.reader(), &record, message.text), message.text);
    if (result.ok) s_.out().PinMessage();
    return result;
  }
  journal::StepResult CardInfo(PurchaseRecord& record) override {
    Message message;
    return Run("card_info", m().card_info(s_.reader(), 0, &record, message.text), message.text);
  }
  void Checkpoint(const char* next_step) override {
    m();
    s_.Checkpoint(next_step);
  }

  void SetSettling() { settle_ = true; }
  int exchanges() const { return exchanges_; }
  void SetPurchase(std::int32_t amount, std::string prep_data) {
    amount_ = amount;
    prep_data_ = std::move(prep_data);
  }
  // The failure of a step, as the report shows it.
  CommandFailed FailureOf(const std::string& step) const {
    const auto found = failures_.find(step);
    return found == failures_.end() ? CommandFailed{step, 0, "", "", ""} : found->second;
  }

 private:
  const ModuleCalls& m() {
    if (!module_) module_ = open_(s_);
    return *module_;
  }
  journal::StepResult Run(const std::string& step, int result, const char* message) {
    ++exchanges_;
    try {
      if (s_.Call(step, result, message)) return {true, 0, ""};
      failures_[step] = s_.last_failure();
    } catch (const Stopped& stop) {
      if (stop.signal != 0) throw;
      CommandFailed failure = s_.last_failure();
      failure.step = step;
      failure.explanation = stop.explanation;  // a reader that stopped answering says so
      failures_[step] = failure;
    }
    return {false, result, failures_[step].explanation};
  }

  Session& s_;
  std::function<ModuleCalls(Session&)> open_;
  std::optional<ModuleCalls> module_;
  std::map<std::string, CommandFailed> failures_;
  int balances_ = 0;
  int exchanges_ = 0;
  bool settle_ = false;
  std::int32_t amount_ = 0;
  std::string prep_data_;
};

std::string JournalPath(const std::string& given) {
  return given.empty() ? journal::Journal::DefaultPath() : given;
}

// The journal, for writing: a journal that cannot take the purchase's rows refuses it before
// anything is sent.
std::unique_ptr<journal::Journal> OpenJournal(const std::string& given) {
  try {
    return std::make_unique<journal::Journal>(JournalPath(given), journal::Journal::Mode::kWrite);
  } catch (const journal::JournalError& error) {
    throw JournalUnavailable{error.what()};
  }
}

void ShowSettled(Session& s, const std::vector<journal::Settled>& settled) {
  if (settled.empty()) return;
  Json list = Json::array();
  for (const journal::Settled& one : settled) {
    list.push_back({{"journal_id", one.journal_id},
                    {"amount", one.amount},
                    {"outcome", journal::NameOf(one.outcome)}});
    s.out().Line("earlier purchase " + std::to_string(one.journal_id) + " of this card (" +
                 Money(one.amount) + ") settled from its balance: " + journal::NameOf(one.outcome));
  }
  s.out().JsonOnly("settled", list);
}

// The outcome of a whole purchase, as the report shows it; a purchase that was not done or
// whose outcome is unknown ends the command as such.
void ReportPurchase(Session& s, CliSteps& steps, const journal::PurchaseOutcome& o) {
  s.out().Group("Journal");
  s.out().Field("journal_id", o.journal_id, std::to_string(o.journal_id));
  s.out().Field("key", o.key);
  s.out().JsonOnly("outcome", journal::NameOf(o.outcome));
  if (!o.journal_error.empty()) {
    s.out().JsonOnly("journal_error", o.journal_error);
    s.out().Line("the journal could not record this outcome (" + o.journal_error +
                 "): it is settled from the card's balance at the next start");
  }
  s.out().JsonOnly("replayed", o.replayed);
  ShowSettled(s, o.settled);
  if (o.replayed) {
    s.out().Line("replayed: this key is already in the journal; nothing was sent");
    s.out().Field("outcome", journal::NameOf(o.outcome));
    s.out().Field("amount", o.amount, Money(o.amount));
    if (!std::string(o.record.CardId).empty()) s.out().Field("card_id", o.record.CardId);
    if (o.balance_before)
      s.out().Field("balance_before", *o.balance_before, Money(*o.balance_before));
    if (o.balance_after) s.out().Field("balance_after", *o.balance_after, Money(*o.balance_after));
    s.out().JsonOnly("answer_lost", o.answer_lost);
    if (o.outcome == journal::Outcome::kDone && !o.answer_lost) ResultFields(s, o.record);
    if (o.outcome == journal::Outcome::kNotDone) {
      throw CommandFailed{o.failed_step, o.status, "",
                          "purchase " + std::to_string(o.journal_id) +
                              " with this key was not done: " + o.reason +
                              " (nothing was sent now)",
                          "a new purchase needs a new key"};
    }
    if (o.outcome == journal::Outcome::kUnknown) {
      throw OutcomeUnknown{"purchase", o.status,
                           "purchase " + std::to_string(o.journal_id) +
                               " with this key: " + o.reason +
                               " (nothing was sent now; `vorlex journal settle` with the card "
                               "on the reader)"};
    }
    s.MoneyMoved();
    return;
  }
  if (o.outcome == journal::Outcome::kDone) {
    s.MoneyMoved();
    s.out().JsonOnly("answer_lost", o.answer_lost);
    if (o.answer_lost) {
      s.out().JsonOnly("warning", o.reason + "; its result fields are missing");
      s.out().Group("Result");
      s.out().Line(
          "done, but the reader's answer was lost: the balance shows the card was debited");
      s.out().Line("by the amount; the result fields (serial, transaction code) are missing");
      const std::string why = steps.FailureOf("purchase").explanation;
      if (!why.empty()) s.out().Line("(" + why + ")");
    } else {
      ResultFields(s, o.record);
    }
    s.out().Group("After");
    if (o.balance_after) {
      s.out().Field("balance_after", *o.balance_after, Money(*o.balance_after));
      const std::int64_t debited = static_cast<std::int64_t>(*o.balance_before) - *o.balance_after;
      s.out().Field("debited", debited, Money(debited));
    } else {
      s.out().JsonOnly("warning", "the purchase is done; the balance after it could not be read");
      s.out().Line("done; the balance after it could not be read");
    }
    return;
  }
  if (o.balance_after) {
    s.out().Group("After");
    s.out().Field("balance_after", *o.balance_after, Money(*o.balance_after) + " (not debited)");
  }
  if (o.outcome == journal::Outcome::kUnknown) throw OutcomeUnknown{"purchase", o.status, o.reason};
  CommandFailed failure = steps.FailureOf(o.failed_step);
  if (failure.explanation.empty()) failure.explanation = o.reason;
  if (o.failed_step == "card_check") failure.hint = "leave one card on the reader, then try again";
  throw failure;
}

}  // namespace

void AddPurseCommands(CLI::App& app, Registry& registry) {
  auto a = std::make_shared<PurseArgs>();
  const auto module_option = [a](CLI::App* command) {
    command->add_option("--module", a->module, "cpu (CPU_PBOC_*, default) or rfsim (RFSIM_*)")
        ->check(CLI::IsMember({"cpu", "rfsim"}));
  };
  const auto open = [a](Session& s) {
    s.Open(Edition::kEpurse);
    const ModuleCalls m = ModuleOf(s, a->module);
    s.out().Field("module", m.name);
    return m;
  };

  CLI::App* purse = app.add_subcommand("purse", "one step of a purchase module (e-purse edition)");
  purse->require_subcommand(1);
  module_option(purse);

  CLI::App* init = purse->add_subcommand("init", "initialise the module");
  init->add_option("p1", a->p1, "first parameter, 0-255 (default 0)");
  init->add_option("p2", a->p2, "second parameter, 0-255 (default 0)");
  registry.Add(init, [a, open](Session& s) {
    const int p1 = static_cast<int>(ParseNumber(a->p1, 0, 255, "P1"));
    const int p2 = static_cast<int>(ParseNumber(a->p2, 0, 255, "P2"));
    Init(s, open(s), p1, p2);
  });

  const auto amount_options = [a](CLI::App* command) {
    command->add_option("--amount", a->amount, "the amount in whole cents, 1 to 2147483647")
        ->required();
    command->add_option("--prep", a->prep,
                        "the 7 preparation bytes in hex (default: now, as BCD YYYYMMDDhhmmss)");
  };
  CLI::App* request = purse->add_subcommand("request", "find a card and prepare a purchase");
  amount_options(request);
  request->add_option("--param", a->param, "the request's parameter, 0-255 (default 0)");
  registry.Add(request, [a, open](Session& s) {
    PurchaseRecord record = Prepared(*a);
    const int param = static_cast<int>(ParseNumber(a->param, 0, 255, "--param"));
    const ModuleCalls m = open(s);
    s.out().Field("amount", record.Amount, Money(record.Amount));
    Request(s, m, param, record);
  });

  registry.Add(purse->add_subcommand("purchase", "carry out the prepared purchase"),
               [open](Session& s) {
                 const ModuleCalls m = open(s);
                 PurchaseRecord record{};
                 Message message;
                 s.Check("purchase", m.purchase(s.reader(), &record, message.text), message.text);
                 ResultFields(s, record);
               });
  registry.Add(purse->add_subcommand("balance", "the card's balance"), [open](Session& s) {
    const ModuleCalls m = open(s);
    const std::int32_t balance = Balance(s, m, "balance");
    s.out().Field("balance", balance, Money(balance));
  });
  registry.Add(purse->add_subcommand("card-info", "the card's identity"), [open](Session& s) {
    const ModuleCalls m = open(s);
    PurchaseRecord record{};
    Message message;
    s.Check("card_info", m.card_info(s.reader(), 0, &record, message.text), message.text);
    CardFields(s, record);
  });

  CLI::App* purchase = app.add_subcommand(
      "purchase",
      "a whole purchase, journaled: init, balance, request, purchase, balance (e-purse edition)");
  module_option(purchase);
  amount_options(purchase);
  purchase->add_option("--key", a->key,
                       "idempotency key: a key already in the journal returns that purchase and "
                       "sends nothing (default: a new one, shown)");
  purchase
      ->add_option("--journal", a->journal,
                   "the journal file (default: $XDG_STATE_HOME/vorlex/journal.db)")
      ->envname("VORLEX_JOURNAL");
  registry.Add(purchase, [a, open](Session& s) {
    const PurchaseRecord record = Prepared(*a);
    std::unique_ptr<journal::Journal> book = OpenJournal(a->journal);
    s.out().JsonOnly("journal", book->path());
    CliSteps steps(s, open);
    steps.SetPurchase(record.Amount, record.PrepData);
    journal::PurchaseRequest asked;
    asked.module = a->module;
    asked.amount = record.Amount;
    asked.prep_data = record.PrepData;
    asked.key = a->key;
    journal::PurchaseOutcome outcome;
    try {
      outcome = journal::RunPurchase(*book, steps, asked);
    } catch (const journal::JournalError& error) {
      // Before the purchase request: it was not sent.
      throw JournalUnavailable{error.what(), steps.exchanges() > 0};
    } catch (const std::invalid_argument& error) {
      throw UsageError(error.what());
    }
    ReportPurchase(s, steps, outcome);
  });

  CLI::App* journal_command = app.add_subcommand(
      "journal", "the purchase journal: list, show, export, settle, resolve, push");
  AddJournalCommands(
      journal_command, registry,
      [a, open](Session& s, const std::string& path) {
        std::unique_ptr<journal::Journal> book = OpenJournal(path);
        CliSteps steps(s, [a, open](Session& session) { return open(session); });
        steps.SetSettling();
        std::string card_id;
        std::vector<journal::Settled> settled;
        try {
          settled = journal::SettleFromCard(*book, steps, a->module, card_id);
        } catch (const journal::JournalError& error) {
          throw JournalUnavailable{error.what()};
        } catch (const std::runtime_error& error) {
          throw CommandFailed{"settle", 1, "", error.what(),
                              "put the card on the reader and run settle again"};
        }
        s.out().Field("card_id", card_id);
        s.out().Field(
            "settled", static_cast<std::int64_t>(settled.size()),
            std::to_string(settled.size()) + " unknown purchase(s) of this card looked at");
        ShowSettled(s, settled);
      },
      module_option);
}

}  // namespace vorlex::cli
