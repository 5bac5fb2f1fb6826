// One purchase, the same for every front end: the steps of an e-purse purchase (init, balance,
// request = search and purchase initialisation, purchase, balance), the settling of an answer
// that was lost, and the journal row that moves with them (intent -> prepared -> sent -> done /
// not_done / unknown), each state committed before the next exchange. A front end (the vorlex
// tool over the library's exports, the agent over the core) implements PurseSteps and calls
// RunPurchase; it reports the PurchaseOutcome in its own way.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "vorlex_epurse.h"

namespace vorlex::journal {

class Journal;

// One exchange as the front end judged it.
struct StepResult {
  bool ok = false;
  int status = 0;      // the library's or reader's status (0 when ok; 1: no valid answer)
  std::string reason;  // UTF-8: what went wrong, for the journal and the caller (empty when ok)
};

// The purse operations of one purchase module ("cpu" or "rfsim"), as the front end runs them.
// Each is one call of the module; none throws for a reader's refusal or silence (that is a
// StepResult with ok false). A front end may throw its own exception from Checkpoint only.
class PurseSteps {
 public:
  virtual ~PurseSteps() = default;
  virtual StepResult Init() = 0;                          // INIT_MODULE 0 0
  virtual StepResult Balance(std::int32_t& balance) = 0;  // GET_BALANCE
  // REQA_CARD: search for a card and initialise the purchase of record.Amount with
  // record.PrepData; fills the card and preparation fields.
  virtual StepResult Request(PurchaseRecord& record) = 0;
  virtual StepResult Purchase(PurchaseRecord& record) = 0;  // PURCHASE; fills the result fields
  // GET_CARDINFO: which card is in the field now (CardId, CardInfo, CardValue24).
  virtual StepResult CardInfo(PurchaseRecord& record) = 0;
  // Called before each exchange that comes before the purchase request (and never after it):
  // a front end that was asked to stop (a signal, a closed connection) throws here. Once the
  // purchase request has gone, the procedure runs to its outcome.
  virtual void Checkpoint(const char* next_step) { (void)next_step; }
};

enum class Outcome { kDone, kNotDone, kUnknown };
const char* NameOf(Outcome outcome);  // "done", "not_done", "unknown"

struct PurchaseRequest {
  std::string module = "cpu";  // "cpu" or "rfsim"
  std::int32_t amount = 0;     // whole cents, 1 to 2147483647
  std::string prep_data;       // 14 hex digits: the date and time, BCD YYYYMMDDhhmmss; empty: now
  std::string key;             // idempotency key; empty: one is made (MakeKey)
};

// An earlier row of the same card settled (from its balance) before this purchase was sent.
struct Settled {
  std::int64_t journal_id = 0;
  std::int32_t amount = 0;
  Outcome outcome = Outcome::kUnknown;  // done, not_done, or still unknown
};

struct PurchaseOutcome {
  Outcome outcome = Outcome::kUnknown;
  bool answer_lost = false;  // done, settled by the balance: the result fields are missing
  bool replayed = false;     // the key was already in the journal: nothing was sent
  std::int64_t journal_id = 0;
  std::string key, terminal_id, module;
  std::int32_t amount = 0;
  std::optional<std::int32_t> balance_before, balance_after;
  PurchaseRecord record{};  // card, preparation and result fields, as far as they came
  std::string failed_step;  // not_done / unknown: "init", "balance_before", "request",
                            // "card_check", "purchase", "balance_after"
  int status = 0;           // that step's status
  std::string reason;       // not_done / unknown: why, for people (UTF-8)
  std::vector<Settled> settled;
  bool sent = false;  // the purchase request left for the reader (in this run)
  // The journal failed to record the outcome after the request had gone (a disk that filled
  // up): the outcome above is still true; the row stays `sent` and is settled from the card's
  // balance at the next start.
  std::string journal_error;
};

// A fresh idempotency key: 32 random hex digits.
std::string MakeKey();

// The preparation data is the purchase's local date and time, BCD YYYYMMDDhhmmss: the card
// records it as such. PrepDataNow gives the 14 digits for now; PrepDataFault says why `digits`
// is no date and time ("no such month ..."), or is empty when it is one.
std::string PrepDataNow();
std::string PrepDataFault(const std::string& digits);

// Runs one purchase and journals it. A key already in the journal returns that row's outcome
// with `replayed` and sends nothing (a key used for another amount or module throws
// std::invalid_argument). Throws JournalError (journal.h) when the journal cannot write before
// the first exchange: nothing was sent. An exception from steps.Checkpoint is passed on after
// the row is recorded as not_done.
PurchaseOutcome RunPurchase(Journal& journal, PurseSteps& steps, const PurchaseRequest& request);

// `vorlex journal settle` and its kin: looks at the card in the field (init, card info,
// balance) and settles that card's `unknown` rows of this module from its balance.
std::vector<Settled> SettleFromCard(Journal& journal, PurseSteps& steps, const std::string& module,
                                    std::string& card_id);

// The test hook: when the environment's VORLEX_JOURNAL_KILL_AT names `point`, the process
// sends itself VORLEX_JOURNAL_KILL_SIGNAL (KILL by default; INT, TERM) there. Documented in
// docs/journal.md; the fault tests use it.
void KillPoint(const char* point);

}  // namespace vorlex::journal
