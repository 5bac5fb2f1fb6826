// The purchase journal: one SQLite file (WAL, synchronous=FULL), one row per purchase, a schema
// with a version and its migrations. Whoever purchases or settles holds the journal's lock
// (FILE.lock, flock) for as long as the Journal is open for writing: one purchase at a time per
// journal, and no process marks another's purchase under way as interrupted. Opening for
// writing waits up to 10 s for the lock. A program with several readers on one journal (the
// agent) opens a Journal for each purchase and closes it after, rather than holding one; a
// Journal is used from one thread at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "vorlex_epurse.h"

struct sqlite3;

namespace vorlex::journal {

// The journal cannot be opened, read or written: the purchase is refused before any exchange.
struct JournalError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Row {
  std::int64_t seq = 0;  // the journal id
  std::string key, terminal_id, module, state, prep_data, created_at, updated_at;
  std::int32_t amount = 0;
  std::optional<std::int32_t> balance_before, balance_after;
  std::string card_id, card_info, prep_text, result_text1, result_text2, result_text3, result_text4;
  std::optional<std::int64_t> card_value24, prep_byte1, prep_byte2, prep_value16, prep_value32;
  bool answer_lost = false;
  std::string failed_step, reason, settled_by, resolved_by, resolved_at, note, uploaded_at;
  std::optional<std::int64_t> status;
};

struct Filter {
  std::string from, to;  // dates or times as in created_at ("2026-12-10" or a full time); inclusive
  std::optional<std::string> state;
  int limit = 0;  // 0: all
  bool newest_first = false;
};

class Journal {
 public:
  enum class Mode { kRead, kWrite };

  // $XDG_STATE_HOME/vorlex/journal.db, else $HOME/.local/state/vorlex/journal.db (the home
  // from the password database when HOME is unset).
  static std::string DefaultPath();

  // Opens (kWrite: creates, with its folder) and migrates the journal; kWrite also takes the
  // lock and checks that a write goes through, then marks what a crash left under way
  // (intent/prepared -> not_done, sent -> unknown). Throws JournalError.
  Journal(std::string path, Mode mode);
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  const std::string& path() const { return path_; }
  const std::string& terminal_id() const { return terminal_id_; }
  void set_terminal_id(std::string id);  // stored; the default is made at creation
  static constexpr int kSchemaVersion = 1;

  // The row's moves, each one committed (fsync'd) before it returns. Throws JournalError.
  std::int64_t Intent(const std::string& key, const std::string& module, std::int32_t amount,
                      const std::string& prep_data);
  void Prepared(std::int64_t seq, const PurchaseRecord& record, std::int32_t balance_before);
  void Sent(std::int64_t seq);
  void Finish(std::int64_t seq, const std::string& state, const PurchaseRecord* result,
              std::optional<std::int32_t> balance_after, bool answer_lost,
              const std::string& failed_step, int status, const std::string& reason,
              const std::string& settled_by);
  // A person's word on an unknown row: done or not_done, who, when, why.
  void Resolve(std::int64_t seq, bool done, const std::string& note);

  std::optional<Row> Find(std::int64_t seq);
  std::optional<Row> FindKey(const std::string& key);
  std::vector<Row> List(const Filter& filter);
  // This card's unknown rows of a module, oldest first, and the balance the card had before
  // the next row of the card after `seq` (none: the card's balance now is the next).
  std::vector<Row> UnknownOf(const std::string& module, const std::string& card_id);
  std::optional<std::int32_t> NextBalanceBefore(const std::string& module,
                                                const std::string& card_id, std::int64_t seq);

  // Export: a new batch number for the done rows between from and to.
  std::int64_t NewBatch(const std::string& from, const std::string& to, std::int64_t count,
                        std::int64_t total);
  // Upload: rows in a final state not yet uploaded (or changed since); marking after the
  // server's commit.
  std::vector<Row> ToUpload(int limit);
  void MarkUploaded(const std::vector<std::int64_t>& seqs);

 private:
  void Exec(const char* sql);
  void Migrate(bool write);
  void Recover();
  sqlite3* db_ = nullptr;
  int lock_fd_ = -1;
  std::string path_, terminal_id_;
};

// "2026-12-10T09:41:05Z": the journal's times, UTC.
std::string NowUtc();

}  // namespace vorlex::journal
