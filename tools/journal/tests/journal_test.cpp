// The journaled purchase through the built vorlex program, against the simulator's reader on a
// pty in this process: the shared table of outcomes, a process killed (SIGKILL) or signalled
// (SIGINT, SIGTERM) at every step, repeated keys, settling and resolving.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "scripted_reader.h"
#include "sim_responder.h"
#include "tool_runner.h"
#include "virtual_reader.h"

namespace vorlex::sim {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// Every point at which the tool can be stopped: after each journal commit and each exchange.
const std::vector<std::string> kPoints = {"intent",        "init", "balance_before", "request",
                                          "prepared",      "sent", "purchase",       "card_info",
                                          "balance_after", "done"};
// Up to `sent` (committed just before the purchase request) nothing that moves money has gone.
bool BeforeSent(const std::string& point) {
  return point == "intent" || point == "init" || point == "balance_before" || point == "request" ||
         point == "prepared" || point == "sent";
}

class Purchases : public ::testing::Test {
 protected:
  Purchases() {
    folder_ = fs::temp_directory_path() /
              ("vorlex-journal-test-" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  ~Purchases() override { fs::remove_all(folder_); }

  // A fresh reader (purses at 10000) with these answers lost, and a fresh journal.
  void Fresh(const std::vector<std::string>& lost) {
    FaultOptions faults;
    for (const std::string& name : lost) {
      std::string error;
      faults.lost_answers.push_back(ParseLostAnswer(name, error).value());
    }
    engine_ = std::make_unique<engine::ScriptedReader>();
    reader_ = std::make_unique<VirtualReader>();
    engine_->SetResponder(MakeResponder(*reader_, faults));
    journal_ = (folder_ / ("journal-" + std::to_string(++journals_) + ".db")).string();
  }
  Outcome Vorlex(std::vector<std::string> args, std::vector<std::string> env = {}) {
    args.insert(args.begin(), {"--port", engine_->port()});
    env.insert(env.end(), {"LC_ALL=C", "VORLEX_JOURNAL=" + journal_});
    return RunTool(args, env);
  }
  json Rows() {
    const Outcome list = Vorlex({"journal", "list", "--limit", "0", "--json"});
    EXPECT_EQ(list.exit_status, 0) << list.err;
    return json::parse(list.out).at("purchases");
  }
  std::uint32_t Balance(const std::string& module) const {
    return module == "cpu" ? reader_->CpuBalance() : reader_->RfsimBalance();
  }
  std::size_t PurchasesSent() const {
    std::size_t n = 0;
    for (const Bytes& payload : engine_->Requests()) {
      n += payload.size() >= 2 && payload[0] >= 0xFD && payload[1] == 0x03;
    }
    return n;
  }

  fs::path folder_;
  std::string journal_;
  int journals_ = 0;
  std::unique_ptr<engine::ScriptedReader> engine_;
  std::unique_ptr<VirtualReader> reader_;
};

// tests/purchase_cases.json, the table the Python package's test runs too.
TEST_F(Purchases, OutcomeTable) {
  std::ifstream file(VORLEX_PURCHASE_CASES);
  const json table = json::parse(file);
  for (const json& c : table.at("cases")) {
    const std::string what = c.at("what"), module = c.at("module");
    Fresh(c.at("lose_answer").get<std::vector<std::string>>());
    const Outcome outcome =
        Vorlex({"purchase", "--amount", c.at("amount").dump(), "--module", module, "--json"});
    const json out = json::parse(outcome.out);
    EXPECT_EQ(out.value("outcome", ""), c.at("outcome")) << what << outcome.out;
    EXPECT_EQ(out.value("answer_lost", false), c.at("answer_lost")) << what;
    const int status = c.at("outcome") == "done" ? 0 : c.at("outcome") == "unknown" ? 4 : 1;
    EXPECT_EQ(outcome.exit_status, status) << what << outcome.err;
    EXPECT_EQ(Balance(module), c.at("debited") ? 10000u - c.at("amount").get<unsigned>() : 10000u)
        << what;
    // Whatever it says, it says why: no failure without an explanation.
    if (status != 0) {
      EXPECT_FALSE(out.value("error", "").empty()) << what << outcome.out;
    }
    const json rows = Rows();
    ASSERT_EQ(rows.size(), 1u) << what;
    EXPECT_EQ(rows[0].at("outcome"), c.at("outcome")) << what;
  }
}

// SIGKILL after every journal commit and every exchange, on both modules, with the purchase's
// answer kept and lost: after a restart (journal settle, then another purchase) every purchase
// is in the journal and settled, and the card lost exactly the done amounts.
TEST_F(Purchases, KilledAtEveryStep) {
  int kill_points = 0, killed = 0;
  for (const std::string module : {"cpu", "rfsim"}) {
    for (const bool lose : {false, true}) {
      for (const std::string& point : kPoints) {
        const std::string what = module + (lose ? " answer lost" : "") + ", killed at " + point;
        Fresh(lose ? std::vector<std::string>{module == "cpu" ? "CPU_PBOC_PURCHASE"
                                                              : "RFSIM_PURCHASE"}
                   : std::vector<std::string>{});
        ++kill_points;
        const Outcome first = Vorlex({"purchase", "--amount", "1234", "--module", module},
                                     {"VORLEX_JOURNAL_KILL_AT=" + point});
        killed += first.exit_status == -1;
        const Outcome settle = Vorlex({"journal", "settle", "--module", module, "--json"});
        EXPECT_EQ(settle.exit_status, 0) << what << settle.out << settle.err;
        const Outcome second =
            Vorlex({"purchase", "--amount", "100", "--module", module, "--json"});
        EXPECT_EQ(second.exit_status, 0) << what << second.out;
        std::int64_t done = 0;
        const json rows = Rows();
        ASSERT_EQ(rows.size(), 2u) << what << rows;
        for (const json& row : rows) {
          EXPECT_TRUE(row.at("outcome") == "done" || row.at("outcome") == "not_done")
              << what << row;
          if (row.at("outcome") == "done") done += row.at("amount").get<std::int64_t>();
        }
        EXPECT_EQ(Balance(module), 10000 - done) << what << rows;
        EXPECT_EQ(rows[1].at("outcome"),
                  BeforeSent(point) && first.exit_status == -1 ? "not_done" : "done")
            << what << rows;
      }
    }
  }
  std::printf("kill points tried: %d (%d runs killed)\n", kill_points, killed);
  EXPECT_GE(killed, 32);
}

// SIGINT and SIGTERM (once, or twice as a process group and `vorlex-sim run` both deliver it)
// at every step: a card that was debited is reported as paid, exit 0, exactly once; one that
// was not is reported as interrupted, and nothing is debited.
TEST_F(Purchases, SignalledAtEveryStep) {
  for (const std::string signal : {"INT", "TERM", "INT2"}) {
    for (const std::string& point : kPoints) {
      const std::string what = "SIG" + signal + " at " + point;
      Fresh({});
      const Outcome outcome =
          Vorlex({"purchase", "--amount", "1234", "--json"},
                 {"VORLEX_JOURNAL_KILL_AT=" + point, "VORLEX_JOURNAL_KILL_SIGNAL=" + signal});
      const bool paid = reader_->CpuBalance() == 8766;
      EXPECT_TRUE(paid || reader_->CpuBalance() == 10000) << what;
      EXPECT_EQ(PurchasesSent(), paid ? 1u : 0u) << what;
      if (paid) {
        EXPECT_EQ(outcome.exit_status, 0) << what << outcome.out << outcome.err;
        const json out = json::parse(outcome.out);
        EXPECT_EQ(out.at("ok"), true) << what;
        EXPECT_EQ(out.at("outcome"), "done") << what;
      } else {
        EXPECT_EQ(outcome.exit_status, signal == "TERM" ? 143 : 130) << what << outcome.out;
        EXPECT_FALSE(Contains(outcome.out, R"("outcome":"done")")) << what;
      }
      // A second signal before the request ends the tool at once; the restart settles its row.
      EXPECT_EQ(Vorlex({"journal", "settle"}).exit_status, 0) << what;
      const json rows = Rows();
      ASSERT_EQ(rows.size(), 1u) << what;
      EXPECT_EQ(rows[0].at("outcome"), paid ? "done" : "not_done") << what << rows;
    }
  }
}

// A key already in the journal returns its purchase and sends nothing; a key used for another
// amount is refused; without a key one is made and shown.
TEST_F(Purchases, RepeatedKey) {
  Fresh({});
  const Outcome first = Vorlex({"purchase", "--amount", "1234", "--key", "till-7", "--json"});
  ASSERT_EQ(first.exit_status, 0) << first.out;
  engine_->ClearRecord();
  const Outcome again = Vorlex({"purchase", "--amount", "1234", "--key", "till-7", "--json"});
  EXPECT_EQ(again.exit_status, 0);
  const json out = json::parse(again.out);
  EXPECT_EQ(out.at("replayed"), true);
  EXPECT_EQ(out.at("outcome"), "done");
  EXPECT_EQ(out.at("result_text3"), json::parse(first.out).at("result_text3"));
  EXPECT_EQ(engine_->RequestCount(), 0u);
  EXPECT_EQ(reader_->CpuBalance(), 8766u);
  const Outcome other = Vorlex({"purchase", "--amount", "99", "--key", "till-7"});
  EXPECT_EQ(other.exit_status, 2);
  EXPECT_TRUE(Contains(other.err, "a new purchase needs a new key")) << other.err;
  EXPECT_EQ(engine_->RequestCount(), 0u);
  const Outcome fresh = Vorlex({"purchase", "--amount", "1"});
  EXPECT_TRUE(Contains(fresh.out, "  key         ")) << fresh.out;
}

// An unknown outcome stays for a person: resolve records the word, who and when.
TEST_F(Purchases, ResolveByHand) {
  Fresh({"PURCHASE", "GET_BALANCE:2", "GET_BALANCE:3", "GET_BALANCE:4"});
  EXPECT_EQ(Vorlex({"purchase", "--amount", "1234"}).exit_status, 4);
  const Outcome early = Vorlex({"journal", "resolve", "1", "--done"});
  EXPECT_EQ(early.exit_status, 2) << early.err;  // a note is needed
  const Outcome resolved = Vorlex(
      {"journal", "resolve", "1", "--done", "--note", "balance checked on the card", "--json"});
  ASSERT_EQ(resolved.exit_status, 0) << resolved.err;
  const json row = json::parse(resolved.out);
  EXPECT_EQ(row.at("outcome"), "done");
  EXPECT_EQ(row.at("settled_by"), "person");
  EXPECT_FALSE(row.at("resolved_by").get<std::string>().empty());
  EXPECT_EQ(Vorlex({"journal", "resolve", "1", "--not-done", "--note", "x"}).exit_status, 2);
}

// A journal the tool cannot write refuses the purchase before anything is sent.
TEST_F(Purchases, CorruptJournalRefuses) {
  Fresh({});
  std::ofstream(journal_) << std::string(4096, 'x');
  const Outcome outcome = Vorlex({"purchase", "--amount", "1234", "--json"});
  EXPECT_EQ(outcome.exit_status, 5) << outcome.out << outcome.err;
  EXPECT_TRUE(Contains(outcome.err, "nothing was sent")) << outcome.err;
  EXPECT_EQ(engine_->RequestCount(), 0u);
}

// The file a purchase leaves: WAL, schema version 1; a journal of a newer schema is refused
// before anything is sent.
TEST_F(Purchases, SchemaVersion) {
  Fresh({});
  ASSERT_EQ(Vorlex({"purchase", "--amount", "1"}).exit_status, 0);
  const auto pragma = [this](const char* sql) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(journal_.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
    std::string value;
    if (sqlite3_step(statement) == SQLITE_ROW && sqlite3_column_text(statement, 0) != nullptr) {
      value = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return value;
  };
  EXPECT_EQ(pragma("PRAGMA journal_mode"), "wal");
  EXPECT_EQ(pragma("PRAGMA user_version"), "1");
  pragma("PRAGMA user_version = 2");
  engine_->ClearRecord();
  const Outcome outcome = Vorlex({"purchase", "--amount", "1"});
  EXPECT_EQ(outcome.exit_status, 5);
  EXPECT_TRUE(Contains(outcome.err, "schema version 2, newer than this vorlex knows (1)"))
      << outcome.err;
  EXPECT_EQ(engine_->RequestCount(), 0u);
}

}  // namespace
}  // namespace vorlex::sim
