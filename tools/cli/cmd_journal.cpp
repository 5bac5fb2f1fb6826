// vorlex journal: the purchase journal's rows (list, show), the clearing batch (export), the
// settling of unknown outcomes (settle from the card, resolve by a person) and the upload.
#include <fstream>
#include <memory>

#include "clearing.h"
#include "commands.h"
#include "journal.h"
#include "numbers.h"

namespace vorlex::cli {
namespace {

struct JournalArgs {
  std::string path, from, to, state, format = "csv", output, note, url;
  std::string id;
  int limit = 20, batch_size = 100;
  bool done = false, not_done = false;
};

std::string PathOf(const std::string& given) {
  try {
    return given.empty() ? journal::Journal::DefaultPath() : given;
  } catch (const journal::JournalError& error) {
    throw SetupError(error.what());
  }
}

std::unique_ptr<journal::Journal> Open(const std::string& given, journal::Journal::Mode mode) {
  try {
    return std::make_unique<journal::Journal>(PathOf(given), mode);
  } catch (const journal::JournalError& error) {
    throw SetupError(error.what());
  }
}

// A time as the journal keeps them (UTC, ISO 8601): a date, or a date and time.
void CheckTime(const std::string& text, const char* option) {
  static const std::string kShape = "dddd-dd-ddThh:mm:ssZ";
  bool ok = text.size() == 10 || text.size() == 20 || text.size() == 19;
  for (std::size_t i = 0; ok && i < text.size(); ++i) {
    const char want = kShape[i];
    const bool digit = text[i] >= '0' && text[i] <= '9';
    ok = (want == 'd' || want == 'h' || want == 'm' || want == 's') ? digit : text[i] == want;
  }
  if (!ok) {
    throw UsageError(std::string(option) + " " + text +
                     ": a date (2026-12-10) or a UTC time (2026-12-10T09:30:00Z)");
  }
}

std::int64_t IdOf(const std::string& text) {
  return static_cast<std::int64_t>(ParseNumber(text, 1, 0x7FFFFFFFFFFFFFFFll, "ID"));
}

std::string Money(std::int64_t cents) {
  char text[48];
  std::snprintf(text, sizeof text, "%lld.%02lld", static_cast<long long>(cents / 100),
                static_cast<long long>((cents < 0 ? -cents : cents) % 100));
  return text;
}

void ShowRow(Session& s, const journal::Row& row) {
  const Json all = journal::RowJson(row);
  for (const auto& [key, value] : all.items()) {
    if (value.is_null()) continue;
    s.out().Field(key, value, value.is_string() ? value.get<std::string>() : value.dump());
  }
}

}  // namespace

void AddJournalCommands(CLI::App* command, Registry& registry,
                        std::function<void(Session&, const std::string&)> settle,
                        const std::function<void(CLI::App*)>& module_option) {
  auto a = std::make_shared<JournalArgs>();
  command->require_subcommand(1);
  command->fallthrough();  // --journal after the step too
  command
      ->add_option("--journal", a->path,
                   "the journal file (default: $XDG_STATE_HOME/vorlex/journal.db)")
      ->envname("VORLEX_JOURNAL");

  CLI::App* list = command->add_subcommand("list", "the purchases, newest first");
  list->add_option("--from", a->from,
                   "from this date or UTC time (2026-12-10, 2026-12-10T09:00:00Z)");
  list->add_option("--to", a->to, "up to this date (the whole day) or UTC time");
  list->add_option("--state", a->state, "only this outcome or state")
      ->check(CLI::IsMember({"intent", "prepared", "sent", "done", "not_done", "unknown"}));
  list->add_option("--limit", a->limit, "at most N rows (default 20; 0: all)")
      ->check(CLI::Range(0, 1000000));
  registry.Add(list, [a](Session& s) {
    if (!a->from.empty()) CheckTime(a->from, "--from");
    if (!a->to.empty()) CheckTime(a->to, "--to");
    auto book = Open(a->path, journal::Journal::Mode::kRead);
    journal::Filter filter{a->from, a->to, std::nullopt, a->limit, true};
    if (!a->state.empty()) filter.state = a->state;
    Json rows = Json::array();
    s.out().Line("    id  time                  module  card id           amount  outcome");
    for (const journal::Row& row : book->List(filter)) {
      rows.push_back({{"id", row.seq},
                      {"time", row.created_at},
                      {"module", row.module},
                      {"card_id", row.card_id.empty() ? Json(nullptr) : Json(row.card_id)},
                      {"amount", row.amount},
                      {"outcome", row.state},
                      {"key", row.key}});
      char line[160];
      std::snprintf(line, sizeof line, "%6lld  %-20s  %-6s  %-16s  %8s  %s%s",
                    static_cast<long long>(row.seq), row.created_at.c_str(), row.module.c_str(),
                    row.card_id.empty() ? "-" : row.card_id.c_str(), Money(row.amount).c_str(),
                    row.state.c_str(), row.answer_lost ? " (answer lost)" : "");
      s.out().Line(line);
    }
    s.out().JsonOnly("journal", book->path());
    s.out().JsonOnly("purchases", rows);
  });

  CLI::App* show = command->add_subcommand("show", "one purchase, every field");
  show->add_option("id", a->id, "the journal id (vorlex journal list)")->required();
  registry.Add(show, [a](Session& s) {
    auto book = Open(a->path, journal::Journal::Mode::kRead);
    const std::optional<journal::Row> row = book->Find(IdOf(a->id));
    if (!row) throw UsageError("no purchase " + a->id + " in the journal " + book->path());
    ShowRow(s, *row);
  });

  CLI::App* exported = command->add_subcommand(
      "export", "the done purchases as a numbered clearing batch, with a count and total trailer");
  exported->add_option("--from", a->from, "from this date or UTC time");
  exported->add_option("--to", a->to, "up to this date (the whole day) or UTC time");
  exported->add_option("--format", a->format, "csv (default) or json")
      ->check(CLI::IsMember({"csv", "json"}));
  exported->add_option("--output", a->output, "write the batch to FILE (default: standard output)");
  registry.Add(exported, [a](Session& s) {
    if (!a->from.empty()) CheckTime(a->from, "--from");
    if (!a->to.empty()) CheckTime(a->to, "--to");
    if (s.out().json() && a->output.empty()) {
      throw UsageError(
          "export --json needs --output FILE: the batch itself goes to standard output");
    }
    auto book = Open(a->path, journal::Journal::Mode::kWrite);
    const journal::Batch batch = journal::ExportBatch(*book, a->from, a->to, a->format);
    if (a->output.empty()) {
      std::cout << batch.text;
      std::cout.flush();
      s.out().PeopleToStandardError();
    } else {
      const std::string partial = a->output + ".partial";
      std::ofstream file(partial, std::ios::binary | std::ios::trunc);
      file << batch.text;
      file.close();
      if (!file || std::rename(partial.c_str(), a->output.c_str()) != 0) {
        std::remove(partial.c_str());
        throw SetupError("cannot write " + a->output);
      }
    }
    s.out().Field("batch", batch.batch, std::to_string(batch.batch));
    s.out().Field("count", batch.count, std::to_string(batch.count));
    s.out().Field("total", batch.total, std::to_string(batch.total) + " cents");
  });

  CLI::App* settle_command = command->add_subcommand(
      "settle", "settle this card's unknown purchases from its balance (the card on the reader)");
  module_option(settle_command);
  registry.Add(settle_command, [a, settle](Session& s) { settle(s, a->path); });

  CLI::App* resolve = command->add_subcommand(
      "resolve", "a person's word on an unknown purchase: --done or --not-done, with a note");
  resolve->add_option("id", a->id, "the journal id")->required();
  auto* done = resolve->add_flag("--done", a->done, "the card was debited (checked by a person)");
  resolve->add_flag("--not-done", a->not_done, "the card was not debited")->excludes(done);
  resolve->add_option("--note", a->note, "who checked what (kept in the journal)")->required();
  registry.Add(resolve, [a](Session& s) {
    if (a->done == a->not_done) throw UsageError("say --done or --not-done");
    auto book = Open(a->path, journal::Journal::Mode::kWrite);
    try {
      book->Resolve(IdOf(a->id), a->done, a->note);
    } catch (const std::invalid_argument& error) {
      throw UsageError(error.what());
    }
    ShowRow(s, *book->Find(IdOf(a->id)));
  });

  CLI::App* push = command->add_subcommand(
      "push", "upload the settled purchases to PostgreSQL (each once, by terminal_id and seq)");
  push->add_option("url", a->url, "the server: a libpq URI or connection string")->required();
  push->add_option("--batch-size", a->batch_size, "rows a transaction (default 100)")
      ->check(CLI::Range(1, 100000));
  registry.Add(push, [a](Session& s) {
    auto book = Open(a->path, journal::Journal::Mode::kWrite);
    journal::PushResult pushed;
    try {
      pushed = journal::Push(*book, a->url, a->batch_size, nullptr);
    } catch (const journal::JournalError& error) {
      throw SetupError(error.what());
    } catch (const std::runtime_error& error) {
      throw CommandFailed{"push", 1, "", error.what(),
                          "rows the server did not commit stay marked as not uploaded: run push "
                          "again"};
    }
    s.out().Field("terminal_id", book->terminal_id());
    s.out().Field("uploaded", pushed.rows, std::to_string(pushed.rows) + " rows");
    s.out().Field("transactions", pushed.transactions, std::to_string(pushed.transactions));
  });
}

}  // namespace vorlex::cli
