#include "clearing.h"

#include <libpq-fe.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "purchase.h"

namespace vorlex::journal {
namespace {

using Json = nlohmann::ordered_json;

Json Optional(const std::optional<std::int64_t>& value) {
  return value ? Json(*value) : Json(nullptr);
}
Json Optional(const std::optional<std::int32_t>& value) {
  return value ? Json(*value) : Json(nullptr);
}
Json OrNull(const std::string& text) { return text.empty() ? Json(nullptr) : Json(text); }

// The export's columns, in order (CSV header and JSON keys alike).
constexpr const char* kExportColumns[] = {
    "journal_id",     "terminal_id",   "key",          "time",
    "module",         "card_id",       "card_info",    "amount",
    "balance_before", "balance_after", "answer_lost",  "prep_data",
    "result_text1",   "result_text2",  "result_text3", "result_text4"};

std::string Csv(const Json& value) {
  std::string text = value.is_null()     ? ""
                     : value.is_string() ? value.get<std::string>()
                                         : value.dump();
  if (text.find_first_of(",\"\n\r") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

const char* const kUpsert =
    "INSERT INTO vorlex_purchases (terminal_id, seq, key, module, amount, state, prep_data, "
    "card_id, card_info, balance_before, balance_after, answer_lost, result_text1, result_text2, "
    "result_text3, result_text4, failed_step, status, reason, settled_by, resolved_by, "
    "resolved_at, note, created_at, updated_at) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, "
    "$11, $12, $13, $14, $15, $16, $17, $18, $19, $20, $21, $22, $23, $24, $25) ON CONFLICT "
    "(terminal_id, seq) DO UPDATE SET state = EXCLUDED.state, card_id = EXCLUDED.card_id, "
    "card_info = EXCLUDED.card_info, balance_before = EXCLUDED.balance_before, balance_after = "
    "EXCLUDED.balance_after, answer_lost = EXCLUDED.answer_lost, result_text1 = "
    "EXCLUDED.result_text1, result_text2 = EXCLUDED.result_text2, result_text3 = "
    "EXCLUDED.result_text3, result_text4 = EXCLUDED.result_text4, failed_step = "
    "EXCLUDED.failed_step, status = EXCLUDED.status, reason = EXCLUDED.reason, settled_by = "
    "EXCLUDED.settled_by, resolved_by = EXCLUDED.resolved_by, resolved_at = "
    "EXCLUDED.resolved_at, note = EXCLUDED.note, updated_at = EXCLUDED.updated_at, received_at = "
    "now()";

struct ConnectionDeleter {
  void operator()(PGconn* c) const { PQfinish(c); }
};
struct ResultDeleter {
  void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

void Command(PGconn* connection, const char* sql, const char* what) {
  Result result(PQexec(connection, sql));
  if (PQresultStatus(result.get()) != PGRES_COMMAND_OK) {
    throw std::runtime_error(std::string(what) + ": " + PQerrorMessage(connection));
  }
}

bool Hook(const char* name, const std::string& point) {
  const char* at = std::getenv(name);
  return at != nullptr && point == at;
}

}  // namespace

const char* const kServerTable = R"(CREATE TABLE IF NOT EXISTS vorlex_purchases (
  terminal_id    text        NOT NULL,
  seq            bigint      NOT NULL,
  key            text        NOT NULL,
  module         text        NOT NULL,
  amount         bigint      NOT NULL,
  state          text        NOT NULL,
  prep_data      text        NOT NULL,
  card_id        text,
  card_info      text,
  balance_before bigint,
  balance_after  bigint,
  answer_lost    boolean     NOT NULL,
  result_text1   text,
  result_text2   text,
  result_text3   text,
  result_text4   text,
  failed_step    text,
  status         integer,
  reason         text,
  settled_by     text,
  resolved_by    text,
  resolved_at    timestamptz,
  note           text,
  created_at     timestamptz NOT NULL,
  updated_at     timestamptz NOT NULL,
  received_at    timestamptz NOT NULL DEFAULT now(),
  PRIMARY KEY (terminal_id, seq)
))";

Json RowJson(const Row& row) {
  return Json{{"journal_id", row.seq},
              {"terminal_id", row.terminal_id},
              {"key", row.key},
              {"time", row.created_at},
              {"updated", row.updated_at},
              {"module", row.module},
              {"amount", row.amount},
              {"outcome", row.state},
              {"answer_lost", row.answer_lost},
              {"card_id", OrNull(row.card_id)},
              {"card_info", OrNull(row.card_info)},
              {"card_value24", Optional(row.card_value24)},
              {"balance_before", Optional(row.balance_before)},
              {"balance_after", Optional(row.balance_after)},
              {"prep_data", row.prep_data},
              {"prep_text", OrNull(row.prep_text)},
              {"prep_byte1", Optional(row.prep_byte1)},
              {"prep_byte2", Optional(row.prep_byte2)},
              {"prep_value16", Optional(row.prep_value16)},
              {"prep_value32", Optional(row.prep_value32)},
              {"result_text1", OrNull(row.result_text1)},
              {"result_text2", OrNull(row.result_text2)},
              {"result_text3", OrNull(row.result_text3)},
              {"result_text4", OrNull(row.result_text4)},
              {"failed_step", OrNull(row.failed_step)},
              {"status", Optional(row.status)},
              {"reason", OrNull(row.reason)},
              {"settled_by", OrNull(row.settled_by)},
              {"resolved_by", OrNull(row.resolved_by)},
              {"resolved_at", OrNull(row.resolved_at)},
              {"note", OrNull(row.note)},
              {"uploaded_at", OrNull(row.uploaded_at)}};
}

Batch ExportBatch(Journal& journal, const std::string& from, const std::string& to,
                  const std::string& format) {
  Filter filter;
  filter.from = from;
  filter.to = to;
  filter.state = "done";
  const std::vector<Row> rows = journal.List(filter);
  Batch batch;
  for (const Row& row : rows) {
    ++batch.count;
    batch.total += row.amount;
  }
  batch.batch = journal.NewBatch(from, to, batch.count, batch.total);
  std::ostringstream out;
  if (format == "json") {
    Json purchases = Json::array();
    for (const Row& row : rows) {
      const Json all = RowJson(row);
      Json one = Json::object();
      for (const char* column : kExportColumns) {
        one[column] = all[std::string(column) == "journal_id" ? "journal_id" : column];
      }
      purchases.push_back(std::move(one));
    }
    const Json document = {
        {"batch", batch.batch},
        {"terminal_id", journal.terminal_id()},
        {"from", from},
        {"to", to},
        {"purchases", purchases},
        {"trailer", {{"batch", batch.batch}, {"count", batch.count}, {"total", batch.total}}}};
    out << document.dump(1) << "\n";
  } else {
    bool first = true;
    for (const char* column : kExportColumns) {
      out << (first ? "" : ",") << column;
      first = false;
    }
    out << "\r\n";
    for (const Row& row : rows) {
      const Json all = RowJson(row);
      first = true;
      for (const char* column : kExportColumns) {
        out << (first ? "" : ",") << Csv(all[column]);
        first = false;
      }
      out << "\r\n";
    }
    out << "trailer," << batch.batch << "," << batch.count << "," << batch.total << "\r\n";
  }
  batch.text = out.str();
  return batch;
}

PushResult Push(Journal& journal, const std::string& url, int batch_size,
                const std::function<void(const std::string&)>& progress) {
  std::unique_ptr<PGconn, ConnectionDeleter> connection(PQconnectdb(url.c_str()));
  if (PQstatus(connection.get()) != CONNECTION_OK) {
    throw std::runtime_error(std::string("cannot connect to the server: ") +
                             PQerrorMessage(connection.get()));
  }
  PGconn* c = connection.get();
  PQsetNoticeProcessor(
      c, [](void*, const char*) {}, nullptr);  // "already exists, skipping"
  Command(c, kServerTable, "the server's table cannot be made");
  PushResult pushed;
  std::int64_t sent = 0;
  for (;;) {
    const std::vector<Row> rows = journal.ToUpload(batch_size);
    if (rows.empty()) break;
    Command(c, "BEGIN", "the upload cannot begin");
    std::vector<std::int64_t> seqs;
    for (const Row& row : rows) {
      const auto number = [](const auto& value) {
        return value ? std::optional<std::string>(std::to_string(*value)) : std::nullopt;
      };
      const auto text = [](const std::string& value) {
        return value.empty() ? std::nullopt : std::optional<std::string>(value);
      };
      const std::optional<std::string> values[] = {row.terminal_id,
                                                   std::to_string(row.seq),
                                                   row.key,
                                                   row.module,
                                                   std::to_string(row.amount),
                                                   row.state,
                                                   row.prep_data,
                                                   text(row.card_id),
                                                   text(row.card_info),
                                                   number(row.balance_before),
                                                   number(row.balance_after),
                                                   std::string(row.answer_lost ? "true" : "false"),
                                                   text(row.result_text1),
                                                   text(row.result_text2),
                                                   text(row.result_text3),
                                                   text(row.result_text4),
                                                   text(row.failed_step),
                                                   number(row.status),
                                                   text(row.reason),
                                                   text(row.settled_by),
                                                   text(row.resolved_by),
                                                   text(row.resolved_at),
                                                   text(row.note),
                                                   row.created_at,
                                                   row.updated_at};
      const char* params[25];
      for (int i = 0; i < 25; ++i) params[i] = values[i] ? values[i]->c_str() : nullptr;
      Result result(PQexecParams(c, kUpsert, 25, nullptr, params, nullptr, nullptr, 0));
      if (PQresultStatus(result.get()) != PGRES_COMMAND_OK) {
        throw std::runtime_error("the upload of purchase " + std::to_string(row.seq) +
                                 " failed (nothing of this transaction is kept; run push "
                                 "again): " +
                                 PQerrorMessage(c));
      }
      seqs.push_back(row.seq);
      ++sent;
      // Test hooks (docs/journal.md): a killed upload, a connection cut mid-transaction.
      KillPoint(("push_row:" + std::to_string(sent)).c_str());
      if (Hook("VORLEX_JOURNAL_CUT_AT", "push_row:" + std::to_string(sent))) {
        shutdown(PQsocket(c), SHUT_RDWR);
      }
    }
    Command(c, "COMMIT", "the server did not commit the upload (run push again)");
    KillPoint("push_committed");
    journal.MarkUploaded(seqs);
    pushed.rows += static_cast<std::int64_t>(seqs.size());
    ++pushed.transactions;
    if (progress) progress(std::to_string(pushed.rows) + " rows uploaded");
  }
  return pushed;
}

}  // namespace vorlex::journal
