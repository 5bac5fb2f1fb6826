// Prints how long vorlex takes for a 1K card on the simulator at line speed (115200 baud): a dump
// with the transport key, a dump with a 100-key list where half the sectors use the 100th key,
// and a restore of every data block; with the exchanges each made and the time per key tried.
//   vorlex_card_files_bench [RUNS]   (median of RUNS runs, default 3)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "card_files_fixture.h"

namespace {

using namespace vorlex::sim;

struct Figure {
  double seconds;
  int exchanges, keys_tried;
};

Figure Run(CardFilesSim& sim, const std::vector<std::string>& args, int runs) {
  std::vector<double> times;
  Figure figure{};
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const Outcome outcome = sim.Vorlex(args);
    times.push_back(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    if (outcome.exit_status != 0) {
      std::fprintf(stderr, "vorlex failed: %s%s\n", outcome.out.c_str(), outcome.err.c_str());
      std::exit(1);
    }
    const auto json = nlohmann::json::parse(outcome.out);
    figure.exchanges = json.value("exchanges", 0);
    figure.keys_tried = json.value("keys_tried", 0);
  }
  std::sort(times.begin(), times.end());
  figure.seconds = times[times.size() / 2];
  return figure;
}

void Print(const char* what, const Figure& f) {
  std::printf("%-44s %8.3f s  %5d exchanges  %4d keys tried  %6.2f ms/exchange\n", what, f.seconds,
              f.exchanges, f.keys_tried, 1000 * f.seconds / f.exchanges);
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  FaultOptions paced;
  paced.per_byte = kLineSpeedPerByte;
  CardFilesSim sim(paced);
  std::printf("1K card on the simulator at 115200 baud, median of %d runs\n", runs);

  const Figure plain = Run(sim, {"dump", "--json"}, runs);
  Print("dump, transport key", plain);

  const std::string keys = sim.Write("keys.dic", CardFilesSim::HundredKeys());
  sim.UseCard(CardFilesSim::HalfOnTheHundredthKey());
  const Figure listed = Run(sim, {"dump", "--keys", keys, "--json"}, runs);
  Print("dump, 100 keys, odd sectors on the 100th", listed);

  // The first odd sector alone: the whole list, with nothing learnt from other sectors.
  const Figure search = Run(sim, {"auth", "1", "--keys", keys, "--json"}, runs);
  Print("auth sector 1, 100 keys (found on the 100th)", search);
  const int failed = search.keys_tried - 1;
  std::printf("  per key tried (auth + card request): %.2f ms, %.2f exchanges\n",
              1000 * search.seconds / failed, (search.exchanges - 2.0) / failed);

  sim.UseCard(std::nullopt);
  const std::string image = sim.ToolDump("bin");
  const std::string path = sim.Write("restore.bin", image);
  const Figure restore = Run(sim, {"restore", path, "--json"}, runs);
  Print("restore, 47 data blocks written and read back", restore);
  return 0;
}
