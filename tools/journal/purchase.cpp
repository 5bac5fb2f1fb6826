#include "purchase.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <stdexcept>
#include <thread>

#include "journal.h"

namespace vorlex::journal {
namespace {

constexpr std::uint32_t kMaxValue24 = 0xFFFFFF;

std::string Text(const char* field, std::size_t size) {
  return std::string(field, strnlen(field, size));
}
#define FIELD(record, name) Text((record).name, sizeof(record).name)

template <std::size_t N>
void Put(char (&field)[N], const std::string& text) {
  std::snprintf(field, N, "%s", text.c_str());
}

std::string Money(std::int64_t cents) { return std::to_string(cents) + " cents"; }

std::string ReasonOf(const char* step, const StepResult& result) {
  if (!result.reason.empty()) return result.reason;
  char text[96];
  std::snprintf(text, sizeof text, "%s failed: status 0x%04X", step, result.status);
  return text;
}

Outcome OutcomeOf(const std::string& state) {
  if (state == "done") return Outcome::kDone;
  if (state == "unknown" || state == "sent") return Outcome::kUnknown;
  return Outcome::kNotDone;
}

PurchaseOutcome FromRow(const Row& row) {
  PurchaseOutcome out;
  out.outcome = OutcomeOf(row.state);
  out.answer_lost = row.answer_lost;
  out.journal_id = row.seq;
  out.key = row.key;
  out.terminal_id = row.terminal_id;
  out.module = row.module;
  out.amount = row.amount;
  out.balance_before = row.balance_before;
  out.balance_after = row.balance_after;
  PurchaseRecord& r = out.record;
  r.Amount = row.amount;
  Put(r.PrepData, row.prep_data);
  Put(r.CardId, row.card_id);
  Put(r.CardInfo, row.card_info);
  Put(r.PrepText, row.prep_text);
  Put(r.ResultText1, row.result_text1);
  Put(r.ResultText2, row.result_text2);
  Put(r.ResultText3, row.result_text3);
  Put(r.ResultText4, row.result_text4);
  r.CardValue24 = static_cast<std::uint32_t>(row.card_value24.value_or(0));
  r.PrepByte1 = static_cast<unsigned char>(row.prep_byte1.value_or(0));
  r.PrepByte2 = static_cast<unsigned char>(row.prep_byte2.value_or(0));
  r.PrepValue16 = static_cast<std::uint32_t>(row.prep_value16.value_or(0));
  r.PrepValue32 = static_cast<std::uint32_t>(row.prep_value32.value_or(0));
  out.failed_step = row.failed_step;
  out.status = static_cast<int>(row.status.value_or(0));
  out.reason = row.reason;
  return out;
}

// This card's unknown rows, each settled by the balance the card had next: debited by exactly
// the row's amount since its balance_before, done; unchanged, not_done; else still unknown.
std::vector<Settled> SettleRows(Journal& journal, const std::string& module,
                                const std::string& card_id, std::int32_t balance_now) {
  std::vector<Settled> settled;
  for (const Row& row : journal.UnknownOf(module, card_id)) {
    Settled one{row.seq, row.amount, Outcome::kUnknown};
    const std::int32_t next =
        journal.NextBalanceBefore(module, card_id, row.seq).value_or(balance_now);
    if (row.balance_before) {
      const std::int64_t moved = static_cast<std::int64_t>(*row.balance_before) - next;
      if (moved == row.amount) {
        journal.Finish(row.seq, "done", nullptr, next, true, "", 0,
                       "settled from the card's balance: debited by the amount since " +
                           Money(*row.balance_before),
                       "balance");
        one.outcome = Outcome::kDone;
      } else if (moved == 0) {
        journal.Finish(row.seq, "not_done", nullptr, next, false, "purchase", 0,
                       "settled from the card's balance: not debited (still " + Money(next) + ")",
                       "balance");
        one.outcome = Outcome::kNotDone;
      }
    }
    settled.push_back(one);
  }
  return settled;
}

}  // namespace

const char* NameOf(Outcome outcome) {
  switch (outcome) {
    case Outcome::kDone:
      return "done";
    case Outcome::kNotDone:
      return "not_done";
    case Outcome::kUnknown:
      break;
  }
  return "unknown";
}

std::string MakeKey() {
  std::random_device random;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string key;
  for (int i = 0; i < 32; ++i) key += kHex[random() & 15];
  return key;
}

void KillPoint(const char* point) {
  const char* at = std::getenv("VORLEX_JOURNAL_KILL_AT");
  if (at == nullptr || std::strcmp(at, point) != 0) return;
  // INT2: SIGINT twice, as a program under `vorlex-sim run` may get it (its process group's and
  // the one run passes on).
  const std::string name = std::getenv("VORLEX_JOURNAL_KILL_SIGNAL")
                               ? std::getenv("VORLEX_JOURNAL_KILL_SIGNAL")
                               : "KILL";
  const int signal = name.rfind("INT", 0) == 0    ? SIGINT
                     : name.rfind("TERM", 0) == 0 ? SIGTERM
                                                  : SIGKILL;
  kill(getpid(), signal);
  if (name.size() > 1 && name.back() == '2') {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    kill(getpid(), signal);
  }
  // A watched signal is taken by another thread: give it the time to be noted.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

PurchaseOutcome RunPurchase(Journal& journal, PurseSteps& steps, const PurchaseRequest& request) {
  if (request.module != "cpu" && request.module != "rfsim") {
    throw std::invalid_argument("module must be cpu or rfsim, not " + request.module);
  }
  if (request.amount < 1) {
    throw std::invalid_argument("the amount is 1 to 2147483647 cents, not " +
                                std::to_string(request.amount));
  }
  if (request.key.size() > 128 || std::any_of(request.key.begin(), request.key.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
      })) {
    throw std::invalid_argument("the key is at most 128 characters, without control characters");
  }
  PurchaseOutcome out;
  out.key = request.key.empty() ? MakeKey() : request.key;
  if (std::optional<Row> row = journal.FindKey(out.key)) {
    if (row->amount != request.amount || row->module != request.module) {
      throw std::invalid_argument("the key " + out.key + " is purchase " +
                                  std::to_string(row->seq) + " of the journal, " +
                                  Money(row->amount) + " on the " + row->module +
                                  " module: a new purchase needs a new key");
    }
    out = FromRow(*row);
    out.replayed = true;
    return out;
  }
  std::string prep_data = request.prep_data;
  if (prep_data.empty()) prep_data = PrepDataNow();
  if (prep_data.size() != 14 ||
      prep_data.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
    throw std::invalid_argument("the preparation data is 14 hex digits, not " + prep_data);
  }
  out.module = request.module;
  out.amount = request.amount;
  out.terminal_id = journal.terminal_id();
  PurchaseRecord& record = out.record;
  record.Amount = request.amount;
  Put(record.PrepData, prep_data);

  const std::int64_t seq = journal.Intent(out.key, request.module, request.amount, prep_data);
  out.journal_id = seq;
  KillPoint("intent");

  const auto end = [&](Outcome outcome, const char* step, int status, std::string reason,
                       const std::string& settled_by) {
    out.outcome = outcome;
    out.failed_step = step;
    out.status = status;
    out.reason = std::move(reason);
    try {
      journal.Finish(seq, NameOf(outcome), &record, out.balance_after, out.answer_lost, step,
                     status, out.reason, settled_by);
    } catch (const JournalError& error) {
      // Once the request has gone the outcome is told all the same; the row stays `sent` and
      // is settled from the card's balance at the next start.
      if (!out.sent) throw;
      out.journal_error = error.what();
    }
    KillPoint(NameOf(outcome));
    return out;
  };

  // Up to the purchase request nothing moves money: any stop is not_done.
  try {
    steps.Checkpoint("init");
    StepResult result = steps.Init();
    KillPoint("init");
    if (!result.ok)
      return end(Outcome::kNotDone, "init", result.status, ReasonOf("init", result), "");
    steps.Checkpoint("balance_before");
    std::int32_t before = 0;
    result = steps.Balance(before);
    KillPoint("balance_before");
    if (!result.ok) {
      return end(Outcome::kNotDone, "balance_before", result.status,
                 ReasonOf("balance_before", result), "");
    }
    out.balance_before = before;
    steps.Checkpoint("request");
    result = steps.Request(record);
    KillPoint("request");
    if (!result.ok) {
      return end(Outcome::kNotDone, "request", result.status, ReasonOf("request", result), "");
    }
    // The card that took the purchase initialisation shows its balance: it must be the one
    // whose balance was read, so that the balance can settle this purchase.
    const std::uint32_t shown =
        std::min<std::uint32_t>(static_cast<std::uint32_t>(before), kMaxValue24);
    if (record.CardValue24 != shown) {
      return end(Outcome::kNotDone, "card_check", 0,
                 "the card that answered the request (card_id " + FIELD(record, CardId) +
                     ") shows a balance of " + Money(record.CardValue24) + ", not the " +
                     Money(before) +
                     " read just before: another card, or its balance moved; nothing was sent",
                 "");
    }
    out.settled = SettleRows(journal, request.module, FIELD(record, CardId), before);
    journal.Prepared(seq, record, before);
    KillPoint("prepared");
    steps.Checkpoint("purchase");
  } catch (const JournalError&) {
    throw;  // nothing moved; the row is settled not_done at the next start
  } catch (...) {
    try {
      journal.Finish(seq, "not_done", &record, std::nullopt, false, "stopped", 0,
                     "stopped before the purchase request was sent", "");
    } catch (const JournalError&) {
    }
    throw;
  }

  journal.Sent(seq);
  KillPoint("sent");
  out.sent = true;
  const StepResult purchase = steps.Purchase(record);
  KillPoint("purchase");
  if (purchase.ok) {
    end(Outcome::kDone, "", 0, "", "answer");
    std::int32_t after = 0;
    if (steps.Balance(after).ok) {
      out.balance_after = after;
      if (out.journal_error.empty()) {
        try {
          journal.Finish(seq, "done", &record, after, false, "", 0, "", "answer");
        } catch (const JournalError& error) {
          out.journal_error = error.what();
        }
      }
    }
    KillPoint("balance_after");
    return out;
  }
  // No answer, or a refusal: which card is on the reader now, and its balance, tell.
  const std::string why = ReasonOf("purchase", purchase);
  const std::string card_id = FIELD(record, CardId);
  PurchaseRecord now{};
  const StepResult identified = steps.CardInfo(now);
  KillPoint("card_info");
  if (!identified.ok) {
    return end(
        Outcome::kUnknown, "purchase", purchase.status,
        why + "; then the card could not be identified (" + ReasonOf("card_info", identified) + ")",
        "");
  }
  if (FIELD(now, CardId) != card_id) {
    return end(Outcome::kUnknown, "purchase", purchase.status,
               why + "; then another card (card_id " + FIELD(now, CardId) +
                   ") was on the reader, not card_id " + card_id +
                   ": put that card back and run `vorlex journal settle`",
               "");
  }
  std::int32_t after = 0;
  const StepResult balance = steps.Balance(after);
  KillPoint("balance_after");
  if (!balance.ok) {
    return end(
        Outcome::kUnknown, "purchase", purchase.status,
        why + "; then the balance could not be read (" + ReasonOf("balance_after", balance) + ")",
        "");
  }
  out.balance_after = after;
  const std::int64_t debited = static_cast<std::int64_t>(*out.balance_before) - after;
  if (debited == 0) return end(Outcome::kNotDone, "purchase", purchase.status, why, "balance");
  if (debited == request.amount) {
    out.answer_lost = true;
    return end(Outcome::kDone, "", 0,
               "the reader's answer to the purchase was lost (" + why +
                   "); the balance shows the card was debited by the amount",
               "balance");
  }
  return end(Outcome::kUnknown, "purchase", purchase.status,
             why + "; and the balance moved by " + Money(debited) + ", not by the " +
                 Money(request.amount) + " of this purchase",
             "");
}

std::vector<Settled> SettleFromCard(Journal& journal, PurseSteps& steps, const std::string& module,
                                    std::string& card_id) {
  const auto fail = [](const char* step, const StepResult& result) {
    throw std::runtime_error(ReasonOf(step, result));
  };
  StepResult result = steps.Init();
  if (!result.ok) fail("init", result);
  PurchaseRecord card{};
  result = steps.CardInfo(card);
  if (!result.ok) fail("card_info", result);
  std::int32_t balance = 0;
  result = steps.Balance(balance);
  if (!result.ok) fail("balance", result);
  // The balance must be that card's: the card shows it too (up to 24 bits).
  PurchaseRecord again{};
  result = steps.CardInfo(again);
  if (!result.ok) fail("card_info", result);
  if (FIELD(card, CardId) != FIELD(again, CardId) ||
      again.CardValue24 !=
          std::min<std::uint32_t>(static_cast<std::uint32_t>(balance), kMaxValue24)) {
    throw std::runtime_error(
        "the card changed while its balance was read: leave one card on "
        "the reader and settle again");
  }
  card_id = FIELD(card, CardId);
  return SettleRows(journal, module, card_id, balance);
}

std::string PrepDataNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#if defined(_WIN32)
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  char text[16];
  std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &local);
  return text;
}

std::string PrepDataFault(const std::string& digits) {
  if (digits.size() != 14 || digits.find_first_not_of("0123456789") != std::string::npos) {
    return "the preparation data is a date and time in BCD, YYYYMMDDhhmmss: decimal digits only";
  }
  const auto field = [&digits](std::size_t at, std::size_t length) {
    return std::stoi(digits.substr(at, length));
  };
  const int year = field(0, 4), month = field(4, 2), day = field(6, 2);
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  const int days[] = {31, leap ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const char* wrong = month < 1 || month > 12                  ? "month"
                      : day < 1 || day > days[month - 1]       ? "day"
                      : field(8, 2) > 23                       ? "hour"
                      : field(10, 2) > 59 || field(12, 2) > 59 ? "minute or second"
                                                               : nullptr;
  if (wrong == nullptr) return {};
  return std::string("no such ") + wrong +
         " (the preparation data is the date and time, YYYYMMDDhhmmss)";
}

}  // namespace vorlex::journal
