// Clearing: the journal's done rows as a numbered batch (CSV or JSON, with a trailer of count
// and total), and the store-and-forward upload of every settled row to PostgreSQL.
#pragma once

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>

#include "journal.h"

namespace vorlex::journal {

// A row with the CLI's --json names.
nlohmann::ordered_json RowJson(const Row& row);

struct Batch {
  std::int64_t batch = 0, count = 0, total = 0;
  std::string text;  // the file's content
};
// The done rows created between from and to (inclusive; empty: no bound) as batch N: "csv" or
// "json". Takes a new batch number.
Batch ExportBatch(Journal& journal, const std::string& from, const std::string& to,
                  const std::string& format);

// The server table (docs/journal.md shows it); push creates it when it is missing.
extern const char* const kServerTable;

struct PushResult {
  std::int64_t rows = 0, transactions = 0;
};
// Sends every row in a final state that the server has not confirmed, `batch_size` rows a
// transaction, each an upsert on (terminal_id, seq); rows are marked uploaded only after the
// server's COMMIT. Throws std::runtime_error (connection, server) after marking what was
// committed. `url`: a libpq connection string or URI.
PushResult Push(Journal& journal, const std::string& url, int batch_size,
                const std::function<void(const std::string&)>& progress);

}  // namespace vorlex::journal
