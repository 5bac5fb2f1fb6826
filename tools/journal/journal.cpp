#include "journal.h"

#include <fcntl.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <random>

namespace vorlex::journal {
namespace {

namespace fs = std::filesystem;

// The schema, version by version: migration N takes a journal from version N-1 to N.
constexpr const char* kMigrations[] = {
    // 1: the purchases, the batches of an export, the journal's own settings.
    R"(CREATE TABLE purchases (
         seq INTEGER PRIMARY KEY AUTOINCREMENT,
         key TEXT NOT NULL UNIQUE,
         terminal_id TEXT NOT NULL,
         module TEXT NOT NULL CHECK (module IN ('cpu', 'rfsim')),
         amount INTEGER NOT NULL CHECK (amount BETWEEN 1 AND 2147483647),
         prep_data TEXT NOT NULL,
         state TEXT NOT NULL CHECK (state IN ('intent', 'prepared', 'sent', 'done', 'not_done',
                                              'unknown')),
         created_at TEXT NOT NULL,
         updated_at TEXT NOT NULL,
         card_id TEXT, card_info TEXT, card_value24 INTEGER,
         prep_text TEXT, prep_byte1 INTEGER, prep_byte2 INTEGER, prep_value16 INTEGER,
         prep_value32 INTEGER,
         balance_before INTEGER, balance_after INTEGER,
         result_text1 TEXT, result_text2 TEXT, result_text3 TEXT, result_text4 TEXT,
         answer_lost INTEGER NOT NULL DEFAULT 0,
         failed_step TEXT, status INTEGER, reason TEXT,
         settled_by TEXT, resolved_by TEXT, resolved_at TEXT, note TEXT,
         uploaded_at TEXT);
       CREATE INDEX purchases_card ON purchases (module, card_id, seq);
       CREATE INDEX purchases_created ON purchases (created_at);
       CREATE TABLE batches (
         batch INTEGER PRIMARY KEY AUTOINCREMENT,
         made_at TEXT NOT NULL, from_time TEXT NOT NULL, to_time TEXT NOT NULL,
         count INTEGER NOT NULL, total INTEGER NOT NULL);
       CREATE TABLE settings (name TEXT PRIMARY KEY, value TEXT NOT NULL);)",
};
constexpr unsigned long long kLeastFreeBytes = 256 * 1024;
constexpr int kVersions = static_cast<int>(sizeof kMigrations / sizeof kMigrations[0]);
static_assert(kVersions == Journal::kSchemaVersion);

std::string RandomHex(std::size_t digits) {
  std::random_device random;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < digits; ++i) text += kHex[random() & 15];
  return text;
}

// A prepared statement, bound by position, finalized on every path.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) Fail("prepare");
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int at, const std::string& text) {
    sqlite3_bind_text(stmt_, at, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& Bind(int at, const char* text) { return Bind(at, std::string(text)); }
  Statement& Bind(int at, std::int64_t value) {
    sqlite3_bind_int64(stmt_, at, value);
    return *this;
  }
  Statement& Bind(int at, int value) { return Bind(at, static_cast<std::int64_t>(value)); }
  template <typename T>
  Statement& Bind(int at, const std::optional<T>& value) {
    if (value) return Bind(at, static_cast<std::int64_t>(*value));
    sqlite3_bind_null(stmt_, at);
    return *this;
  }
  Statement& BindOrNull(int at, const std::string& text) {
    if (text.empty()) {
      sqlite3_bind_null(stmt_, at);
      return *this;
    }
    return Bind(at, text);
  }
  bool Step() {
    const int result = sqlite3_step(stmt_);
    if (result == SQLITE_ROW) return true;
    if (result != SQLITE_DONE) Fail("write");
    return false;
  }
  std::string Text(int column) const {
    const unsigned char* text = sqlite3_column_text(stmt_, column);
    return text == nullptr ? "" : reinterpret_cast<const char*>(text);
  }
  std::optional<std::int64_t> Int(int column) const {
    if (sqlite3_column_type(stmt_, column) == SQLITE_NULL) return std::nullopt;
    return sqlite3_column_int64(stmt_, column);
  }

 private:
  [[noreturn]] void Fail(const char* what) const {
    throw JournalError(std::string("the journal cannot ") + what + ": " + sqlite3_errmsg(db_));
  }
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

constexpr const char* kColumns =
    "seq, key, terminal_id, module, state, prep_data, created_at, updated_at, amount, "
    "balance_before, balance_after, card_id, card_info, prep_text, result_text1, result_text2, "
    "result_text3, result_text4, card_value24, prep_byte1, prep_byte2, prep_value16, "
    "prep_value32, answer_lost, failed_step, reason, settled_by, resolved_by, resolved_at, note, "
    "uploaded_at, status";

Row RowOf(const Statement& s) {
  Row row;
  row.seq = *s.Int(0);
  row.key = s.Text(1);
  row.terminal_id = s.Text(2);
  row.module = s.Text(3);
  row.state = s.Text(4);
  row.prep_data = s.Text(5);
  row.created_at = s.Text(6);
  row.updated_at = s.Text(7);
  row.amount = static_cast<std::int32_t>(s.Int(8).value_or(0));
  if (auto v = s.Int(9)) row.balance_before = static_cast<std::int32_t>(*v);
  if (auto v = s.Int(10)) row.balance_after = static_cast<std::int32_t>(*v);
  row.card_id = s.Text(11);
  row.card_info = s.Text(12);
  row.prep_text = s.Text(13);
  row.result_text1 = s.Text(14);
  row.result_text2 = s.Text(15);
  row.result_text3 = s.Text(16);
  row.result_text4 = s.Text(17);
  row.card_value24 = s.Int(18);
  row.prep_byte1 = s.Int(19);
  row.prep_byte2 = s.Int(20);
  row.prep_value16 = s.Int(21);
  row.prep_value32 = s.Int(22);
  row.answer_lost = s.Int(23).value_or(0) != 0;
  row.failed_step = s.Text(24);
  row.reason = s.Text(25);
  row.settled_by = s.Text(26);
  row.resolved_by = s.Text(27);
  row.resolved_at = s.Text(28);
  row.note = s.Text(29);
  row.uploaded_at = s.Text(30);
  row.status = s.Int(31);
  return row;
}

std::string Select(const std::string& where) {
  return std::string("SELECT ") + kColumns + " FROM purchases " + where;
}

std::string Who() {
  const char* user = std::getenv("SUDO_USER");
  if (user == nullptr || *user == '\0') {
    if (const passwd* entry = getpwuid(getuid())) return entry->pw_name;
    return "uid " + std::to_string(getuid());
  }
  return user;
}

}  // namespace

std::string NowUtc() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::string Journal::DefaultPath() {
  if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state == '/') {
    return std::string(state) + "/vorlex/journal.db";
  }
  std::string home;
  if (const char* env = std::getenv("HOME"); env != nullptr && *env == '/') {
    home = env;
  } else if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir) {
    home = entry->pw_dir;
  }
  if (home.empty()) {
    throw JournalError(
        "no place for the journal: neither XDG_STATE_HOME nor a home folder; "
        "give --journal FILE");
  }
  return home + "/.local/state/vorlex/journal.db";
}

Journal::Journal(std::string path, Mode mode) : path_(std::move(path)) {
  const bool write = mode == Mode::kWrite;
  if (write) {
    std::error_code error;
    const fs::path folder = fs::path(path_).parent_path();
    if (!folder.empty()) fs::create_directories(folder, error);
    if (error) {
      throw JournalError("the journal's folder " + folder.string() +
                         " cannot be made: " + error.message());
    }
    // A disk with less room than a few purchases' rows refuses the purchase before anything
    // is sent, rather than failing a commit half-way through it.
    struct statvfs disk {};
    if (statvfs(folder.empty() ? "." : folder.c_str(), &disk) == 0 &&
        static_cast<unsigned long long>(disk.f_bavail) * disk.f_frsize < kLeastFreeBytes) {
      throw JournalError(
          "the disk holding the journal " + path_ + " is full (" +
          std::to_string(static_cast<unsigned long long>(disk.f_bavail) * disk.f_frsize) +
          " bytes free)");
    }
    lock_fd_ = ::open((path_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock_fd_ < 0) {
      throw JournalError("the journal " + path_ + " cannot be locked (" + path_ +
                         ".lock): " + std::strerror(errno));
    }
    // Another purchase on this journal takes a fraction of a second: wait for it, a while.
    bool locked = false;
    for (int tries = 0; tries < 200 && !(locked = flock(lock_fd_, LOCK_EX | LOCK_NB) == 0);
         ++tries) {
      usleep(50 * 1000);
    }
    if (!locked) {
      ::close(lock_fd_);
      lock_fd_ = -1;
      throw JournalError("the journal " + path_ +
                         " is in use by another purchase (its lock was held for 10 s): try again "
                         "when it has finished");
    }
  }
  if (!write && !fs::exists(path_)) {
    throw JournalError("no journal at " + path_ + " yet (nothing was purchased with it)");
  }
  const int flags = write ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
  if (sqlite3_open_v2(path_.c_str(), &db_, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
    const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    if (lock_fd_ >= 0) ::close(lock_fd_);
    throw JournalError("the journal " + path_ + " cannot be opened: " + why);
  }
  try {
    sqlite3_busy_timeout(db_, 5000);
    sqlite3_extended_result_codes(db_, 1);
    if (write) {
      Exec("PRAGMA journal_mode=WAL");
      Exec("PRAGMA synchronous=FULL");
      // Each commit is already on the disk: a checkpoint at every close would only add fsyncs
      // to every run of the tool; SQLite checkpoints as the WAL grows (every 1000 pages).
      sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    }
    Migrate(write);
    Statement get(db_, "SELECT value FROM settings WHERE name = 'terminal_id'");
    if (get.Step()) terminal_id_ = get.Text(0);
    if (write) Recover();
  } catch (const JournalError& error) {
    sqlite3_close(db_);
    db_ = nullptr;
    if (lock_fd_ >= 0) ::close(lock_fd_);
    throw JournalError(std::string(error.what()) + " (journal " + path_ + ")");
  }
}

Journal::~Journal() {
  sqlite3_close(db_);
  if (lock_fd_ >= 0) ::close(lock_fd_);
}

void Journal::Exec(const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    const std::string why = message ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    throw JournalError("the journal cannot write: " + why);
  }
}

void Journal::Migrate(bool write) {
  int version = 0;
  {
    Statement get(db_, "PRAGMA user_version");
    if (get.Step()) version = static_cast<int>(get.Int(0).value_or(0));
  }
  if (version > kSchemaVersion) {
    throw JournalError("the journal has schema version " + std::to_string(version) +
                       ", newer than this vorlex knows (" + std::to_string(kSchemaVersion) +
                       "): use a newer vorlex");
  }
  if (version == kSchemaVersion) return;
  if (!write) {
    throw JournalError(version == 0 ? "no journal here yet (nothing was purchased with it)"
                                    : "the journal needs an upgrade: run a purchase or "
                                      "`vorlex journal settle` with it first");
  }
  // Every migration and its version number in one transaction.
  Exec("BEGIN IMMEDIATE");
  try {
    for (int next = version + 1; next <= kSchemaVersion; ++next) {
      Exec(kMigrations[next - 1]);
      Exec(("PRAGMA user_version = " + std::to_string(next)).c_str());
    }
    if (version == 0) {
      char host[64] = {};
      gethostname(host, sizeof host - 1);
      Statement put(db_, "INSERT INTO settings (name, value) VALUES ('terminal_id', ?1)");
      put.Bind(1, std::string(host) + "-" + RandomHex(8)).Step();
    }
    Exec("COMMIT");
  } catch (...) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

void Journal::set_terminal_id(std::string id) {
  Statement put(db_, "INSERT OR REPLACE INTO settings (name, value) VALUES ('terminal_id', ?1)");
  put.Bind(1, id).Step();
  terminal_id_ = std::move(id);
}

void Journal::Recover() {
  // The write that proves the journal can take this purchase's rows (a full disk, a read-only
  // file): nothing has been sent yet.
  Exec("BEGIN IMMEDIATE");
  try {
    Statement stopped(db_,
                      "UPDATE purchases SET state = 'not_done', updated_at = ?1, "
                      "settled_by = 'recovery', reason = 'the purchase stopped before its "
                      "request was sent (nothing reached the card)' WHERE state IN ('intent', "
                      "'prepared')");
    stopped.Bind(1, NowUtc()).Step();
    Statement sent(db_,
                   "UPDATE purchases SET state = 'unknown', updated_at = ?1, settled_by = "
                   "'recovery', reason = 'the purchase stopped after its request was sent: the "
                   "card may have been debited; settled from the card''s balance the next time "
                   "it is on the reader' WHERE state = 'sent'");
    sent.Bind(1, NowUtc()).Step();
    Exec("COMMIT");
  } catch (...) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

std::int64_t Journal::Intent(const std::string& key, const std::string& module, std::int32_t amount,
                             const std::string& prep_data) {
  Statement insert(db_,
                   "INSERT INTO purchases (key, terminal_id, module, amount, prep_data, state, "
                   "created_at, updated_at) VALUES (?1, ?2, ?3, ?4, ?5, 'intent', ?6, ?6)");
  insert.Bind(1, key).Bind(2, terminal_id_).Bind(3, module).Bind(4, amount).Bind(5, prep_data);
  insert.Bind(6, NowUtc()).Step();
  return sqlite3_last_insert_rowid(db_);
}

void Journal::Prepared(std::int64_t seq, const PurchaseRecord& r, std::int32_t balance_before) {
  Statement update(db_,
                   "UPDATE purchases SET state = 'prepared', updated_at = ?2, card_id = ?3, "
                   "card_info = ?4, card_value24 = ?5, prep_text = ?6, prep_byte1 = ?7, "
                   "prep_byte2 = ?8, prep_value16 = ?9, prep_value32 = ?10, balance_before = "
                   "?11 WHERE seq = ?1 AND state = 'intent'");
  update.Bind(1, seq).Bind(2, NowUtc());
  update.Bind(3, std::string(r.CardId, strnlen(r.CardId, sizeof r.CardId)));
  update.Bind(4, std::string(r.CardInfo, strnlen(r.CardInfo, sizeof r.CardInfo)));
  update.Bind(5, static_cast<std::int64_t>(r.CardValue24));
  update.Bind(6, std::string(r.PrepText, strnlen(r.PrepText, sizeof r.PrepText)));
  update.Bind(7, static_cast<int>(r.PrepByte1)).Bind(8, static_cast<int>(r.PrepByte2));
  update.Bind(9, static_cast<std::int64_t>(r.PrepValue16));
  update.Bind(10, static_cast<std::int64_t>(r.PrepValue32)).Bind(11, balance_before).Step();
  if (sqlite3_changes(db_) != 1)
    throw JournalError("the journal lost purchase " + std::to_string(seq));
}

void Journal::Sent(std::int64_t seq) {
  Statement update(db_,
                   "UPDATE purchases SET state = 'sent', updated_at = ?2 WHERE seq = ?1 AND "
                   "state = 'prepared'");
  update.Bind(1, seq).Bind(2, NowUtc()).Step();
  if (sqlite3_changes(db_) != 1)
    throw JournalError("the journal lost purchase " + std::to_string(seq));
}

void Journal::Finish(std::int64_t seq, const std::string& state, const PurchaseRecord* r,
                     std::optional<std::int32_t> balance_after, bool answer_lost,
                     const std::string& failed_step, int status, const std::string& reason,
                     const std::string& settled_by) {
  Statement update(db_,
                   "UPDATE purchases SET state = ?2, updated_at = ?3, balance_after = ?4, "
                   "answer_lost = ?5, failed_step = ?6, status = ?7, reason = ?8, settled_by = "
                   "?9, result_text1 = coalesce(?10, result_text1), result_text2 = coalesce(?11, "
                   "result_text2), result_text3 = coalesce(?12, result_text3), result_text4 = "
                   "coalesce(?13, result_text4), uploaded_at = NULL WHERE seq = ?1");
  update.Bind(1, seq).Bind(2, state).Bind(3, NowUtc()).Bind(4, balance_after);
  update.Bind(5, answer_lost ? 1 : 0).BindOrNull(6, failed_step);
  if (failed_step.empty()) {
    update.Bind(7, std::optional<int>());
  } else {
    update.Bind(7, status);
  }
  update.BindOrNull(8, reason).BindOrNull(9, settled_by);
  if (r != nullptr && !answer_lost && state == "done") {
    update.Bind(10, std::string(r->ResultText1, strnlen(r->ResultText1, sizeof r->ResultText1)));
    update.Bind(11, std::string(r->ResultText2, strnlen(r->ResultText2, sizeof r->ResultText2)));
    update.Bind(12, std::string(r->ResultText3, strnlen(r->ResultText3, sizeof r->ResultText3)));
    update.Bind(13, std::string(r->ResultText4, strnlen(r->ResultText4, sizeof r->ResultText4)));
  } else {
    for (int at = 10; at <= 13; ++at) update.BindOrNull(at, "");
  }
  update.Step();
  if (sqlite3_changes(db_) != 1)
    throw JournalError("the journal lost purchase " + std::to_string(seq));
}

void Journal::Resolve(std::int64_t seq, bool done, const std::string& note) {
  const std::optional<Row> row = Find(seq);
  if (!row) throw std::invalid_argument("no purchase " + std::to_string(seq) + " in the journal");
  if (row->state != "unknown") {
    throw std::invalid_argument("purchase " + std::to_string(seq) + " is " + row->state +
                                ", not unknown: only an unknown outcome is resolved by hand");
  }
  Statement update(db_,
                   "UPDATE purchases SET state = ?2, updated_at = ?3, settled_by = 'person', "
                   "resolved_by = ?4, resolved_at = ?3, note = ?5, uploaded_at = NULL WHERE seq "
                   "= ?1 AND state = 'unknown'");
  update.Bind(1, seq).Bind(2, done ? "done" : "not_done").Bind(3, NowUtc()).Bind(4, Who());
  update.Bind(5, note).Step();
}

std::optional<Row> Journal::Find(std::int64_t seq) {
  Statement get(db_, Select("WHERE seq = ?1").c_str());
  get.Bind(1, seq);
  if (!get.Step()) return std::nullopt;
  return RowOf(get);
}

std::optional<Row> Journal::FindKey(const std::string& key) {
  Statement get(db_, Select("WHERE key = ?1").c_str());
  get.Bind(1, key);
  if (!get.Step()) return std::nullopt;
  return RowOf(get);
}

std::vector<Row> Journal::List(const Filter& filter) {
  // A date alone ("2026-12-10") as --to takes in that whole day.
  const std::string to = filter.to.size() == 10 ? filter.to + "T99" : filter.to;
  std::string where = "WHERE (?1 = '' OR created_at >= ?1) AND (?2 = '' OR created_at <= ?2)";
  if (filter.state) where += " AND state = ?3";
  where += filter.newest_first ? " ORDER BY seq DESC" : " ORDER BY seq";
  if (filter.limit > 0) where += " LIMIT " + std::to_string(filter.limit);
  Statement get(db_, Select(where).c_str());
  get.Bind(1, filter.from).Bind(2, to);
  if (filter.state) get.Bind(3, *filter.state);
  std::vector<Row> rows;
  while (get.Step()) rows.push_back(RowOf(get));
  return rows;
}

std::vector<Row> Journal::UnknownOf(const std::string& module, const std::string& card_id) {
  Statement get(db_, Select("WHERE module = ?1 AND card_id = ?2 AND state = 'unknown' ORDER BY "
                            "seq")
                         .c_str());
  get.Bind(1, module).Bind(2, card_id);
  std::vector<Row> rows;
  while (get.Step()) rows.push_back(RowOf(get));
  return rows;
}

std::optional<std::int32_t> Journal::NextBalanceBefore(const std::string& module,
                                                       const std::string& card_id,
                                                       std::int64_t seq) {
  Statement get(db_,
                "SELECT balance_before FROM purchases WHERE module = ?1 AND card_id = ?2 AND seq "
                "> ?3 AND balance_before IS NOT NULL ORDER BY seq LIMIT 1");
  get.Bind(1, module).Bind(2, card_id).Bind(3, seq);
  if (!get.Step()) return std::nullopt;
  return static_cast<std::int32_t>(*get.Int(0));
}

std::int64_t Journal::NewBatch(const std::string& from, const std::string& to, std::int64_t count,
                               std::int64_t total) {
  Statement insert(db_,
                   "INSERT INTO batches (made_at, from_time, to_time, count, total) VALUES (?1, "
                   "?2, ?3, ?4, ?5)");
  insert.Bind(1, NowUtc()).Bind(2, from).Bind(3, to).Bind(4, count).Bind(5, total).Step();
  return sqlite3_last_insert_rowid(db_);
}

std::vector<Row> Journal::ToUpload(int limit) {
  Statement get(db_, Select("WHERE state IN ('done', 'not_done', 'unknown') AND uploaded_at IS "
                            "NULL ORDER BY seq LIMIT ?1")
                         .c_str());
  get.Bind(1, limit);
  std::vector<Row> rows;
  while (get.Step()) rows.push_back(RowOf(get));
  return rows;
}

void Journal::MarkUploaded(const std::vector<std::int64_t>& seqs) {
  Exec("BEGIN IMMEDIATE");
  try {
    const std::string now = NowUtc();
    for (std::int64_t seq : seqs) {
      Statement mark(db_, "UPDATE purchases SET uploaded_at = ?2 WHERE seq = ?1");
      mark.Bind(1, seq).Bind(2, now).Step();
    }
    Exec("COMMIT");
  } catch (...) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

}  // namespace vorlex::journal
