// dump, restore, key lists and APDU scripts through the built vorlex program, against the
// simulator's card on a pty in this process.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "card_files_fixture.h"
#include "dump_formats.h"

namespace vorlex::sim {
namespace {

using cli::card::CardImage;

class CardFilesTest : public ::testing::Test, public CardFilesSim {};

TEST_F(CardFilesTest, RestoreThenDumpGivesBackTheDataBlocks) {
  for (const char* format : {"nfc", "bin", "json", "eml"}) {
    SCOPED_TRACE(format);
    // The card's own dump, its data blocks changed; the nfc file leaves sector 9 unknown.
    CardImage file = cli::card::ReadDump(ToolDump("bin"));
    for (int b = 1; b < 64; ++b) {
      if (file.IsTrailer(b)) continue;
      cli::card::Block data;
      for (int i = 0; i < 16; ++i) data[i] = static_cast<std::uint8_t>(b * 16 + i + *format);
      file.SetBlock(b, data);
    }
    const bool with_unknown = std::string(format) == "nfc";
    if (with_unknown) {
      for (int b = 36; b < 40; ++b) file.known[b] = 0;
    }
    const std::string path =
        Write(std::string("restore.") + format, cli::card::FormatNamed(format)->write(file));
    const Outcome restore = Vorlex({"restore", path});
    ASSERT_EQ(restore.exit_status, 0) << restore.out << restore.err;
    EXPECT_TRUE(Contains(restore.out, "sector 15  written  blocks 60-62")) << restore.out;

    const CardImage back = cli::card::ReadDump(ToolDump("json"));
    for (int b = 1; b < 64; ++b) {
      if (file.IsTrailer(b) || (with_unknown && file.SectorOf(b) == 9)) continue;
      EXPECT_EQ(back.blocks[b], file.blocks[b]) << "block " << b;
    }
  }
}

TEST_F(CardFilesTest, DryRunsAndRefusedFilesWriteNothing) {
  const auto before = reader_->MifareImage();
  std::string eml = ToolDump("eml");
  const std::string good = Write("card.eml", eml);
  eml[eml.find('\n', 33 * 5) - 4] = 'X';  // line 6
  const struct {
    std::vector<std::string> args;
    int exit_status;
    const char* expected;
  } cases[] = {
      {{"restore", good, "--dry-run"}, 0, "sector 1  planned  would write blocks 4-6"},
      {{"restore", Write("bad.eml", eml)}, 2, "bad.eml: line 6: a block is 32 hex digits"},
      {{"restore", Write("short.bin", std::string(1000, '\0'))}, 2, "offset 992"},
      {{"restore", good, "--allow-trailer", "--format", "eml"},
       0,
       "sector 1  written  blocks 4-7"},  // the same trailer, accepted by the guard
  };
  for (const auto& c : cases) {
    const Outcome outcome = Vorlex(c.args);
    EXPECT_EQ(outcome.exit_status, c.exit_status) << outcome.out << outcome.err;
    EXPECT_TRUE(Contains(outcome.out + outcome.err, c.expected)) << outcome.out << outcome.err;
    EXPECT_EQ(reader_->MifareImage(), before) << "nothing changed";
  }
}

TEST_F(CardFilesTest, KeyListsOpenSectorsOnTheirHundredthKey) {
  const std::string keys = Write("keys.dic", HundredKeys());
  UseCard(HalfOnTheHundredthKey());
  const Outcome dump = Vorlex({"dump", "--keys", keys, "--output", Path("found.json"), "--json"});
  ASSERT_EQ(dump.exit_status, 0) << dump.out << dump.err;
  const CardImage found = cli::card::ReadDump(Read("found.json"));
  for (int sector = 0; sector < 16; ++sector) {
    EXPECT_EQ(found.key_a[sector], sector % 2 ? kHundredthKey : kTransportKey) << sector;
    EXPECT_FALSE(found.SectorUnknown(sector));
  }
  EXPECT_TRUE(Contains(Read("found.json"), R"("KeyA": "A0B1C2D3E4F5")"));

  const Outcome auth = Vorlex({"auth", "3", "--keys", keys, "--json"});
  EXPECT_EQ(auth.exit_status, 0) << auth.out << auth.err;
  EXPECT_TRUE(Contains(auth.out, R"("key":"A0B1C2D3E4F5")")) << auth.out;
  // A failed key costs the authentication and a new card request.
  EXPECT_TRUE(Contains(auth.out, R"("exchanges":200)")) << auth.out;

  const Outcome bad = Vorlex({"dump", "--keys", Write("bad.dic", "# list\nFFFFFFFFFFFF\nFFFF\n")});
  EXPECT_EQ(bad.exit_status, 2);
  EXPECT_TRUE(Contains(bad.err, "bad.dic: line 3: \"FFFF\"")) << bad.err;
}

TEST_F(CardFilesTest, ScriptsShowEachExchangeAndStopAtTheFirstMismatch) {
  const std::string script = Write("check.apdu",
                                   "# the purse\nreset\n00 A4 00 00 02 \\\n  3F 00 = 9000\n"
                                   "805C000204 = ..9000\n00A4040005A000000099 = 6A82\nexit\n00\n");
  Outcome outcome = Vorlex({"script", script});
  ASSERT_EQ(outcome.exit_status, 0) << outcome.out << outcome.err;
  EXPECT_TRUE(Contains(outcome.out, "> 00 A4 00 00 02 3F 00\n< 90 00 : Normal processing.\n")) << outcome.out;
  EXPECT_TRUE(Contains(outcome.out, "< 00 00 27 10 90 00 : Normal processing.\n"));
  EXPECT_TRUE(Contains(outcome.out, "< 6A 82 : file or application not found\n"));

  const std::string mismatch = Write("mismatch.apdu", "reset\n805C000204 = 9000\n0084000008\n");
  outcome = Vorlex({"script", mismatch, "--json"});
  EXPECT_EQ(outcome.exit_status, 1);
  EXPECT_TRUE(Contains(outcome.out, R"("expected":"9000","match":false)")) << outcome.out;
  EXPECT_FALSE(Contains(outcome.out, "0084000008")) << "stopped there";
  EXPECT_TRUE(Contains(outcome.out, "line 2: expected 9000, the card answered 00 00 27 10 90 00"));

  outcome = Vorlex({"script", Write("case4.apdu", "reset\n00A40000023F0000\n")});
  EXPECT_EQ(outcome.exit_status, 2);
  EXPECT_TRUE(Contains(outcome.err, "line 2: the card and SAM APDU calls take case 2"))
      << outcome.err;
}

}  // namespace
}  // namespace vorlex::sim
