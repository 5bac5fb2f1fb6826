// The built vorlex program end to end: the real libraries, loaded the way the tool finds them,
// against the simulator's reader on a pty in this process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <clocale>
#include <string>
#include <vector>

#include "scripted_reader.h"
#include "sim_responder.h"
#include "tool_runner.h"
#include "virtual_reader.h"

namespace vorlex::sim {
namespace {

class CliTest : public ::testing::Test {
 protected:
  CliTest() { engine_.SetResponder(MakeResponder(reader_, {})); }

  // The tool on the simulator; the e-purse edition unless the arguments say otherwise.
  Outcome Vorlex(std::vector<std::string> args, std::vector<std::string> env = {"LC_ALL=C"}) {
    args.insert(args.begin(), {"--port", engine_.port()});
    return RunTool(std::move(args), std::move(env));
  }

  VirtualReader reader_;
  engine::ScriptedReader engine_;
};

// Each command once, as JSON: exit status and the fields scripts rely on.
TEST_F(CliTest, CommandsAsJson) {
  const struct {
    std::vector<std::string> args;
    int exit_status;
    std::vector<std::string> expected;  // parts of the JSON line
  } steps[] = {
      {{"hardware-version"}, 0, {R"("ok":true)", R"("version":"VORLEX-SIM HW 1.0")"}},
      {{"software-version"},
       0,
       {R"("version":"VORLEX-SIM SW 1.0")", R"("message":"读取模块软件版本号成功")"}},
      {{"beep", "200"}, 0, {R"("value":200)"}},
      {{"read", "1", "0"},
       1,
       {R"("ok":false)", R"("status":"0202")", R"("message":"读块数据失败")"}},
      {{"card-request"}, 0, {R"("atqa":"0004")", R"("uid":"3A5C719E")"}},
      {{"ats"}, 0, {R"("ats":"0B78807002564F524C4558")"}},
      {{"auth", "1", "--key", "A0A1A2A3A4A5"}, 1, {R"("status":"0301")", "密钥验证失败"}},
      {{"auth", "1"}, 1, {R"("status":"0202")"}},  // a failed authentication mutes the card
      {{"card-request"}, 0, {R"("uid":"3A5C719E")"}},
      {{"auth", "1"}, 0, {R"("sector":1)", R"("key_type":"A")", "密钥验证成功"}},
      {{"write", "1", "2", "00112233445566778899aabbccddeeff"}, 0, {R"("block":2)"}},
      {{"read", "1", "2"}, 0, {R"("data":"00112233445566778899AABBCCDDEEFF")"}},
      {{"apdu", "card", "805C000204"}, 0, {R"("data":"00002710")", R"("sw":"9000")"}},
      {{"apdu", "sam1", "0084000008"}, 1, {R"("status":"0401")"}},
      {{"sam-power", "on", "1"}, 0, {R"("reset_answer":"3B680000564F524C45585331")"}},
      {{"apdu", "sam1", "0084000008"}, 0, {R"("sw":"9000")"}},
      {{"sam-power", "off", "1"}, 0, {R"("slot":1)"}},
      {{"rfsim-request"}, 0, {R"("identifier":"860123456789ABCD")"}},
      {{"apdu", "rfsim", "00B0950008"}, 0, {R"("data":"860123456789ABCD")"}},
      {{"rfsim-halt"}, 0, {R"("ok":true)"}},
      {{"halt"}, 0, {R"("ok":true)"}},
      {{"card-request"}, 1, {R"("status":"0201")", "寻卡失败，无卡"}},
      {{"card-request", "--all"}, 0, {R"("uid":"3A5C719E")"}},
      {{"purse", "purchase", "--module", "rfsim"}, 1, {R"("status":"0503")"}},
      {{"purse", "init", "--module", "rfsim"}, 0, {R"("module_data":"100000000001")"}},
      {{"purse", "request", "--module", "rfsim", "--amount", "250", "--prep", "20240315143000"},
       0,
       {R"("card_id":"860123456789ABCD")", R"("prep_value32":250)"}},
      {{"purse", "purchase", "--module", "rfsim"}, 0, {R"("result_text3":"00002616")"}},
      {{"purse", "balance", "--module", "rfsim"}, 0, {R"("balance":9750)"}},
      {{"purse", "card-info"}, 0, {R"("card_id":"3A5C719E")", R"("card_value24":10000)"}},
  };
  for (const auto& step : steps) {
    std::vector<std::string> args = step.args;
    args.push_back("--json");
    const Outcome outcome = Vorlex(args);
    const std::string what = step.args[0] + (step.args.size() > 1 ? " " + step.args[1] : "");
    EXPECT_EQ(outcome.exit_status, step.exit_status) << what << "\n" << outcome.out << outcome.err;
    EXPECT_EQ(outcome.out.back(), '\n') << what;
    EXPECT_EQ(outcome.out.find('\n'), outcome.out.size() - 1) << what << ": one line";
    for (const std::string& part : step.expected) {
      EXPECT_TRUE(Contains(outcome.out, part)) << what << ": no " << part << " in " << outcome.out;
    }
  }
}

TEST_F(CliTest, PurchaseInOneGoAndRefusal) {
  Outcome outcome = Vorlex({"purchase", "--amount", "1234"});
  ASSERT_EQ(outcome.exit_status, 0) << outcome.err;
  EXPECT_TRUE(Contains(outcome.out, "CPU卡PBOC交易成功")) << outcome.out;
  EXPECT_TRUE(Contains(outcome.out, "balance before  10000 (100.00)")) << outcome.out;
  EXPECT_TRUE(Contains(outcome.out, "balance after   8766 (87.66)")) << outcome.out;
  EXPECT_EQ(reader_.CpuBalance(), 8766u);

  outcome = Vorlex({"purchase", "--amount", "9000", "--json"});
  EXPECT_EQ(outcome.exit_status, 1);
  EXPECT_TRUE(Contains(outcome.out, R"("step":"request")")) << outcome.out;
  EXPECT_TRUE(Contains(outcome.out, R"("status":"0502")")) << outcome.out;
  EXPECT_TRUE(Contains(outcome.out, R"("balance_before":8766)")) << outcome.out;
  EXPECT_EQ(reader_.CpuBalance(), 8766u) << "a refused purchase debits nothing";
}

TEST_F(CliTest, MessagesFollowTheTerminalEncoding) {
  // In the C locale (and UTF-8 ones) the GBK message arrives as UTF-8; errors go to stderr.
  Outcome outcome = Vorlex({"card-request"});
  ASSERT_EQ(outcome.exit_status, 0);
  EXPECT_EQ(outcome.out.substr(0, outcome.out.find('\n')), "寻卡成功");
  outcome = Vorlex({"read", "1", "0"});
  EXPECT_EQ(outcome.exit_status, 1);
  EXPECT_EQ(outcome.out, "");
  EXPECT_TRUE(Contains(outcome.err, "读块数据失败 (reader status 0x0302)")) << outcome.err;
}

TEST_F(CliTest, MessagesInAGb18030Terminal) {
  locale_t gb18030 = newlocale(LC_ALL_MASK, "zh_CN.GB18030", nullptr);
  if (gb18030 == nullptr) GTEST_SKIP() << "no zh_CN.GB18030 locale here";
  freelocale(gb18030);
  const Outcome outcome = Vorlex({"card-request"}, {"LC_ALL=zh_CN.GB18030"});
  EXPECT_EQ(outcome.out.substr(0, outcome.out.find('\n')), "\xD1\xB0\xBF\xA8\xB3\xC9\xB9\xA6");
}

TEST_F(CliTest, DisplayTextIsSentAsGbk) {
  const Outcome outcome = Vorlex({"display", "欢迎光临", "3", "--json"});
  ASSERT_EQ(outcome.exit_status, 0) << outcome.out << outcome.err;
  EXPECT_TRUE(Contains(outcome.out, R"("gbk":"BBB6D3ADB9E2C1D9")")) << outcome.out;
  const Bytes expected = {0xBB, 0xB6, 0xD3, 0xAD, 0xB9, 0xE2, 0xC1, 0xD9};
  EXPECT_EQ(reader_.LastDisplayText(), expected);
}

TEST_F(CliTest, DumpReadsEveryBlock) {
  Outcome outcome = Vorlex({"dump", "--json"});
  ASSERT_EQ(outcome.exit_status, 0) << outcome.out << outcome.err;
  EXPECT_TRUE(Contains(outcome.out, R"("exchanges":81)")) << "a request, then 16 x (auth, 4 reads)";
  std::size_t blocks = 0;
  for (std::size_t at = 0; (at = outcome.out.find("FF078069FFFFFFFFFFFF", at)) != std::string::npos;
       ++at) {
    ++blocks;
  }
  EXPECT_EQ(blocks, 16u) << "one trailer per sector";

  outcome = Vorlex({"dump"});
  ASSERT_EQ(outcome.exit_status, 0);
  EXPECT_TRUE(Contains(outcome.out, "     1      0  564F524C45582053494D204341524420\n"));
  EXPECT_TRUE(Contains(outcome.out, "FFFFFFFFFFFF  access 000 000 000 001\n"));
  EXPECT_EQ(outcome.err, "") << "no progress bar when stderr is not a terminal";

  outcome = Vorlex({"dump", "--key", "A0A1A2A3A4A5"});
  EXPECT_EQ(outcome.exit_status, 1);
  EXPECT_TRUE(Contains(outcome.out, "     0      -  no key opened this sector"));
  EXPECT_TRUE(Contains(outcome.err, "no key opened sector(s) 0, 1, 2,"));
}

TEST_F(CliTest, UsageAndSetupErrors) {
  const struct {
    std::vector<std::string> args;
    int exit_status;
    const char* said;
  } cases[] = {
      {{"frobnicate"}, 2, "unknown command"},
      {{"read", "1"}, 2, "usage: vorlex read SECTOR BLOCK"},
      {{"read", "1", "16"}, 2, "BLOCK must be a number from 0 to 15"},
      {{"auth", "1", "--key", "FFFF"}, 2, "--key must be 12 hexadecimal digits"},
      {{"write", "1", "1", "XYZ"}, 2, "HEX32 must be 32 hexadecimal digits"},
      {{"purse", "balance", "--edition", "display"}, 2, "needs the e-purse edition"},
      {{"purchase"}, 2, "--amount N is needed"},
      {{"beep", "--library", "/nonexistent/libvorlex.so"}, 3, "cannot load library"},
  };
  for (const auto& c : cases) {
    const Outcome outcome = Vorlex(c.args);
    EXPECT_EQ(outcome.exit_status, c.exit_status) << c.args[0];
    EXPECT_TRUE(Contains(outcome.err, c.said)) << c.args[0] << ": " << outcome.err;
  }
  Outcome outcome = RunTool({"--port", "/nonexistent/tty", "beep"});
  EXPECT_EQ(outcome.exit_status, 3);
  EXPECT_TRUE(Contains(outcome.err, "cannot open port /nonexistent/tty")) << outcome.err;
  outcome = RunTool({"beep"});
  EXPECT_EQ(outcome.exit_status, 2);
  EXPECT_TRUE(Contains(outcome.err, "no port")) << outcome.err;
}

TEST_F(CliTest, LibraryChosenByPathAndEdition) {
  const Outcome outcome =
      Vorlex({"--library", VORLEX_DISPLAY_LIBRARY, "--edition", "display", "read", "1", "0"});
  EXPECT_EQ(outcome.exit_status, 1) << outcome.err;
  EXPECT_TRUE(Contains(outcome.err, "0x0202")) << outcome.err;
  const Outcome wrong = Vorlex({"--library", VORLEX_DISPLAY_LIBRARY, "beep"});
  EXPECT_EQ(wrong.exit_status, 3);
  EXPECT_TRUE(Contains(wrong.err, "is not the epurse edition")) << wrong.err;
}

TEST_F(CliTest, NoAnswerIsResultOne) {
  engine::ScriptedReader silent;  // no responder: never answers
  const Outcome outcome = RunTool({"--port", silent.port(), "--json", "hardware-version"});
  EXPECT_EQ(outcome.exit_status, 1);
  EXPECT_TRUE(Contains(outcome.out, R"("result":1)")) << outcome.out;
  EXPECT_TRUE(Contains(outcome.out, "no valid answer")) << outcome.out;
}

}  // namespace
}  // namespace vorlex::sim
