// What each fault option costs a caller: the time and result of one command through the library
// against the simulator with that fault. Prints the figures that docs/simulator.md quotes; the
// only checks are the results, not the times.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "sim_fixture.h"

namespace vorlex::sim {
namespace {

using testing::SimOnPty;

TEST(SimFaultTiming, PrintsWhatEachFaultCosts) {
  const auto with = [](auto change) {
    FaultOptions faults;
    change(faults);
    return faults;
  };
  const struct {
    const char* option;
    FaultOptions faults;
    int commands;  // in a row, each timed
    int result;    // of every command
  } cases[] = {
      {"(none)", {}, 3, 0},
      {"--silent", with([](FaultOptions& f) { f.silent = true; }), 1, 1},
      {"--drop-every 2", with([](FaultOptions& f) { f.drop_every = 2; }), 2, 0},
      {"--corrupt stx", with([](FaultOptions& f) { f.corrupt = Corruption::kStx; }), 1, 1},
      {"--corrupt etx", with([](FaultOptions& f) { f.corrupt = Corruption::kEtx; }), 1, 1},
      {"--corrupt checksum", with([](FaultOptions& f) { f.corrupt = Corruption::kChecksum; }), 1,
       0},
      {"--truncate", with([](FaultOptions& f) { f.truncate = true; }), 1, 1},
      {"--corrupt stx --fault-every 2", with([](FaultOptions& f) {
         f.corrupt = Corruption::kStx;
         f.fault_every = 2;
       }),
       2, 0},
      {"--slow-bytes 1000",
       with([](FaultOptions& f) { f.per_byte = std::chrono::milliseconds(1); }), 1, 0},
      {"--pace", with([](FaultOptions& f) { f.per_byte = kLineSpeedPerByte; }), 1, 0},
  };
  std::printf("%-30s %-7s %s\n", "fault", "result", "ms per GET_HARDWARE_VER, in a row");
  for (const auto& c : cases) {
    SimOnPty sim({}, c.faults);
    std::string times;
    for (int i = 0; i < c.commands; ++i) {
      unsigned char version[VORLEX_VERSION_SIZE] = {};
      char message[VORLEX_MESSAGE_SIZE];
      const auto started = std::chrono::steady_clock::now();
      const int result = GET_HARDWARE_VER(sim.handle(), version, message);
      const std::chrono::duration<double, std::milli> took =
          std::chrono::steady_clock::now() - started;
      EXPECT_EQ(result, c.result) << c.option << ", command " << i + 1;
      char figure[32];
      std::snprintf(figure, sizeof figure, "%s%.1f", i == 0 ? "" : ", ", took.count());
      times += figure;
    }
    std::printf("%-30s %-7d %s\n", c.option, c.result, times.c_str());
  }
}

}  // namespace
}  // namespace vorlex::sim
