// Files replaced only by complete results, unknown bytes never passed off as card data, the card's
// real size: dump, restore and file convert through the built vorlex program against the
// simulator's card on a pty in this process.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "card_files_fixture.h"
#include "dump_formats.h"
#include "sim_control.h"

namespace vorlex::sim {
namespace {

using nlohmann::json;

constexpr std::uint8_t kReadRequest = 0x04;

class CardResults : public ::testing::Test, public CardFilesSim {
 protected:
  // Runs vorlex with `args`; `stop` is called before the card answers the read of `block` of
  // `sector` (the tool then still running).
  Outcome RunStopped(const std::vector<std::string>& args, int sector, int block,
                     const std::function<void(Tool&)>& stop) {
    std::atomic<Tool*> running{nullptr};
    std::atomic<bool> done{false};
    BeforeEachRequest([&](const std::vector<std::uint8_t>& payload) {
      if (payload.size() > 3 && payload[0] == 0x04 && payload[1] == kReadRequest &&
          payload[2] == sector && payload[3] == block && !done) {
        while (!running) std::this_thread::yield();
        stop(*running.load());
        done = true;
      }
    });
    std::vector<std::string> all = {"--port", engine_.port()};
    all.insert(all.end(), args.begin(), args.end());
    Tool tool(all, {"LC_ALL=C"});
    running = &tool;
    Outcome outcome = tool.Wait();
    EXPECT_TRUE(done) << "no read of sector " << sector << " block " << block;
    BeforeEachRequest([](const auto&) {});
    return outcome;
  }
};

// A dump stopped by a signal or a card taken off replaces no file; --partial asks for what was
// read, and gets it marked incomplete.
TEST_F(CardResults, AStoppedDumpLeavesTheFileAsItWas) {
  const std::string previous = "the last complete dump\n";
  const struct {
    const char* name;
    std::function<void(Tool&)> stop;
    bool partial;
    int exit_status;
  } cases[] = {
      {"SIGINT", [](Tool& tool) { tool.Signal(SIGINT); }, false, 130},
      {"SIGTERM", [](Tool& tool) { tool.Signal(SIGTERM); }, false, 143},
      {"card removed", [this](Tool&) { ApplyControl(*reader_, {"remove"}); }, false, 1},
      {"SIGINT with --partial", [](Tool& tool) { tool.Signal(SIGINT); }, true, 130},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    UseCard(std::nullopt);
    Write("card.json", previous);
    std::vector<std::string> args = {"--json", "dump", "--output", Path("card.json")};
    if (c.partial) args.push_back("--partial");
    const Outcome outcome = RunStopped(args, 3, 1, c.stop);
    EXPECT_EQ(outcome.exit_status, c.exit_status) << outcome.out << outcome.err;
    const json report = json::parse(outcome.out);
    EXPECT_EQ(report["written"], c.partial);
    EXPECT_EQ(report["complete"], false);
    if (!c.partial) {
      EXPECT_EQ(Read("card.json"), previous);
      EXPECT_TRUE(Contains(outcome.err, "nothing written: the dump did not finish")) << outcome.err;
      continue;
    }
    const cli::card::CardImage saved = cli::card::ReadDump(Read("card.json"));
    EXPECT_FALSE(saved.SectorUnknown(2));
    EXPECT_TRUE(saved.SectorUnknown(4)) << "not read: unknown";
  }
  // Nothing is left beside the file either.
  int beside = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
    beside += entry.path().filename().string().find(".tmp") != std::string::npos;
  }
  EXPECT_EQ(beside, 0);
}

// A raw image stopped inside sector 1 (its trailer and block 4 read, blocks 5 and 6 not) holds
// the whole sector as unknown: a restore of it writes nothing there.
TEST_F(CardResults, ARawDumpStoppedInsideASectorHoldsNoZerosAsData) {
  for (const char* format : {"bin", "eml"}) {
    SCOPED_TRACE(format);
    UseCard(std::nullopt);
    const std::string file = Path(std::string("part.") + format);
    const Outcome dump = RunStopped({"dump", "--partial", "--output", file}, 1, 1,
                                    [](Tool& tool) { tool.Signal(SIGINT); });
    ASSERT_EQ(dump.exit_status, 130) << dump.err;
    const cli::card::CardImage part =
        cli::card::ReadDump(Read(std::string("part.") + format), cli::card::FormatNamed(format));
    EXPECT_FALSE(part.SectorUnknown(0));
    EXPECT_TRUE(part.SectorUnknown(1));
    CardImage other = MifareClassic1K(kDefaultUid).image();
    for (std::size_t i = 64; i < 112; ++i) other[i] = 0x5A;  // sector 1's data blocks
    UseCard(other);
    const Outcome restore = Vorlex({"restore", file, "--allow-trailer"});
    EXPECT_EQ(restore.exit_status, 0) << restore.out << restore.err;
    EXPECT_TRUE(Contains(restore.out, "sector 1  skipped; not in the dump")) << restore.out;
    const auto after = reader_->MifareImage();
    EXPECT_TRUE(std::equal(after.begin() + 64, after.begin() + 128, other.begin() + 64));
  }
}

// file convert does not drop what the source knows unless --lossy says so.
TEST_F(CardResults, ConvertRefusesToDropWhatTheSourceKnows) {
  UseCard(TwoKeyCard(1));
  const std::string keys = Write("all.dic", KeyList(Sectors(0, 15), Sectors(0, 15)));
  ASSERT_EQ(Vorlex({"dump", "--keys", keys, "--output", Path("two.json")}).exit_status, 0);
  const struct {
    std::vector<std::string> args;
    int exit_status;
    std::string said;
    bool written;
  } cases[] = {
      {{"file", "convert", Path("two.json"), Path("two.bin")},
       2,
       "bin cannot hold all that " + Path("two.json") + " knows of sectors 0-15",
       false},
      {{"file", "convert", Path("two.json"), Path("two.eml")}, 2, "eml cannot hold", false},
      {{"file", "convert", Path("two.json"), Path("two.bin"), "--lossy"},
       0,
       "sectors 0-15 of " + Path("two.json") + ": what bin cannot hold was dropped (--lossy)",
       true},
      {{"file", "convert", Path("two.json"), Path("two.nfc")}, 0, "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[3]);
    std::filesystem::remove(c.args[3]);
    const Outcome outcome = Vorlex(c.args);
    EXPECT_EQ(outcome.exit_status, c.exit_status) << outcome.out << outcome.err;
    EXPECT_TRUE(Contains(outcome.err, c.said)) << outcome.err;
    EXPECT_EQ(std::filesystem::exists(c.args[3]), c.written);
  }
  EXPECT_EQ(cli::card::ReadDump(Read("two.nfc")).KeyB(5),
            cli::card::ReadDump(Read("two.json")).KeyB(5));
}

// A version 2 .nfc file holds the ATQA low byte first; version 4 and json are written right.
TEST_F(CardResults, NfcVersion2AtqaIsReadLowByteFirst) {
  std::string v2 = ToolDump("nfc");
  ASSERT_TRUE(Contains(v2, "ATQA: 00 04"));
  v2.replace(v2.find("Version: 4"), 10, "Version: 2");
  v2.replace(v2.find("ATQA: 00 04"), 11, "ATQA: 04 00");
  Write("v2.nfc", v2);
  ASSERT_EQ(Vorlex({"file", "convert", Path("v2.nfc"), Path("v4.nfc")}).exit_status, 0);
  ASSERT_EQ(Vorlex({"file", "convert", Path("v2.nfc"), Path("v2.json")}).exit_status, 0);
  EXPECT_TRUE(Contains(Read("v4.nfc"), "ATQA: 00 04")) << Read("v4.nfc");
  EXPECT_EQ(json::parse(Read("v2.json"))["Card"]["ATQA"], "0400");
  EXPECT_TRUE(Contains(Vorlex({"file", "show", Path("v2.nfc")}).out, "ATQA 0004"));
}

// A Mifare Mini whose sector 0 no key opens (so no SAK is read) is still a Mini: the card says
// it has no sector 5.
TEST_F(CardResults, AMiniIsReadAsAMini) {
  CardImage mini = MifareClassic1K(kDefaultUid).image();
  mini[5] = 0x09;
  for (std::size_t i = 48; i < 64; ++i) mini[i] = i < 54 || i >= 58 ? 0xA1 : mini[i];
  UseCard(mini);
  const Outcome dump = Vorlex({"--json", "dump"});
  EXPECT_EQ(dump.exit_status, 1) << dump.err;
  const json report = json::parse(dump.out);
  EXPECT_EQ(report["sectors"].size(), 5u) << dump.out;
  EXPECT_EQ(report["sectors_failed"], 1);
  // A 1K dump restored to it: sectors 5-15 are not on this card.
  UseCard(std::nullopt);
  Write("1k.json", ToolDump("json"));
  UseCard(mini);
  const Outcome restore = Vorlex({"restore", Path("1k.json"), "--any-card"});
  EXPECT_TRUE(Contains(restore.out, "sector 5  skipped; not on this card")) << restore.out;
  EXPECT_TRUE(Contains(restore.out, "sector 15  skipped; not on this card")) << restore.out;
}

// --dry-run ends as the restore would: a refused sector exits 1.
TEST_F(CardResults, DryRunExitsAsTheRestore) {
  json dump = json::parse(ToolDump("json"));
  dump["blocks"]["7"] = "FFFFFFFFFFFF00000000FFFFFFFFFFFF";
  const std::string file = Write("bad.json", dump.dump());
  for (const bool dry : {true, false}) {
    SCOPED_TRACE(dry);
    std::vector<std::string> args = {"restore", file, "--allow-trailer"};
    if (dry) args.push_back("--dry-run");
    const Outcome outcome = Vorlex(args);
    EXPECT_TRUE(Contains(outcome.out, "sector 1  refused")) << outcome.out;
    EXPECT_EQ(outcome.exit_status, 1);
  }
}

}  // namespace
}  // namespace vorlex::sim
