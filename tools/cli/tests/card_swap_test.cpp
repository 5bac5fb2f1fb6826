// One operation, one card: dump, restore and auth --keys with the card in the field swapped for
// another (vorlex-sim ctl load) or taken off (ctl remove) before, during and after their work,
// through the built vorlex program against the simulator's card on a pty in this process.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <nlohmann/json.hpp>

#include "card_files_fixture.h"
#include "dump_formats.h"
#include "sim_control.h"

namespace vorlex::sim {
namespace {

using nlohmann::json;

constexpr std::uint8_t kAuthRequest = 0x03, kReadRequest = 0x04, kWriteRequest = 0x05;
const Uid kOtherUid = {0x11, 0x22, 0x33, 0x44};

enum class Operation { kDump, kRestore, kAuth };
enum class Swap { kLoad, kRemove };
enum class When { kBefore, kDuring, kAfter };

struct SwapCase {
  const char* name;
  Operation operation;
  Swap swap;
  When when;
};
void PrintTo(const SwapCase& c, std::ostream* out) { *out << c.name; }

class CardSwaps : public ::testing::TestWithParam<SwapCase>, public CardFilesSim {
 protected:
  std::vector<std::string> Args() {
    switch (GetParam().operation) {
      case Operation::kDump:
        return {"--json", "dump", "--output", Path("card.json")};
      case Operation::kRestore:
        return {"--json", "restore", Path("changed.eml")};
      case Operation::kAuth:
        return {"--json", "auth", "1", "--keys", Path("keys.dic")};
    }
    return {};
  }
  // The request whose answer the swap comes before: before the work (the first write of a
  // restore, the first key tried by the others), in the middle of it, at its last exchange of
  // that kind (a restore's last read-back, after its last write).
  std::pair<std::uint8_t, int> Trigger(const std::map<std::uint8_t, int>& counts) {
    const std::uint8_t work = GetParam().operation == Operation::kRestore ? kWriteRequest
                              : GetParam().operation == Operation::kDump  ? kReadRequest
                                                                          : kAuthRequest;
    switch (GetParam().when) {
      case When::kBefore:
        return {GetParam().operation == Operation::kRestore ? kWriteRequest : kAuthRequest, 1};
      case When::kDuring:
        return {work, std::max(1, counts.at(work) / 2)};
      case When::kAfter:
        break;
    }
    const std::uint8_t last =
        GetParam().operation == Operation::kAuth ? kAuthRequest : kReadRequest;
    return {last, counts.at(last)};
  }
};

TEST_P(CardSwaps, NothingReachesTheOtherCardAndBothUidsAreNamed) {
  const CardImage first = MifareClassic1K(kDefaultUid).image();
  // The same transport keys open the other card, were the tool to take it for the first.
  CardImage other = MifareClassic1K(kOtherUid).image();
  for (std::size_t i = 16; i < 48; ++i) other[i] = static_cast<std::uint8_t>(0xC0 + i);
  Write("other.bin", std::string(other.begin(), other.end()));
  UseCard(first);
  // A restore that writes every data block; a key list whose first keys fail.
  cli::card::CardImage changed =
      cli::card::ReadDump(ToolDump("eml"), cli::card::FormatNamed("eml"));
  for (int b = 1; b < 64; ++b) {
    if (!changed.IsTrailer(b)) changed.SetBlock(b, cli::card::Block{static_cast<std::uint8_t>(b)});
  }
  Write("changed.eml", cli::card::FormatNamed("eml")->write(changed));
  Write("keys.dic", "A1A2A3A4A5A6\nB1B2B3B4B5B6\nC1C2C3C4C5C6\nFFFFFFFFFFFF\n");
  const std::string previous = "a dump from before\n";

  // Without a swap: how many requests of each kind the operation makes.
  std::map<std::uint8_t, int> counts;
  BeforeEachRequest([&](const std::vector<std::uint8_t>& payload) {
    if (payload.size() > 1 && payload[0] == 0x04) ++counts[payload[1]];
  });
  Write("card.json", previous);
  ASSERT_EQ(Vorlex(Args()).exit_status, 0);
  UseCard(first);
  Write("card.json", previous);

  const auto [code, nth] = Trigger(counts);
  int seen = 0;
  std::atomic<bool> swapped{false};
  BeforeEachRequest([&](const std::vector<std::uint8_t>& payload) {
    if (payload.size() > 1 && payload[0] == 0x04 && payload[1] == code && ++seen == nth) {
      const std::string said = GetParam().swap == Swap::kLoad
                                   ? ApplyControl(*reader_, {"load", Path("other.bin")})
                                   : ApplyControl(*reader_, {"remove"});
      swapped = said.rfind("ok", 0) == 0;
    }
  });
  const Outcome outcome = Vorlex(Args());
  ASSERT_TRUE(swapped) << "request " << int(code) << " #" << nth;
  EXPECT_EQ(outcome.exit_status, 1) << outcome.out << outcome.err;
  const json report = json::parse(outcome.out);
  const bool load = GetParam().swap == Swap::kLoad;
  EXPECT_EQ(report["stopped"]["reason"], load ? "card_changed" : "card_left") << outcome.out;
  EXPECT_EQ(report["stopped"]["expected_uid"], "3A5C719E");
  EXPECT_EQ(report["stopped"]["found_uid"], load ? "11223344" : "");
  const std::string error = report["stopped"]["error"];
  EXPECT_TRUE(Contains(error, load ? "expected card 3A5C719E, found card 11223344"
                                   : "expected card 3A5C719E, found no card"))
      << error;
  if (load) {
    EXPECT_EQ(reader_->MifareImage(), other) << "the other card changed";
  }
  if (GetParam().operation == Operation::kDump) {
    EXPECT_EQ(Read("card.json"), previous) << "a stopped dump replaced the file";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Operations, CardSwaps,
    ::testing::Values(
        SwapCase{"DumpLoadBefore", Operation::kDump, Swap::kLoad, When::kBefore},
        SwapCase{"DumpLoadDuring", Operation::kDump, Swap::kLoad, When::kDuring},
        SwapCase{"DumpLoadAfter", Operation::kDump, Swap::kLoad, When::kAfter},
        SwapCase{"DumpRemoveDuring", Operation::kDump, Swap::kRemove, When::kDuring},
        SwapCase{"RestoreLoadBefore", Operation::kRestore, Swap::kLoad, When::kBefore},
        SwapCase{"RestoreLoadDuring", Operation::kRestore, Swap::kLoad, When::kDuring},
        SwapCase{"RestoreLoadAfter", Operation::kRestore, Swap::kLoad, When::kAfter},
        SwapCase{"RestoreRemoveDuring", Operation::kRestore, Swap::kRemove, When::kDuring},
        SwapCase{"AuthLoadBefore", Operation::kAuth, Swap::kLoad, When::kBefore},
        SwapCase{"AuthLoadDuring", Operation::kAuth, Swap::kLoad, When::kDuring},
        SwapCase{"AuthLoadAfter", Operation::kAuth, Swap::kLoad, When::kAfter},
        SwapCase{"AuthRemoveDuring", Operation::kAuth, Swap::kRemove, When::kDuring}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace vorlex::sim
