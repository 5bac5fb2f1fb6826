// The e-purse edition's purchase modules: the single steps (purse ...) and a whole purchase.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "commands.h"
#include "numbers.h"

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

// The current local time as the 7 BCD bytes YYYYMMDDhhmmss, in hex text.
std::string NowBcd() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[16];
  std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &local);
  return text;
}

struct PurseArgs {
  std::string module = "cpu";
  std::string amount, prep, param = "0", p1 = "0", p2 = "0";
};

PurchaseRecord Prepared(const PurseArgs& args) {
  if (args.amount.empty()) throw UsageError("--amount N is needed (whole cents of the purse)");
  PurchaseRecord record{};
  // The record holds a signed 32-bit amount: nothing above 2^31 - 1 is sent, nothing is cut.
  record.Amount = static_cast<std::int32_t>(ParseNumber(args.amount, 0, 0x7FFFFFFF, "--amount"));
  const std::string prep = ParseHexBytes(args.prep.empty() ? NowBcd() : args.prep, 7, "--prep");
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

// Session::Call for a step whose failure is looked into rather than ending the command: a
// reader that stopped answering is a failure like another (a signal still ends it).
bool Tried(Session& s, const std::string& step, int result, const char* message, std::string& why) {
  try {
    if (s.Call(step, result, message)) return true;
    why = s.last_failure().explanation;
  } catch (const Stopped& stop) {
    if (stop.signal != 0) throw;
    why = stop.explanation;
  }
  return false;
}

// The purchase of a whole purchase. When it fails, the answer may have been lost after the
// module debited the card (the library's retry then finds no purchase prepared): the balance
// tells. Debited by the amount: done, without the result fields. Not debited: the failure.
// Anything else, or no balance: the outcome is unknown.
std::int32_t PurchaseAndBalance(Session& s, const ModuleCalls& m, PurchaseRecord& record,
                                std::int32_t before) {
  Message message;
  const int result = m.purchase(s.reader(), &record, message.text);
  std::string why;
  if (Tried(s, "purchase", result, message.text, why)) {
    s.out().JsonOnly("answer_lost", false);
    ResultFields(s, record);
    s.out().PinMessage();
    s.Checkpoint("balance_after");
    return Balance(s, m, "balance_after");
  }
  const CommandFailed failure = s.last_failure();
  std::int32_t after = 0;
  Message balance_message;
  std::string balance_why;
  if (!Tried(s, "balance_after", m.balance(s.reader(), &after, balance_message.text),
             balance_message.text, balance_why)) {
    throw OutcomeUnknown{"purchase", result,
                         why + "; then the balance could not be read (" + balance_why + ")"};
  }
  const std::int64_t debited = static_cast<std::int64_t>(before) - after;
  if (debited == 0) {
    s.out().Group("After");
    s.out().Field("balance_after", after, Money(after) + " (not debited)");
    throw failure;
  }
  if (debited != record.Amount) {
    throw OutcomeUnknown{"purchase", result,
                         why + "; and the balance moved by " + Money(debited) + ", not by the " +
                             Money(record.Amount) + " of this purchase"};
  }
  s.out().JsonOnly("answer_lost", true);
  s.out().JsonOnly("warning", "the reader's answer to the purchase was lost (" + why +
                                  "); the balance shows the card was debited by the amount, so "
                                  "the purchase is done; its result fields are missing");
  s.out().Group("Result");
  s.out().Line("done, but the reader's answer was lost: the balance shows the card was debited");
  s.out().Line("by the amount; the result fields (serial, transaction code) are missing");
  s.out().Line("(" + why + ")");
  return after;
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
    command->add_option("--amount", a->amount, "the amount in whole cents, 0 to 2147483647")
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
      "purchase", "a whole purchase: init, balance, request, purchase, balance (e-purse edition)");
  module_option(purchase);
  amount_options(purchase);
  registry.Add(purchase, [a, open](Session& s) {
    PurchaseRecord record = Prepared(*a);
    const ModuleCalls m = open(s);
    Init(s, m, 0, 0);
    s.Checkpoint("balance_before");
    const std::int32_t before = Balance(s, m, "balance_before");
    s.out().Group("Before");
    s.out().Field("balance_before", before, Money(before));
    s.out().Field("amount", record.Amount, Money(record.Amount));
    s.out().Field("prep_data", record.PrepData);
    s.Checkpoint("request");
    Request(s, m, 0, record);
    s.Checkpoint("purchase");
    const std::int32_t after = PurchaseAndBalance(s, m, record, before);
    s.out().Group("After");
    s.out().Field("balance_after", after, Money(after));
    s.out().Field("debited", before - after, Money(before - after));
  });
}

}  // namespace vorlex::cli
