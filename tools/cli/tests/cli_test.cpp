// The built vorlex program end to end: the real libraries, loaded the way the tool finds them,
// against the simulator's reader on a pty in this process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <clocale>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "edition_library.h"
#include "scripted_reader.h"
#include "sim_responder.h"
#include "tool_runner.h"
#include "virtual_reader.h"

namespace vorlex::sim {
namespace {

namespace fs = std::filesystem;
using engine::Reply;
using nlohmann::json;

using Fault = std::function<std::optional<Reply>(std::size_t n, const engine::ParsedFrame&)>;

class CliTest : public ::testing::Test {
 protected:
  CliTest() {
    engine_.SetResponder([this, inner = MakeResponder(reader_, {})](const auto& frame) {
      const std::size_t n = ++answered_;
      const std::lock_guard<std::mutex> lock(mu_);
      if (fault_) {
        if (std::optional<Reply> reply = fault_(n, frame)) return *reply;
      }
      return inner(frame);
    });
  }
  void SetFault(Fault fault) {
    const std::lock_guard<std::mutex> lock(mu_);
    fault_ = std::move(fault);
  }

  std::vector<std::string> On(std::vector<std::string> args) const {
    args.insert(args.begin(), {"--port", engine_.port()});
    return args;
  }
  // The tool on the simulator; the e-purse edition unless the arguments say otherwise.
  Outcome Vorlex(std::vector<std::string> args, std::vector<std::string> env = {"LC_ALL=C"}) {
    return RunTool(On(std::move(args)), std::move(env));
  }
  Bytes LastRequest() const {
    const auto requests = engine_.Requests();
    return requests.empty() ? Bytes{} : requests.back();
  }

  VirtualReader reader_;
  engine::ScriptedReader engine_;
  std::atomic<std::size_t> answered_{0};
  std::mutex mu_;
  Fault fault_;
};

// Every key of a JSON value, nested ones too.
void Keys(const json& value, std::set<std::string>& keys) {
  if (value.is_object()) {
    for (const auto& [key, item] : value.items()) {
      keys.insert(key);
      Keys(item, keys);
    }
  } else if (value.is_array()) {
    for (const json& item : value) Keys(item, keys);
  }
}

// Each command once, as JSON: exit status, the fields scripts rely on, snake_case keys.
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
       {R"("ok":false)", R"("status_hex":"0202")", R"("message":"读块数据失败")", R"("hint":)"}},
      {{"card-request"}, 0, {R"("atqa":"0004")", R"("uid":"3A5C719E")"}},
      {{"ats"}, 0, {R"("ats":"0B78807002564F524C4558")"}},
      {{"auth", "1", "--key", "A0A1A2A3A4A5"}, 1, {R"("status":769)", "密钥验证失败"}},
      {{"auth", "1"}, 1, {R"("status":514)"}},  // a failed authentication mutes the card
      {{"card-request"}, 0, {R"("uid":"3A5C719E")"}},
      {{"auth", "1"}, 0, {R"("sector":1)", R"("key_type":"A")", "密钥验证成功"}},
      {{"write", "1", "2", "00112233445566778899aabbccddeeff"}, 0, {R"("block":2)"}},
      {{"read", "1", "2"}, 0, {R"("data":"00112233445566778899AABBCCDDEEFF")"}},
      {{"apdu", "card", "805C000204"},
       0,
       {R"("data":"00002710")", R"("sw_hex":"9000")", R"("sw_meaning":"Normal processing.")"}},
      {{"apdu", "card", "00A4040002AABB"},
       0,
       {R"("sw_hex":"6A82")", R"("sw_meaning":"file or application not found")"}},
      {{"apdu", "sam1", "0084000008"}, 1, {R"("status_hex":"0401")"}},
      {{"sam-power", "on", "1"}, 0, {R"("reset_answer":"3B680000564F524C45585331")"}},
      {{"apdu", "sam1", "0084000008"}, 0, {R"("sw_hex":"9000")"}},
      {{"sam-power", "off", "1"}, 0, {R"("slot":1)"}},
      {{"rfsim-request"}, 0, {R"("identifier":"860123456789ABCD")"}},
      {{"apdu", "rfsim", "00B0950008"}, 0, {R"("data":"860123456789ABCD")"}},
      {{"rfsim-halt"}, 0, {R"("ok":true)"}},
      {{"halt"}, 0, {R"("ok":true)"}},
      {{"card-request"}, 1, {R"("status_hex":"0201")", "寻卡失败，无卡"}},
      {{"card-request", "--all"}, 0, {R"("uid":"3A5C719E")"}},
      {{"purse", "purchase", "--module", "rfsim"}, 1, {R"("status_hex":"0503")"}},
      {{"purse", "init", "--module", "rfsim"}, 0, {R"("module_data":"100000000001")"}},
      {{"purse", "request", "--module", "rfsim", "--amount", "250", "--prep", "20240315143000"},
       0,
       {R"("card_id":"860123456789ABCD")", R"("prep_value32":250)"}},
      {{"purse", "purchase", "--module", "rfsim"}, 0, {R"("result_text3":"00002616")"}},
      {{"purse", "balance", "--module", "rfsim"}, 0, {R"("balance":9750)"}},
      {{"purse", "card-info"}, 0, {R"("card_id":"3A5C719E")", R"("card_value24":10000)"}},
      {{"purchase", "--amount", "20000"},
       1,
       {R"("step":"request")", R"("status_hex":"0502")", R"("balance_before":10000)",
        R"("step":"balance_before")"}},
      {{"dump"}, 0, {R"("sectors_failed":0)", R"("complete":true)"}},
  };
  const std::regex snake_case("[a-z0-9]+(_[a-z0-9]+)*");
  for (const auto& step : steps) {
    std::vector<std::string> args = step.args;
    args.push_back("--json");
    const Outcome outcome = Vorlex(args);
    const std::string what = step.args[0] + (step.args.size() > 1 ? " " + step.args[1] : "");
    EXPECT_EQ(outcome.exit_status, step.exit_status) << what << "\n" << outcome.out << outcome.err;
    EXPECT_EQ(outcome.out.find('\n'), outcome.out.size() - 1) << what << ": one line";
    for (const std::string& part : step.expected) {
      EXPECT_TRUE(Contains(outcome.out, part)) << what << ": no " << part << " in " << outcome.out;
    }
    std::set<std::string> keys;
    Keys(json::parse(outcome.out), keys);
    for (const std::string& key : keys) EXPECT_TRUE(std::regex_match(key, snake_case)) << key;
  }
}

// For people: the library's message, then fields; a line saying what was sent; groups with
// hexadecimal and decimal values and amounts with their unit.
TEST_F(CliTest, PeopleOutput) {
  const struct {
    std::vector<std::string> args;
    std::vector<std::string> expected;
  } cases[] = {
      {{"beep"}, {"sent: beep with value 10 (0x000A)\n"}},
      {{"card-request"}, {"uid   3A5C719E\n"}},
      {{"auth", "1"}, {"key type  A\n"}},
      {{"display", "欢迎光临", "3"}, {"sent: \"欢迎光临\" (8 bytes of GBK) with value 3\n"}},
      {{"apdu", "card", "00A4040002AABB"}, {"sw hex  6A82 file or application not found\n"}},
      {{"read", "1", "3"}, {"access  000 000 000 001\n"}},
      {{"purchase", "--amount", "1234"},
       {"CPU卡PBOC交易成功\n", "Before\n  balance before  10000 cents (100.00)\n",
        "  amount          1234 cents (12.34)\n", "Card\n  card id       3A5C719E\n",
        "  card value24  0x002710  10000\n", "  prep value32  0x000004D2  1234\n",
        "After\n  balance after  8766 cents (87.66)\n  debited        1234 cents (12.34)\n"}},
  };
  for (const auto& c : cases) {
    const Outcome outcome = Vorlex(c.args);
    EXPECT_EQ(outcome.exit_status, 0) << c.args[0] << outcome.err;
    for (const std::string& part : c.expected) {
      EXPECT_TRUE(Contains(outcome.out, part)) << c.args[0] << ": no " << part << " in\n"
                                               << outcome.out;
    }
  }
  EXPECT_EQ(reader_.CpuBalance(), 8766u);
  const Bytes gbk = {0xBB, 0xB6, 0xD3, 0xAD, 0xB9, 0xE2, 0xC1, 0xD9};
  EXPECT_EQ(reader_.LastDisplayText(), gbk);
}

// Decimal numbers (0x for hexadecimal) and hex bytes as pasted reach the reader as meant.
TEST_F(CliTest, NumbersAndPastedHex) {
  const auto auth = [](std::uint8_t sector) {
    return Bytes{0x04, 0x03, sector, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  };
  const Bytes get_challenge = {0x04, 0x07, 0x00, 0x84, 0x00, 0x00, 0x00, 0x08};
  const struct {
    std::vector<std::string> args;
    Bytes sent;
  } cases[] = {
      {{"auth", "08"}, auth(8)},
      {{"auth", "010"}, auth(10)},
      {{"auth", "0x10"}, auth(16)},
      {{"auth", "1", "--key", "FF:FF:FF:FF:FF:FF"}, auth(1)},
      {{"apdu", "card", "00 84 00 00 08"}, get_challenge},
      {{"apdu", "card", "00:84:00:00:08"}, get_challenge},
      {{"apdu", "card", "00", "84", "00", "00", "08"}, get_challenge},
  };
  for (const auto& c : cases) {
    Vorlex(c.args);
    EXPECT_EQ(LastRequest(), c.sent) << c.args[0] << " " << c.args[1];
  }
  // --amount 010 is ten: the purse is debited by exactly that.
  const Outcome outcome = Vorlex({"purchase", "--amount", "010", "--json"});
  EXPECT_TRUE(Contains(outcome.out, R"("amount":10,)")) << outcome.out;
  EXPECT_EQ(reader_.CpuBalance(), 9990u);
}

// Bad command lines: exit 2, a message that says what is wrong, nothing sent.
TEST_F(CliTest, UsageErrorsSendNothing) {
  const struct {
    std::vector<std::string> args;
    const char* said;
  } cases[] = {
      {{"card-requst"}, "unknown command \"card-requst\"; did you mean \"card-request\"?"},
      {{"read", "1", "2", "--jsno"}, "unknown option --jsno; did you mean --json?"},
      {{"purse", "balanse"}, "did you mean \"balance\"?"},
      {{"read", "1"}, "block is required"},
      {{"read", "1", "16"}, "BLOCK (sector 1 has 4 blocks) is 16, out of range (0 to 3)"},
      {{"read", "-1", "0"}, "SECTOR must not be negative"},
      {{"--edition", "display", "read", "15", "0"}, "is 15, out of range (0 to 14)"},
      {{"auth", "1", "--key", "FFFF"}, "--key must be 6 bytes (12 hex digits), not 2"},
      {{"write", "1", "1", "XYZ"}, "\"X\" at position 1 is not a hexadecimal digit"},
      {{"apdu", "card", "00A4040002AABB", "00"},
       "the card and SAM APDU calls take case 2 and case 3 APDUs only: drop the trailing Le byte"},
      {{"apdu", "card", "008400"}, "an APDU here is at least 5 bytes"},
      {{"apdu", "card", "00 8"}, "odd number"},
      {{"purse", "balance", "--edition", "display"}, "needs the epurse edition"},
      {{"purchase"}, "--amount is required"},
      {{"purchase", "--amount", "12.50"}, "a whole number, without a decimal point"},
      {{"purchase", "--amount", "2147483648"}, "out of range (1 to 2147483647)"},
      {{"purchase", "--amount", "0"}, "out of range (1 to 2147483647)"},
      {{"purchase", "--amount", "-5"}, "must not be negative"},
  };
  for (const auto& c : cases) {
    const Outcome outcome = Vorlex(c.args);
    EXPECT_EQ(outcome.exit_status, 2) << c.args[0] << ": " << outcome.err;
    EXPECT_TRUE(Contains(outcome.err, c.said)) << c.args[0] << ": " << outcome.err;
  }
  EXPECT_EQ(engine_.RequestCount(), 0u);
}

// Sector trailers and block 0 are written only when asked for and only when safe.
TEST_F(CliTest, TrailerAndBlockZeroGuard) {
  const std::string keys_a = "FFFFFFFFFFFF", keys_b = "FFFFFFFFFFFF";
  const struct {
    std::vector<std::string> args;
    int exit_status;
    const char* said;  // on stderr, for refusals
  } cases[] = {
      {{"write", "1", "3", keys_a + "FF078069" + keys_b}, 2, "is the sector trailer"},
      {{"write", "1", "3", keys_a + "FF078169" + keys_b, "--allow-trailer"},
       2,
       "not a valid combination"},
      // Trailer condition 010 (key B only reads, nothing writes the access bits).
      {{"write", "1", "3", keys_a + "7F0F0869" + keys_b, "--allow-trailer"},
       2,
       "lets no key change the access bits again"},
      {{"write", "1", "3", keys_a + "7F0F0869" + keys_b, "--allow-trailer",
        "--allow-permanent-lock"},
       0,
       ""},
      {{"write", "2", "3", keys_a + "FF078069" + keys_b, "--allow-trailer"}, 0, ""},
      {{"write", "0", "0", "3A5C719E00080400564F524C4558534D"}, 2, "manufacturer block"},
      {{"write", "0", "0", "3A5C719E00080400564F524C4558534D", "--allow-block0"},
       2,
       "check byte of the UID in bytes 0-3 (their XOR), 89, not 00"},
  };
  for (const auto& c : cases) {
    Vorlex({"card-request", "--all"});
    Vorlex({"auth", c.args[1]});
    const std::size_t before = engine_.RequestCount();
    const Outcome outcome = Vorlex(c.args);
    EXPECT_EQ(outcome.exit_status, c.exit_status) << c.args[3] << ": " << outcome.err;
    EXPECT_TRUE(Contains(outcome.err, c.said)) << outcome.err;
    EXPECT_EQ(engine_.RequestCount() - before, c.exit_status == 2 ? 0u : 1u) << c.args[3];
  }
  EXPECT_EQ(reader_.MifareImage()[4], 0x89) << "block 0 untouched";
}

// tests/guard_cases.json, the table every front end's tests run: each call as the tool's
// command line; a refusal is exit 2 with nothing sent and the argument named in the tool's
// spelling, anything else reaches the reader.
TEST_F(CliTest, GuardCases) {
  std::ifstream file(VORLEX_GUARD_CASES);
  const json table = json::parse(file);
  const auto text = [](const json& value) {
    return value.is_string() ? value.get<std::string>() : value.dump();
  };
  const std::set<std::string> positional = {"sector", "block", "data", "value", "p1", "p2"};
  std::size_t refusals = 0;
  for (const json& c : table.at("cases")) {
    const std::string call = c.at("call"), what = c.at("what");
    const json& args = c.at("args");
    std::vector<std::string> line = {"--edition", c.at("edition")};
    const auto add = [&](std::initializer_list<const char*> names) {
      for (const char* name : names) line.push_back(text(args.at(name)));
    };
    if (call == "read_block") {
      line.push_back("read");
      add({"sector", "block"});
    } else if (call == "write_block") {
      line.push_back("write");
      add({"sector", "block", "data"});
      for (const char* allowance : {"allow_trailer", "allow_permanent_lock", "allow_block0"}) {
        if (args.value(allowance, false)) {
          std::string option = std::string("--") + allowance;
          std::replace(option.begin(), option.end(), '_', '-');
          line.push_back(option);
        }
      }
    } else if (call == "authenticate") {
      const int type = args.at("key_type");
      line.insert(line.end(), {"auth", text(args.at("sector")), "--key-type",
                               type == 0   ? "A"
                               : type == 1 ? "B"
                                           : std::to_string(type)});
    } else if (call == "beep") {
      line.push_back("beep");
      add({"value"});
    } else if (call == "purse_request") {
      line.insert(line.end(), {"purse", "request", "--prep", "20261209120000", "--amount",
                               text(args.at("amount")), "--param", text(args.at("param"))});
    } else if (call == "purse_init") {
      line.insert(line.end(), {"purse", "init"});
      add({"p1", "p2"});
    } else {
      ADD_FAILURE() << what << ": no command for " << call;
      continue;
    }
    const std::size_t before = engine_.RequestCount();
    const Outcome outcome = Vorlex(line);
    const std::size_t sent = engine_.RequestCount() - before;
    if (c.at("refused").is_null()) {
      EXPECT_NE(outcome.exit_status, 2) << what << ": " << outcome.err;
      EXPECT_GT(sent, 0u) << what << ": nothing sent";
      continue;
    }
    ++refusals;
    std::string named = c.at("refused");
    if (positional.count(named) != 0) {
      std::transform(named.begin(), named.end(), named.begin(), ::toupper);
    } else {
      std::replace(named.begin(), named.end(), '_', '-');
      named = "--" + named;
    }
    EXPECT_EQ(outcome.exit_status, 2) << what << ": " << outcome.err;
    EXPECT_EQ(sent, 0u) << what;
    EXPECT_TRUE(Contains(outcome.err, named)) << what << ": " << named << " not in " << outcome.err;
  }
  EXPECT_GT(refusals, 20u);
}

// The help is the reference: per command, and its command list is the one in docs/cli.md.
TEST_F(CliTest, HelpAndDocs) {
  const Outcome top = RunTool({"--help"});
  ASSERT_EQ(top.exit_status, 0);
  std::set<std::string> in_help, in_docs;
  std::istringstream help(top.out.substr(top.out.find("Subcommands:\n") + 13));
  for (std::string line; std::getline(help, line) && !line.empty();) {
    in_help.insert(line.substr(2, line.find(' ', 2) - 2));
  }
  std::ifstream doc(VORLEX_CLI_DOC);
  bool in_table = false;
  for (std::string line; std::getline(doc, line);) {
    if (line.rfind("## ", 0) == 0) in_table = line == "## Commands";
    std::smatch match;
    if (in_table && std::regex_search(line, match, std::regex("^\\| `vorlex ([a-z-]+)"))) {
      in_docs.insert(match[1]);
    }
  }
  EXPECT_EQ(in_help, in_docs);
  EXPECT_GE(in_help.size(), 18u);

  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"read", "--help"}, {"help", "read"}, {"read", "-h"}}) {
    const Outcome outcome = RunTool(args);
    EXPECT_EQ(outcome.exit_status, 0);
    EXPECT_TRUE(Contains(outcome.out, "Usage: vorlex read [OPTIONS] sector block")) << outcome.out;
  }
  EXPECT_TRUE(Contains(RunTool({"help", "purse", "balance"}).out, "Usage: vorlex purse balance"));
  EXPECT_TRUE(Contains(RunTool({"-V"}).out, "vorlex "));
}

// A port that does not open: the system's reason, and the device a COM name stands for.
TEST_F(CliTest, PortErrors) {
  const cli::EditionLibrary display(cli::Edition::kDisplay, VORLEX_DISPLAY_LIBRARY);
  const ReaderHandle held = display.Open_Reader(engine_.port().c_str());
  ASSERT_NE(held, nullptr);
  const struct {
    std::string port;
    const char* said;
  } cases[] = {
      {"/nonexistent/tty", "cannot open port /nonexistent/tty: no such file"},
      {"com3", "port names are upper case, COM3"},
      {"COM40", "COM40 stands for /dev/ttyUSB7: no such file"},
      {"/etc/hostname", "not a serial device"},
      {"/dev/null", "not a serial device"},
      {engine_.port(), "locked by another program"},
  };
  for (const auto& c : cases) {
    const Outcome outcome = RunTool({"--port", c.port, "beep"});
    EXPECT_EQ(outcome.exit_status, 3) << c.port;
    EXPECT_TRUE(Contains(outcome.err, c.said)) << c.port << ": " << outcome.err;
    EXPECT_FALSE(Contains(outcome.err, "Open_Reader")) << outcome.err;
  }
  display.Close_Reader(held);
  const Outcome outcome = RunTool({"beep"});
  EXPECT_EQ(outcome.exit_status, 2);
  EXPECT_TRUE(Contains(outcome.err, "no port")) << outcome.err;
}

// Result 1: one hardware-version exchange tells a silent reader from a bad answer.
TEST_F(CliTest, ResultOneIsDiagnosed) {
  const struct {
    Fault fault;
    const char* said;
    std::size_t requests;  // the command's three attempts, then the diagnosis's
  } cases[] = {
      {[](std::size_t, const auto&) { return Reply::Silence(); }, "no answer from the reader on",
       6},
      {[](std::size_t, const engine::ParsedFrame& frame) -> std::optional<Reply> {
         if (frame.payload[1] == 0x04) return Reply::Status(0);  // a read answer without data
         return std::nullopt;
       },
       "the reader answers (it gave its hardware version) but its answer to this command was "
       "missing, malformed or too short",
       2},
  };
  for (const auto& c : cases) {
    SetFault(c.fault);
    engine_.ClearRecord();
    const Outcome outcome = Vorlex({"read", "1", "0"});
    EXPECT_EQ(outcome.exit_status, 1);
    EXPECT_TRUE(Contains(outcome.err, c.said)) << outcome.err;
    EXPECT_EQ(engine_.RequestCount(), c.requests);
  }
}

// A purchase whose answer is lost: the library's retry finds nothing prepared (0503), and the
// balance tells whether the card was debited. Debited by the amount: done (exit 0) with
// answer_lost; not debited: the failure (exit 1); no balance: unknown (exit 4).
TEST_F(CliTest, PurchaseOutcomeFromTheBalance) {
  using Shape = std::function<std::optional<Reply>(const engine::ParsedFrame&, bool purchased)>;
  const Shape none = [](const auto&, bool) { return std::nullopt; };
  const struct {
    const char* what;
    std::vector<std::string> lost;  // --lose-answer
    std::string module;
    Shape shape;  // on top of --lose-answer; `purchased`: after the first purchase request
    int exit_status;
    std::vector<std::string> expected;
    std::uint32_t balance;
  } cases[] = {
      {"answer kept",
       {},
       "cpu",
       none,
       0,
       {R"("answer_lost":false)", R"("result_text3":"0000223E")"},
       8766},
      {"answer lost",
       {"PURCHASE"},
       "cpu",
       none,
       0,
       {R"("ok":true)", R"("answer_lost":true)", R"("balance_before":10000)",
        R"("balance_after":8766)", R"("debited":1234)"},
       8766},
      {"RF-SIM answer lost",
       {"RFSIM_PURCHASE"},
       "rfsim",
       none,
       0,
       {R"("answer_lost":true)", R"("balance_after":8766)"},
       8766},
      {"answer lost, balance lost",
       {"PURCHASE", "GET_BALANCE:2", "GET_BALANCE:3", "GET_BALANCE:4"},
       "cpu",
       none,
       4,
       {R"("outcome":"unknown")", "check the balance before charging again"},
       8766},
      {"answer lost, reader silent",
       {"PURCHASE"},
       "cpu",
       [](const auto&, bool purchased) -> std::optional<Reply> {
         if (purchased) return Reply::Silence();
         return std::nullopt;
       },
       4,
       {R"("outcome":"unknown")", "no answer from the reader"},
       8766},
      {"no answer to the purchase nor to the diagnosis, not debited",
       {},
       "cpu",
       [silenced = std::make_shared<int>(0)](const engine::ParsedFrame& frame,
                                             bool purchased) -> std::optional<Reply> {
         // The purchase never reaches the module; the hardware version asked after it goes
         // unanswered too; then the reader is back.
         if (frame.payload[1] == 0x03 && frame.payload[0] >= 0xFD) return Reply::Silence();
         if (purchased && (*silenced)++ < 3) return Reply::Silence();  // its 3 attempts
         return std::nullopt;
       },
       1,
       {R"("step":"purchase")", R"("outcome":"not_done")",
        R"("error":"the reader stopped answering: no answer from the reader)",
        R"("balance_after":10000)"},
       10000},
      {"answer lost, another card on the reader: unknown, its balance not taken",
       {"PURCHASE"},
       "cpu",
       [](const engine::ParsedFrame& frame, bool purchased) -> std::optional<Reply> {
         if (purchased && frame.payload[0] == 0xFE && frame.payload[1] == 0x05) {
           return Reply::Status(0, {0xDE, 0xAD, 0xBE, 0xEF, 0x31, 0, 0x10, 0, 0, 0, 0, 0, 0x12,
                                    0x34, 0x00, 0x27, 0x10});
         }
         return std::nullopt;
       },
       4,
       {R"("outcome":"unknown")", "another card (card_id DEADBEEF)", "not card_id 3A5C719E"},
       8766},
      {"another card's balance before the request: stopped before the purchase",
       {},
       "cpu",
       [](const engine::ParsedFrame& frame, bool) -> std::optional<Reply> {
         if (frame.payload[0] == 0xFE && frame.payload[1] == 0x04) {
           return Reply::Status(0, {0x00, 0x00, 0x13, 0x88});  // 5000: not this card's
         }
         return std::nullopt;
       },
       1,
       {R"("outcome":"not_done")", R"("step":"card_check")", "shows a balance of 10000 cents"},
       10000},
      {"refused, not debited",
       {},
       "cpu",
       [](const engine::ParsedFrame& frame, bool) -> std::optional<Reply> {
         if (frame.payload[1] == 0x03) return Reply::Status(0x0503);  // never carried out
         return std::nullopt;
       },
       1,
       {R"("step":"purchase")", R"("status_hex":"0503")", R"("balance_after":10000)"},
       10000},
  };
  for (const auto& c : cases) {
    FaultOptions faults;
    for (const std::string& name : c.lost) {
      std::string error;
      faults.lost_answers.push_back(ParseLostAnswer(name, error).value());
    }
    VirtualReader reader;
    engine::ScriptedReader engine;
    auto purchased = std::make_shared<bool>(false);
    engine.SetResponder([&c, purchased, inner = MakeResponder(reader, faults)](const auto& frame) {
      std::optional<Reply> shaped = c.shape(frame, *purchased);
      if (frame.payload.size() >= 2 && frame.payload[1] == 0x03 && frame.payload[0] >= 0xFD) {
        *purchased = true;
      }
      return shaped ? *shaped : inner(frame);
    });
    const Outcome outcome = RunTool(
        {"--port", engine.port(), "purchase", "--amount", "1234", "--module", c.module, "--json"});
    EXPECT_EQ(outcome.exit_status, c.exit_status) << c.what << "\n" << outcome.out << outcome.err;
    for (const std::string& part : c.expected) {
      EXPECT_TRUE(Contains(outcome.out, part))
          << c.what << ": no " << part << " in " << outcome.out;
    }
    EXPECT_EQ(Contains(outcome.out, "result_text1"), c.exit_status == 0 && c.lost.empty())
        << c.what << ": the result fields are there only when the answer came";
    EXPECT_EQ(c.module == "cpu" ? reader.CpuBalance() : reader.RfsimBalance(), c.balance) << c.what;
  }
  // For people: done, with the warning.
  VirtualReader reader;
  engine::ScriptedReader engine;
  FaultOptions faults;
  std::string error;
  faults.lost_answers.push_back(ParseLostAnswer("CPU_PBOC_PURCHASE", error).value());
  engine.SetResponder(MakeResponder(reader, faults));
  const Outcome outcome = RunTool({"--port", engine.port(), "purchase", "--amount", "1234"});
  EXPECT_EQ(outcome.exit_status, 0);
  EXPECT_TRUE(Contains(outcome.out, "done, but the reader's answer was lost")) << outcome.out;
  EXPECT_TRUE(Contains(outcome.out, "  debited        1234 cents (12.34)\n")) << outcome.out;
}

// A dump that loses its reader stops at the first exchange without an answer and keeps what
// it read.
TEST_F(CliTest, VanishingReader) {
  const struct {
    Reply gone;
    std::size_t most_requests;  // 11 answered, then the failing exchange and the diagnosis
  } cases[] = {{Reply::HangUp(), 12}, {Reply::Silence(), 17}};
  for (const auto& c : cases) {
    answered_ = 0;
    engine::ScriptedReader engine;
    VirtualReader reader;
    engine.SetResponder([&, inner = MakeResponder(reader, {})](const auto& frame) {
      return ++answered_ > 11 ? c.gone : inner(frame);
    });
    const Outcome outcome = RunTool({"--port", engine.port(), "dump"});
    EXPECT_EQ(outcome.exit_status, 1);
    EXPECT_TRUE(Contains(outcome.err, "the reader stopped answering")) << outcome.err;
    EXPECT_TRUE(Contains(outcome.out, "     1      3  FFFFFFFFFFFFFF078069")) << outcome.out;
    EXPECT_TRUE(Contains(outcome.out, "(stopped at sector 2: the reader stopped answering)"));
    EXPECT_TRUE(
        Contains(outcome.out, "     3      -  not read: the dump stopped before this sector"))
        << outcome.out;
    EXPECT_LE(engine.RequestCount(), c.most_requests);
  }
}

// SIGINT and SIGTERM: the exchange under way is finished, what was read is shown, 130 / 143.
TEST_F(CliTest, Interrupted) {
  SetFault([inner = MakeResponder(reader_, {})](std::size_t, const auto& frame) {
    return inner(frame).After(std::chrono::milliseconds(20));
  });
  for (const auto& [signal, status] : {std::pair{SIGINT, 130}, std::pair{SIGTERM, 143}}) {
    engine_.ClearRecord();
    Tool tool(On({"dump", "--json"}), {"LC_ALL=C"});
    ASSERT_TRUE(engine_.WaitForRequests(8, std::chrono::seconds(20)));
    tool.Signal(signal);
    const Outcome outcome = tool.Wait();
    EXPECT_EQ(outcome.exit_status, status) << outcome.err;
    const json out = json::parse(outcome.out);
    EXPECT_EQ(out["stopped"]["reason"], "interrupted");
    EXPECT_EQ(out["complete"], false);
    EXPECT_GE(out["sectors"].size(), 1u);
    // Every request sent got its answer read and recorded as a step: none was abandoned.
    EXPECT_EQ(out["steps"].size(), engine_.RequestCount());
  }
  // A wait for a card ends at once.
  Vorlex({"halt"});
  Tool tool(On({"card-request", "--wait", "60"}), {"LC_ALL=C"});
  ASSERT_TRUE(engine_.WaitForRequests(engine_.RequestCount() + 1, std::chrono::seconds(20)));
  const auto start = std::chrono::steady_clock::now();
  tool.Signal(SIGINT);
  const Outcome outcome = tool.Wait();
  EXPECT_EQ(outcome.exit_status, 130);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

// --wait repeats the request until a card answers or the time is up.
TEST_F(CliTest, WaitForACard) {
  Outcome outcome = Vorlex({"card-request", "--wait", "1"});
  EXPECT_EQ(outcome.exit_status, 0);
  EXPECT_EQ(engine_.RequestCount(), 1u) << "a card there: one request";
  for (const std::vector<std::string>& halt_and_wait :
       {std::vector<std::string>{"halt", "card-request"}, {"rfsim-halt", "rfsim-request"}}) {
    Vorlex({halt_and_wait[1]});
    Vorlex({halt_and_wait[0]});
    const std::size_t before = engine_.RequestCount();
    outcome = Vorlex({halt_and_wait[1], "--wait", "1"});
    EXPECT_EQ(outcome.exit_status, 1);
    EXPECT_TRUE(Contains(outcome.err, "no card within 1 s")) << outcome.err;
    EXPECT_GE(engine_.RequestCount() - before, 3u);
  }
}

// ports lists from sysfs (a made-up tree here) and probes only USB adapters and named ports.
TEST_F(CliTest, Ports) {
  const fs::path root = fs::temp_directory_path() / ("vorlex-ports-" + std::to_string(getpid()));
  fs::remove_all(root);
  const auto mkdir = [&](const std::string& path) { fs::create_directories(root / path); };
  const auto write = [&](const std::string& path, const std::string& text) {
    std::ofstream(root / path) << text << "\n";
  };
  const auto link = [&](const std::string& target, const std::string& path) {
    fs::create_directory_symlink(root / target, root / path);
  };
  for (const char* bus : {"usb-serial", "usb", "platform", "pnp", "serial-base"})
    mkdir("sys/bus/" + std::string(bus));
  mkdir("sys/devices/usb1/1-1/1-1:1.0/ttyUSB0");
  write("sys/devices/usb1/1-1/idVendor", "0403");
  write("sys/devices/usb1/1-1/idProduct", "6001");
  write("sys/devices/usb1/1-1/manufacturer", "FTDI");
  write("sys/devices/usb1/1-1/product", "FT232R USB UART");
  write("sys/devices/usb1/1-1/serial", "A9XK2");
  link("sys/bus/usb-serial", "sys/devices/usb1/1-1/1-1:1.0/ttyUSB0/subsystem");
  mkdir("sys/devices/platform/serial8250");
  link("sys/bus/platform", "sys/devices/platform/serial8250/subsystem");
  // A newer kernel's layout: serial-base port and controller devices over the pnp chip.
  mkdir("sys/devices/pnp0/00:05/00:05:0/00:05:0.0");
  link("sys/bus/pnp", "sys/devices/pnp0/00:05/subsystem");
  for (const char* level : {"00:05:0", "00:05:0/00:05:0.0"}) {
    link("sys/bus/serial-base", "sys/devices/pnp0/00:05/" + std::string(level) + "/subsystem");
  }
  for (const char* tty : {"ttyUSB0", "ttyS0", "ttyS4", "tty0"})
    mkdir("sys/class/tty/" + std::string(tty));
  link("sys/devices/usb1/1-1/1-1:1.0/ttyUSB0", "sys/class/tty/ttyUSB0/device");
  link("sys/devices/platform/serial8250", "sys/class/tty/ttyS0/device");
  link("sys/devices/pnp0/00:05/00:05:0/00:05:0.0", "sys/class/tty/ttyS4/device");
  mkdir("dev/serial/by-id");
  fs::create_symlink(engine_.port(), root / "dev/ttyUSB0");  // the adapter is the simulator
  fs::create_symlink("../../ttyUSB0", root / "dev/serial/by-id/usb-FTDI_FT232R_A9XK2-if00-port0");
  const std::vector<std::string> env = {"LC_ALL=C", "VORLEX_SYSTEM_ROOT=" + root.string()};

  Outcome outcome = RunTool({"ports", "--json"}, env);
  ASSERT_EQ(outcome.exit_status, 0) << outcome.err;
  json ports = json::parse(outcome.out)["ports"];
  ASSERT_EQ(ports.size(), 2u) << "ttyS0 (platform) and tty0 (no device) are not serial ports";
  EXPECT_EQ(ports[0]["device"], root.string() + "/dev/ttyS4");
  EXPECT_EQ(ports[0]["com_name"], "COM5");
  EXPECT_EQ(ports[0]["subsystem"], "pnp");
  EXPECT_EQ(ports[1]["com_name"], "COM33");
  EXPECT_EQ(ports[1]["vendor_id"], "0403");
  EXPECT_EQ(ports[1]["product_id"], "6001");
  EXPECT_EQ(ports[1]["serial_number"], "A9XK2");
  EXPECT_EQ(ports[1]["by_id"],
            root.string() + "/dev/serial/by-id/usb-FTDI_FT232R_A9XK2-if00-port0");
  EXPECT_EQ(engine_.RequestCount(), 0u) << "listing writes nothing";

  outcome = RunTool({"ports", "--probe"}, env);
  EXPECT_EQ(outcome.exit_status, 0) << outcome.err;
  EXPECT_TRUE(
      Contains(outcome.out, "  usb           0403:6001 FTDI / FT232R USB UART, serial A9XK2\n"));
  EXPECT_TRUE(Contains(outcome.out, "  reader        answers: VORLEX-SIM HW 1.0\n")) << outcome.out;
  EXPECT_EQ(engine_.RequestCount(), 1u) << "one hardware-version exchange, on the USB port only";
  fs::remove_all(root);
}

TEST_F(CliTest, MessagesFollowTheTerminalEncoding) {
  // In the C locale (and UTF-8 ones) the GBK message arrives as UTF-8; errors go to stderr.
  Outcome outcome = Vorlex({"card-request"});
  ASSERT_EQ(outcome.exit_status, 0);
  EXPECT_EQ(outcome.out.substr(0, outcome.out.find('\n')), "寻卡成功");
  outcome = Vorlex({"read", "1", "0"});
  EXPECT_EQ(outcome.exit_status, 1);
  EXPECT_EQ(outcome.out, "");
  EXPECT_TRUE(Contains(outcome.err, "status 0x0302 (library: 读块数据失败)")) << outcome.err;
  EXPECT_TRUE(Contains(outcome.err, "hint: ")) << outcome.err;
}

TEST_F(CliTest, MessagesInAGb18030Terminal) {
  locale_t gb18030 = newlocale(LC_ALL_MASK, "zh_CN.GB18030", nullptr);
  if (gb18030 == nullptr) GTEST_SKIP() << "no zh_CN.GB18030 locale here";
  freelocale(gb18030);
  const Outcome outcome = Vorlex({"card-request"}, {"LC_ALL=zh_CN.GB18030"});
  EXPECT_EQ(outcome.out.substr(0, outcome.out.find('\n')), "\xD1\xB0\xBF\xA8\xB3\xC9\xB9\xA6");
}

TEST_F(CliTest, DumpReadsEveryBlock) {
  Outcome outcome = Vorlex({"dump"});
  ASSERT_EQ(outcome.exit_status, 0);
  EXPECT_TRUE(Contains(outcome.out, "     1      0  564F524C45582053494D204341524420\n"));
  EXPECT_TRUE(Contains(
      outcome.out, "    15      3  FFFFFFFFFFFFFF078069FFFFFFFFFFFF  access 000 000 000 001\n"));
  EXPECT_EQ(outcome.err, "") << "no progress bar when stderr is not a terminal";

  outcome = Vorlex({"dump", "--key", "A0A1A2A3A4A5"});
  EXPECT_EQ(outcome.exit_status, 1);
  EXPECT_TRUE(Contains(outcome.out, "     0      -  no key opened this sector"));
  EXPECT_TRUE(Contains(outcome.err, "no key opened sector(s) 0, 1, 2,"));
}

TEST_F(CliTest, LibraryChosenByPathAndEdition) {
  const Outcome outcome =
      Vorlex({"--library", VORLEX_DISPLAY_LIBRARY, "--edition", "display", "read", "1", "0"});
  EXPECT_EQ(outcome.exit_status, 1) << outcome.err;
  EXPECT_TRUE(Contains(outcome.err, "0x0202")) << outcome.err;
  Outcome wrong = Vorlex({"--library", VORLEX_DISPLAY_LIBRARY, "beep"});
  EXPECT_EQ(wrong.exit_status, 3);
  EXPECT_TRUE(Contains(wrong.err, "is not the epurse edition")) << wrong.err;
  wrong = Vorlex({"beep", "--library", "/nonexistent/libvorlex.so"});
  EXPECT_EQ(wrong.exit_status, 3);
  EXPECT_TRUE(Contains(wrong.err, "cannot load library")) << wrong.err;
}

}  // namespace
}  // namespace vorlex::sim
