// Files and names from elsewhere through the built vorlex program: malformed, oversized or not
// files at all, bytes that are not UTF-8 under --json, and outputs that cannot be or must not
// be written. Every one ends in a message and exit status 2 or 3, with nothing sent that need
// not be.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "card_files_fixture.h"

namespace vorlex::sim {
namespace {

namespace fs = std::filesystem;

class UntrustedFilesTest : public ::testing::Test, public CardFilesSim {
 protected:
  std::string Fifo() const {
    const std::string path = Path("fifo");
    if (!fs::exists(path)) ::mkfifo(path.c_str(), 0600);
    return path;
  }
  std::string Folder() const {
    fs::create_directories(Path("folder"));
    return Path("folder");
  }
};

TEST_F(UntrustedFilesTest, MalformedOrUnreadableInputEndsInAMessageBeforeAnythingIsSent) {
  const struct {
    std::vector<std::string> args;
    int exit_status;
    const char* says;
  } cases[] = {
      {{"restore", Write("huge.json", R"({"blocks": 1E400})")}, 2, "not valid JSON"},
      {{"restore", "/dev/zero"}, 2, "/dev/zero is a device, not a dump file"},
      {{"restore", Fifo()}, 2, "is a pipe (FIFO), not a dump file"},
      {{"restore", Folder()}, 2, "is a folder, not a dump file"},
      {{"restore", Write("big.bin", std::string((1 << 20) + 16, '\0'))},
       2,
       "larger than a dump file can be (at most 1 MiB)"},
      {{"dump", "--keys", "/dev/zero"}, 2, "/dev/zero is a device, not a key list"},
      {{"auth", "1", "--keys", Fifo()}, 2, "not a key list"},
      {{"script", "/dev/zero"}, 2, "/dev/zero is a device, not an APDU script"},
      {{"script", Folder()}, 2, "is a folder, not an APDU script"},
  };
  for (const auto& c : cases) {
    for (const bool json : {false, true}) {
      std::vector<std::string> args = c.args;
      if (json) args.push_back("--json");
      SCOPED_TRACE(args[0] + " " + args[1] + (json ? " --json" : ""));
      const Outcome outcome = Vorlex(args);
      EXPECT_EQ(outcome.exit_status, c.exit_status) << outcome.out << outcome.err;
      EXPECT_TRUE(Contains(outcome.err, c.says)) << outcome.err;
      if (json) {
        const auto report = nlohmann::json::parse(outcome.out, nullptr, false);
        ASSERT_FALSE(report.is_discarded()) << outcome.out;
        EXPECT_EQ(report["ok"], false);
      }
      EXPECT_TRUE(engine_.Requests().empty()) << "nothing sent";
    }
  }
}

// Invalid UTF-8 in an argument, a port path, a key list or a dump file reaches the JSON as
// U+FFFD, and the output stays one valid JSON object.
TEST_F(UntrustedFilesTest, JsonReplacesBytesThatAreNotUtf8) {
  const std::string bad = "\xFF\xFE";
  const struct {
    std::vector<std::string> args;
    int exit_status;
  } cases[] = {
      {{"--json", "--port", Path(bad), "hardware-version"}, 3},
      {{"--json", "restore", Path("missing" + bad + ".bin")}, 2},
      {{"--json", "dump", "--keys", Write("keys.dic", "FFFFFFFFFFFF\n" + bad + "0000000000\n")}, 2},
      {{"--json", "restore",
        Write("card.nfc", "Filetype: Flipper NFC device\nVersion: 4\nDevice type: " + bad + "\n")},
       2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[1] + " " + c.args[2]);
    // Straight to the tool: the fixture would put its own --port first.
    const Outcome outcome = c.args[1] == "--port" ? RunTool(c.args) : Vorlex(c.args);
    EXPECT_EQ(outcome.exit_status, c.exit_status) << outcome.out << outcome.err;
    const auto report = nlohmann::json::parse(outcome.out, nullptr, false);
    ASSERT_FALSE(report.is_discarded()) << outcome.out;
    EXPECT_TRUE(Contains(report.value("error", ""), "\xEF\xBF\xBD\xEF\xBF\xBD")) << outcome.out;
  }
}

TEST_F(UntrustedFilesTest, ADumpThatCannotBeSavedFailsBeforeTheFirstExchange) {
  for (const std::string& output : {std::string("/no/such/dir/x.bin"), Folder() + "/"}) {
    SCOPED_TRACE(output);
    const Outcome outcome = Vorlex({"dump", "--format", "bin", "--output", output});
    EXPECT_EQ(outcome.exit_status, 3) << outcome.out << outcome.err;
    EXPECT_TRUE(Contains(outcome.err, "cannot save")) << outcome.err;
    EXPECT_TRUE(engine_.Requests().empty()) << engine_.Requests().size() << " requests sent";
  }
}

TEST_F(UntrustedFilesTest, ADumpReplacesItsOutputWholeKeepingItsModeAndNoSymlinkIsFollowed) {
  const std::string victim = Write("victim", "precious");
  const std::string output = Write("card.bin", "old dump");
  ASSERT_EQ(::chmod(output.c_str(), 0640), 0);
  fs::create_symlink(victim, Path("linked.bin"));
  for (const std::string& path : {output, Path("linked.bin")}) {
    const Outcome outcome = Vorlex({"dump", "--output", path});
    ASSERT_EQ(outcome.exit_status, 0) << outcome.out << outcome.err;
  }
  EXPECT_EQ(Read("victim"), "precious");
  EXPECT_EQ(Read("card.bin").size(), 1024u);
  EXPECT_EQ(Read("linked.bin").size(), 1024u);
  EXPECT_EQ(fs::status(output).permissions(), fs::perms(0640));
  for (const auto& entry : fs::directory_iterator(dir_)) {
    EXPECT_EQ(entry.path().extension(), entry.path().filename() == "victim" ? "" : ".bin")
        << "left behind: " << entry.path();
  }
}

// The simulator's card file, saved after each write: a symlink planted where the save once
// went (PATH.tmp) is left alone, and the file keeps its mode.
TEST_F(UntrustedFilesTest, TheSimulatorsCardFileIsSavedWholeThroughNoSymlink) {
  UseCard(MifareClassic1K(kDefaultUid).image());
  const std::string card = Path("sim-card.bin");
  const std::string victim = Write("victim", "precious");
  ASSERT_EQ(::chmod(card.c_str(), 0600), 0);
  fs::create_symlink(victim, card + ".tmp");
  std::string image = ToolDump("bin");
  image.replace(5 * 16, 4, std::string("\x00\x11\x22\x33", 4));  // sector 1, block 1
  const Outcome outcome = Vorlex({"restore", Write("changed.bin", image)});
  ASSERT_EQ(outcome.exit_status, 0) << outcome.out << outcome.err;
  EXPECT_EQ(Read("victim"), "precious");
  EXPECT_TRUE(fs::is_symlink(card + ".tmp"));
  EXPECT_EQ(Read("sim-card.bin").substr(5 * 16, 4), std::string("\x00\x11\x22\x33", 4));
  EXPECT_EQ(fs::status(card).permissions(), fs::perms(0600));
}

}  // namespace
}  // namespace vorlex::sim
