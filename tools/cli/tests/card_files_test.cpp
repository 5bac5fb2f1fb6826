// dump, restore, key lists and APDU scripts through the built vorlex program, against the
// simulator's card on a pty in this process.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "card_files_fixture.h"
#include "dump_formats.h"

namespace vorlex::sim {
namespace {

using cli::card::CardImage;
using nlohmann::json;

class CardFilesTest : public ::testing::Test, public CardFilesSim {};

TEST_F(CardFilesTest, RestoreThenDumpGivesBackTheDataBlocks) {
  for (const char* format : {"nfc", "bin", "json", "eml", "txt"}) {
    SCOPED_TRACE(format);
    // The card's own dump, its data blocks changed; the nfc file leaves sector 9 unknown.
    CardImage file = cli::card::ReadDump(ToolDump("bin"), cli::card::FormatNamed("bin"));
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
    const auto* writer = cli::card::FormatNamed(std::string(format) == "txt" ? "text" : format);
    const std::string path = Write(std::string("restore.") + format, writer->write(file));
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
  // A failed key costs the authentication and a new card request; key B is then tried with
  // key A's key first.
  EXPECT_TRUE(Contains(auth.out, R"("exchanges":201)")) << auth.out;
  EXPECT_TRUE(Contains(auth.out, R"("key_a":"A0B1C2D3E4F5","key_b":"A0B1C2D3E4F5")"));

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
  EXPECT_TRUE(Contains(outcome.out, "> 00 A4 00 00 02 3F 00\n< 90 00 : Normal processing.\n"))
      << outcome.out;
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

// Both keys of every sector from a dictionary that holds them all, in any order; the block
// only key B may read is read with it; the files carry both keys.
TEST_F(CardFilesTest, BothKeysOfEverySectorFromADictionary) {
  UseCard(TwoKeyCard(1));
  const auto image = reader_->MifareImage();
  const CardImage card =
      cli::card::ReadDump(std::string(image.begin(), image.end()), cli::card::FormatNamed("bin"));
  const std::string keys = Write("all.dic", KeyList(Sectors(0, 15), Sectors(0, 15)));
  const Outcome dump = Vorlex({"dump", "--keys", keys, "--output", Path("both.json"), "--json"});
  ASSERT_EQ(dump.exit_status, 0) << dump.out << dump.err;
  const json report = json::parse(dump.out);
  for (const char* format : {"json", "nfc"}) {
    SCOPED_TRACE(format);
    const std::string path = Path(std::string("both.") + format);
    if (std::string(format) != "json") {
      ASSERT_EQ(Vorlex({"dump", "--keys", keys, "--output", path}).exit_status, 0);
    }
    const CardImage found = cli::card::ReadDump(Read(std::string("both.") + format), nullptr, path);
    for (int sector = 0; sector < 16; ++sector) {
      EXPECT_EQ(found.KeyA(sector), KeyAOf(sector)) << sector;
      EXPECT_EQ(found.KeyB(sector), KeyBOf(sector)) << sector;
    }
    for (int b = 0; b < 64; ++b) {
      ASSERT_TRUE(found.BlockKnown(b)) << b;
      if (!found.IsTrailer(b)) {
        EXPECT_EQ(found.blocks[b], card.blocks[b]) << b;
      }
    }
  }
  EXPECT_TRUE(Contains(Read("both.json"), R"("KeyB": "B0B1B2B3B40F")")) << Read("both.json");
  // Keys tried per sector and what a key costs.
  ASSERT_EQ(report["keys_tried_per_sector"].size(), 16u);
  EXPECT_GT(report["keys_tried_per_sector"][0], 2);
  EXPECT_TRUE(report.contains("ms_per_key"));
  EXPECT_EQ(report["sectors"][5]["key_b"], "B0B1B2B3B401");
}

// Whatever the format and whatever the dump missed (a sector no key opened, key Bs not found,
// blocks only key B reads), a restore onto a card changes no byte the dump did not hold: the
// hidden key B a raw image holds as zeros, the zeros of the sector it did not read.
TEST_F(CardFilesTest, RestoringAPartialDumpChangesNoByteItDidNotHold) {
  UseCard(TwoKeyCard(1));
  std::vector<int> some = Sectors(0, 15);
  some.erase(some.begin() + 4);  // sector 4: no key
  const std::string dump_keys = Write("some.dic", KeyList(some, Sectors(0, 3)));
  const std::string all_keys = Write("all.dic", KeyList(Sectors(0, 15), Sectors(0, 15)));
  const Outcome truth = Vorlex({"dump", "--keys", dump_keys, "--output", Path("truth.json")});
  ASSERT_EQ(truth.exit_status, 1) << "sector 4 did not open";
  const CardImage held = cli::card::ReadDump(Read("truth.json"));
  const auto original = reader_->MifareImage();
  for (const char* format : {"json", "nfc", "bin", "eml"}) {
    SCOPED_TRACE(format);
    UseCard(TwoKeyCard(1));
    const std::string file = Path(std::string("partial.") + format);
    Vorlex({"dump", "--keys", dump_keys, "--output", file, "--partial"});
    UseCard(TwoKeyCard(2));
    const auto before = reader_->MifareImage();
    const Outcome restore = Vorlex({"restore", file, "--keys", all_keys, "--allow-trailer"});
    EXPECT_TRUE(Contains(restore.out, "sector 4  skipped; not in the dump")) << restore.out;
    const auto after = reader_->MifareImage();
    for (std::size_t i = 0; i < after.size(); ++i) {
      const int block = static_cast<int>(i / 16), byte = static_cast<int>(i % 16);
      if (after[i] == before[i]) continue;
      EXPECT_TRUE(held.ByteKnown(block, byte) && after[i] == original[i])
          << "block " << block << " byte " << byte << "\n"
          << restore.out;
    }
    EXPECT_EQ(std::vector(after.begin() + 16, after.begin() + 32),
              std::vector(original.begin() + 16, original.begin() + 32))
        << "what the dump held was written";
  }
}

// Refused files and cards: nothing is written, and the reason names what decided it.
TEST_F(CardFilesTest, TheWrongCardOrFileIsRefused) {
  const std::string dump = Write("card.json", ToolDump("json"));
  std::string mfu = Read("card.json");
  mfu.replace(mfu.find("mfc v2"), 6, "mfu");
  std::string nfc5 = ToolDump("nfc");
  nfc5.replace(nfc5.find("Version: 4"), 10, "Version: 5");
  const std::string text_of_1024(1024, 'x');
  UseCard(TwoKeyCard(1, {0x11, 0x22, 0x33, 0x44}));
  const auto before = reader_->MifareImage();
  const struct {
    std::vector<std::string> args;
    int exit_status;
    const char* said;
  } cases[] = {
      {{"restore", dump}, 1, "is a dump of card 3A5C719E, the card in the field is 11223344"},
      {{"restore", Write("list", text_of_1024), "--any-card"}, 2, "not a dump in json, nfc"},
      {{"restore", Write("list.txt", text_of_1024), "--any-card"}, 2, "list.txt: line 1: no"},
      {{"restore", Write("mfu.json", mfu), "--any-card"},
       2,
       "\"FileType\": \"mfu\" is not a Mifare Classic dump"},
      {{"restore", Write("v5.nfc", nfc5), "--any-card"}, 2, "line 2: Version 5"},
  };
  for (const auto& c : cases) {
    const Outcome outcome = Vorlex(c.args);
    EXPECT_EQ(outcome.exit_status, c.exit_status) << outcome.out << outcome.err;
    EXPECT_TRUE(Contains(outcome.err, c.said)) << outcome.err;
    EXPECT_EQ(reader_->MifareImage(), before) << c.said;
  }
  const Outcome any =
      Vorlex({"restore", dump, "--any-card", "--key", "A0A1A2A3A400", "--key", "B0B1B2B3B400"});
  EXPECT_TRUE(Contains(any.out, "sector 0  written  blocks 1-2")) << any.out << any.err;
}

// A 4K file on this 1K card: sectors 16-39 are reported and nothing is sent for them.
TEST_F(CardFilesTest, SectorsBeyondTheCardAreNotSent) {
  CardImage big(256);
  const CardImage small = cli::card::ReadDump(ToolDump("bin"), cli::card::FormatNamed("bin"));
  for (int b = 0; b < 64; ++b) big.SetBlock(b, small.blocks[b]);
  for (int b = 64; b < 256; ++b)
    big.SetBlock(b, big.IsTrailer(b) ? small.blocks[3] : small.blocks[1]);
  big.blocks[0][5] = 0x18;  // the file says 4K: the card's ATQA says otherwise
  const std::string file = Write("big.json", cli::card::FormatNamed("json")->write(big));
  engine_.ClearRecord();
  const Outcome outcome = Vorlex({"restore", file});
  EXPECT_EQ(outcome.exit_status, 0) << outcome.out << outcome.err;
  EXPECT_TRUE(Contains(outcome.out, "sector 16  skipped; not on this card")) << outcome.out;
  EXPECT_TRUE(Contains(outcome.out, "sector 39  skipped; not on this card"));
  for (const auto& request : engine_.Requests()) {
    if (request.size() > 2 && request[0] == 0x04 && request[1] >= 0x03 && request[1] <= 0x05) {
      EXPECT_LT(request[2], 16) << "a request for sector " << int(request[2]);
    }
  }
}

// --dry-run checks each block against the card's access bits and the key it has.
TEST_F(CardFilesTest, DryRunSaysWhichWritesTheAccessBitsForbid) {
  UseCard(TwoKeyCard(1));
  Vorlex({"dump", "--keys", Write("all.dic", KeyList(Sectors(0, 15), Sectors(0, 15))), "--output",
          Path("two.json")});
  // Sector 1's key B is not in the file.
  CardImage dump = cli::card::ReadDump(Read("two.json"));
  dump.key_b[1].reset();
  dump.known[7] &= 0x03FF;
  const std::string file = Write("two.json", cli::card::FormatNamed("json")->write(dump));
  const auto before = reader_->MifareImage();
  const struct {
    std::vector<std::string> keys;
    int exit_status;
    std::vector<const char*> said;
  } cases[] = {
      {{"--key", "A0A1A2A3A401"},
       1,
       {"sector 1  failed  would write blocks 4",
        "block 5: would fail: the card's access bits (100) let only key B write it, and no key B "
        "opened the sector",
        "block 6: would fail: the card's access bits (011) let only key B write it"}},
      {{"--key", "A0A1A2A3A401", "--key", "B0B1B2B3B401"},
       0,
       {"sector 1  planned  would write blocks 4-6 (key A A0A1A2A3A401, key B B0B1B2B3B401)"}},
      {{"--key", "A0A1A2A3A401", "--allow-trailer"},
       1,
       {"block 7: refused: key B is not in the dump (the access bits hide it) and none of the keys "
        "opened key B on the card"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"restore", file, "--dry-run"};
    args.insert(args.end(), c.keys.begin(), c.keys.end());
    const Outcome outcome = Vorlex(args);
    EXPECT_EQ(outcome.exit_status, c.exit_status) << outcome.out << outcome.err;
    for (const char* said : c.said) EXPECT_TRUE(Contains(outcome.out, said)) << outcome.out;
    EXPECT_EQ(reader_->MifareImage(), before);
  }
}

// Interrupted, a dump and a restore name the sector they stopped in, and the restore lists
// exactly the blocks the card took and those read back.
TEST_F(CardFilesTest, InterruptedDumpsAndRestoresSayWhereAndWhat) {
  Write("card.eml", ToolDump("eml"));
  CardImage changed = cli::card::ReadDump(Read("card.eml"), cli::card::FormatNamed("eml"));
  for (int b = 1; b < 64; ++b) {
    if (!changed.IsTrailer(b)) changed.SetBlock(b, cli::card::Block{static_cast<std::uint8_t>(b)});
  }
  const std::string file = Write("changed.eml", cli::card::FormatNamed("eml")->write(changed));
  const struct {
    std::vector<std::string> args;
    std::uint8_t command, sector;  // the request that brings the signal
    const char* said;
  } cases[] = {
      {{"dump", "--json"}, 0x03, 3, "dump interrupted at sector 3"},
      {{"restore", file, "--json"}, 0x05, 2, "restore interrupted at sector 2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.said);
    UseCard(std::nullopt);
    const auto before = reader_->MifareImage();
    std::atomic<Tool*> running{nullptr};
    std::atomic<bool> sent{false};
    BeforeEachRequest([&](const std::vector<std::uint8_t>& payload) {
      if (payload.size() > 2 && payload[1] == c.command && payload[2] == c.sector && !sent) {
        while (!running) std::this_thread::yield();
        running.load()->Signal(SIGINT);
        sent = true;
      }
    });
    Tool tool(
        {"--port", engine_.port(), c.args[0], c.args[1], c.args.size() > 2 ? c.args[2] : "--json"},
        {"LC_ALL=C"});
    running = &tool;
    const Outcome outcome = tool.Wait();
    EXPECT_EQ(outcome.exit_status, 130) << outcome.out << outcome.err;
    EXPECT_TRUE(Contains(outcome.out + outcome.err, c.said)) << outcome.out << outcome.err;
    EXPECT_FALSE(Contains(outcome.out + outcome.err, "sector -1"));
    if (c.args[0] != "restore") continue;
    // The blocks reported written are exactly those that changed.
    const json report = json::parse(outcome.out);
    std::vector<int> reported, changed_blocks;
    for (const auto& sector : report["sectors"]) {
      for (const auto& block : sector.value("written", json::array())) reported.push_back(block);
    }
    const auto after = reader_->MifareImage();
    for (int b = 0; b < 64; ++b) {
      if (!std::equal(&after[b * 16], &after[b * 16 + 16], &before[b * 16]))
        changed_blocks.push_back(b);
    }
    EXPECT_EQ(reported, changed_blocks) << outcome.out;
    EXPECT_EQ(report["sectors"].back()["sector"], 2);
    EXPECT_EQ(report["sectors"].back()["outcome"], "stopped");
  }
}

}  // namespace
}  // namespace vorlex::sim
