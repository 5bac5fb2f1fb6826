// The purchase journal's own cost: N purchases through the one purchase procedure over purse
// steps that answer at once, so that all the time measured is the journal's (SQLite, WAL,
// synchronous=FULL: each state a commit). bench/journal_bench.sh counts the fsyncs (strace) and
// sets the figure beside a purchase's own time at line speed.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "journal.h"
#include "purchase.h"

namespace {

using vorlex::journal::StepResult;

// A purse that answers at once: balance 10000000, debited by each purchase.
class InstantPurse : public vorlex::journal::PurseSteps {
 public:
  StepResult Init() override { return {true, 0, ""}; }
  StepResult Balance(std::int32_t& balance) override {
    balance = balance_;
    return {true, 0, ""};
  }
  StepResult Request(PurchaseRecord& record) override {
    std::snprintf(record.CardId, sizeof record.CardId, "3A5C719E");
    record.CardValue24 = static_cast<std::uint32_t>(std::min(balance_, 0xFFFFFF));
    return {true, 0, ""};
  }
  StepResult Purchase(PurchaseRecord& record) override {
    balance_ -= record.Amount;
    std::snprintf(record.ResultText3, sizeof record.ResultText3, "0000223E");
    return {true, 0, ""};
  }
  StepResult CardInfo(PurchaseRecord& record) override {
    std::snprintf(record.CardId, sizeof record.CardId, "3A5C719E");
    return {true, 0, ""};
  }

 private:
  std::int32_t balance_ = 10000000;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: vorlex_journal_bench FOLDER [PURCHASES]\n");
    return 2;
  }
  const std::string folder = argv[1];
  const int count = argc > 2 ? std::atoi(argv[2]) : 200;
  const std::string path = folder + "/bench-journal.db";
  for (const char* suffix : {"", "-wal", "-shm", ".lock"}) std::filesystem::remove(path + suffix);
  vorlex::journal::Journal journal(path, vorlex::journal::Journal::Mode::kWrite);
  InstantPurse purse;
  std::vector<double> times;
  for (int i = 0; i < count; ++i) {
    vorlex::journal::PurchaseRequest request;
    request.amount = 100;
    request.prep_data = "20261210094100";
    const auto start = std::chrono::steady_clock::now();
    const auto outcome = vorlex::journal::RunPurchase(journal, purse, request);
    times.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
    if (outcome.outcome != vorlex::journal::Outcome::kDone) return 1;
  }
  std::sort(times.begin(), times.end());
  std::printf("journal per purchase: median %.2f ms, p90 %.2f ms over %d purchases (%s)\n",
              times[times.size() / 2], times[times.size() * 9 / 10], count, folder.c_str());
  return 0;
}
