// What the tool makes of its inputs, through the built vorlex program on the simulator: files and
// options that mean nothing are refused before anything is sent, in the user's terms; scripts as
// script-runner users write them; card files worked on without a card.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "card_files_fixture.h"
#include "dump_formats.h"

namespace vorlex::sim {
namespace {

namespace fs = std::filesystem;

class CliInputsTest : public ::testing::Test, public CardFilesSim {
 protected:
  static std::string Sample(const std::string& name) {
    return std::string(VORLEX_CLI_SAMPLES) + "/" + name;
  }
  // A JSON dump of the simulator's card with `extra` blocks added to "blocks".
  std::string JsonWith(const std::string& extra) {
    std::string json = ToolDump("json");
    json.insert(json.find("\"blocks\": {") + 11, extra);
    return json;
  }
};

TEST_F(CliInputsTest, MeaninglessInputsAreRefusedBeforeAnythingIsSent) {
  fs::create_directories(Path("folder"));
  const std::string dup_json = JsonWith("\n    \"05\": \"00000000000000000000000000000000\",");
  const std::string far_json = JsonWith("\n    \"64\": \"00000000000000000000000000000000\",");
  const std::size_t before = RequestCount();  // the dumps above were sent
  const struct {
    std::vector<std::string> args;
    std::optional<std::string> input;
    const char* said;
  } cases[] = {
      {{"auth", "1", "--keys", Path("folder")}, {}, "is a folder, not a key list"},
      {{"dump", "--keys", Write("empty.dic", "# nothing yet\n\n")}, {}, "holds no key"},
      {{"auth", "1", "--keys", Path("missing.dic")}, {}, "missing.dic: No such file or directory"},
      {{"script", Path("folder")}, {}, "is a folder, not an APDU script"},
      {{"script", Write("comments.apdu", "# select later\n")}, {}, "holds no APDU"},
      {{"script", "-"}, std::string("\n"), "standard input: holds no APDU"},
      {{"script", "-"}, std::string("00A4 = 9G00\n"), "standard input: line 1"},
      {{"restore", Path("folder")}, {}, "is a folder, not a dump file"},
      {{"restore", Write("dup.json", dup_json)},
       {},
       "blocks.5: block 5 is given twice (as \"05\" and \"5\")"},
      {{"restore", Write("far.json", far_json)}, {}, "block 64 is beyond a 1K card (Card.SAK 08)"},
      {{"purchase", "--amount", "5", "--prep", "20261399250000"}, {}, "no such month"},
      {{"purchase", "--amount", "5", "--prep", "20260229120000"}, {}, "no such day"},
      {{"purchase", "--amount", "5", "--prep", "20261209240000"}, {}, "no such hour"},
      {{"purse", "request", "--amount", "5", "--prep", "2026120912AB00"},
       {},
       "decimal digits only"},
      {{"display", "5€"}, {}, "TEXT holds \"€\", which GBK has no code for"},
      {{"file", "show", Path("folder")}, {}, "is a folder"},
      {{"file", "convert", Sample("transit.mfd"), Path("out.xyz")}, {}, "cannot tell the format"},
      {{"file", "convert", Sample("badge.nfc"), Path("badge.bin")},
       {},
       "have unknown bytes, which bin cannot mark"},
  };
  for (const auto& c : cases) {
    const Outcome outcome = Vorlex(c.args, c.input);
    EXPECT_EQ(outcome.exit_status, 2) << c.args[0] << ": " << outcome.err;
    EXPECT_TRUE(Contains(outcome.err, c.said)) << c.args[0] << ": " << outcome.err;
  }
  EXPECT_EQ(RequestCount(), before);
}

// Inputs other tools take are taken alike.
TEST_F(CliInputsTest, ByteOrderMarksAndLeapDays) {
  const struct {
    std::vector<std::string> args;
    const char* said;
  } cases[] = {
      {{"auth", "1", "--keys",
        Write("bom.dic",
              "\xEF\xBB\xBF"
              "FFFFFFFFFFFF\n")},
       "FFFFFFFFFFFF"},
      {{"script", Write("bom.apdu", "\xEF\xBB\xBFreset\n0084000008 = ..9000\n")}, "90 00"},
      {{"purchase", "--amount", "5", "--prep", "20280229235959"}, "20280229235959"},
  };
  for (const auto& c : cases) {
    const Outcome outcome = Vorlex(c.args);
    EXPECT_EQ(outcome.exit_status, 0) << c.args[0] << ": " << outcome.err;
    EXPECT_TRUE(Contains(outcome.out, c.said)) << c.args[0] << ": " << outcome.out;
  }
}

// A script on standard input, with comments after commands and masks in the expected replies.
TEST_F(CliInputsTest, ScriptsAsScriptRunnerUsersWriteThem) {
  const struct {
    std::string script;
    int exit_status;
    const char* said;
  } cases[] = {
      {"reset   # a card request and ATS\n"
       "00A4040008 F0564F524C455801 = ..90XX   # select by name\n"
       "0084000008 = XXXXXXXX........ 9000 # any challenge\n"
       "00B0950000 = ..9.0.\n",
       0, "01 01 90 00 : Normal processing."},
      {"reset\n0084000008 = ..6AXX # fails\n", 1, "line 2: expected ..6AXX, the card answered"},
      {"reset\n0084000008 = 61..\n", 1, "expected 61.., the card answered"},
  };
  for (const auto& c : cases) {
    const Outcome outcome = Vorlex({"script", "-"}, c.script);
    EXPECT_EQ(outcome.exit_status, c.exit_status) << c.script << outcome.out << outcome.err;
    EXPECT_TRUE(Contains(outcome.out + outcome.err, c.said)) << outcome.out << outcome.err;
  }
}

// file show: every sector's blocks, keys and access conditions, and what the file does not hold.
TEST_F(CliInputsTest, FileShowDecodesEachSector) {
  const struct {
    const char* sample;
    std::vector<const char*> said;
  } cases[] = {
      {"transit.json",
       {"file  ", "(json)", "1K card, 16 sectors, 64 blocks, UID 4F2A9C13, ATQA 0004, SAK 08",
        "sector 1", "key A    4B791BEA7BCC", "key B    5A1F3C4D2E6B", "access   7F078869",
        "block7: ", "unknown: nothing, every byte is in the file"}},
      {"transit.mfd", {"(bin)", "block 0  4F2A9C13EA08040062636465666768", "access   787788C1"}},
      {"transit.eml", {"(eml)", "sector 15"}},
      {"badge.nfc",
       {"(nfc)", "UID B73105E2", "sector 9", "unknown  no block of this sector is in the file",
        "key B    unknown", "unknown: sectors 4 (1 block with unknown bytes), 9 (whole)"}},
  };
  for (const auto& c : cases) {
    const Outcome outcome = Vorlex({"file", "show", Sample(c.sample)});
    EXPECT_EQ(outcome.exit_status, 0) << c.sample << ": " << outcome.err;
    for (const char* said : c.said)
      EXPECT_TRUE(Contains(outcome.out, said)) << said << "\n" << outcome.out;
  }
  const Outcome json = Vorlex({"--json", "file", "show", Sample("badge.nfc")});
  EXPECT_TRUE(Contains(json.out, R"("sector":9,"unknown":true)")) << json.out;
}

// Each sample through each format and back holds the same card data; bin and eml hold unknown
// bytes as zeros (with --partial), and say so. Read back, bin and eml know no key B the access
// bits hide, so the json sample, which knows its hidden key Bs, differs from them there (the nfc
// sample's hidden key B is unknown in it too).
TEST_F(CliInputsTest, FileConvertRoundTripsTheFormats) {
  for (const char* sample : {"transit.mfd", "transit.eml", "transit.json", "badge.nfc"}) {
    const bool with_unknown = std::string(sample) == "badge.nfc";
    const bool knows_hidden_keys = std::string(sample) == "transit.json";
    for (const cli::card::DumpFormat& format : cli::card::DumpFormats()) {
      SCOPED_TRACE(std::string(sample) + " -> " + format.name);
      const std::string out = Path(std::string("converted.") + format.name);
      const bool zeros = std::string(format.name) == "bin" || std::string(format.name) == "eml";
      // What a raw image cannot hold (the hidden keys B) is dropped only when asked.
      std::vector<std::string> args = {"file",     "convert",   Sample(sample), out,
                                       "--format", format.name, "--partial"};
      if (knows_hidden_keys && zeros) args.push_back("--lossy");
      const Outcome convert = Vorlex(args);
      ASSERT_EQ(convert.exit_status, 0) << convert.err;
      EXPECT_EQ(Contains(convert.err, "cannot hold was dropped (--lossy)"),
                knows_hidden_keys && zeros)
          << convert.err;
      EXPECT_EQ(Contains(convert.err, "have unknown bytes: written as zeros"),
                with_unknown && zeros)
          << convert.err;
      if (format.read == nullptr) continue;
      const Outcome diff = Vorlex({"file", "diff", Sample(sample), out});
      EXPECT_EQ(diff.exit_status, knows_hidden_keys && zeros ? 1 : 0) << diff.out << diff.err;
    }
  }
  // The same card in two formats, converted by extension.
  const Outcome json = Vorlex({"file", "convert", Sample("transit.mfd"), Path("back.json")});
  EXPECT_TRUE(Contains(json.out, "back.json (json)")) << json.out << json.err;
  EXPECT_EQ(Vorlex({"file", "diff", Path("back.json"), Sample("transit.eml")}).exit_status, 0);
}

TEST_F(CliInputsTest, FileDiffBySectorAndBlock) {
  std::string eml;
  {
    std::ifstream in(Sample("transit.eml"));
    std::ostringstream all;
    all << in.rdbuf();
    eml = all.str();
  }
  eml.replace(33 * 9 + 6, 2, "FF");  // block 9 (sector 2, block 1), byte 3
  const Outcome diff = Vorlex({"file", "diff", Sample("transit.mfd"), Write("changed.eml", eml)});
  EXPECT_EQ(diff.exit_status, 1) << diff.err;
  EXPECT_TRUE(Contains(diff.out,
                       "sector 2\n  block 1\n    < 2E090000D1F6FFFF2E09000009F609F6\n"
                       "    > 2E0900FFD1F6FFFF2E09000009F609F6\n            ^^\n"))
      << diff.out;
  EXPECT_TRUE(Contains(diff.err, "1 block(s) in 1 sector(s) differ")) << diff.err;
  const Outcome other =
      Vorlex({"--json", "file", "diff", Sample("transit.json"), Sample("badge.nfc")});
  EXPECT_EQ(other.exit_status, 1);
  EXPECT_TRUE(Contains(
      other.out,
      R"("sector":9,"block":0,"a":"00000000000000000000000000000000","b":"????????????????????????????????")"))
      << other.out;
}

}  // namespace
}  // namespace vorlex::sim
