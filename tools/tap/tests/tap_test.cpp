// vorlex-tap and vorlex-sim --replay through the real programs: a run of the tool recorded
// between it and the simulator, then played back to it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "program_under_test.h"

namespace vorlex {
namespace {

namespace fs = std::filesystem;

using launch::testing::Program;

std::string Scratch(const std::string& name) {
  return testing::TempDir() + "tap_" + std::to_string(getpid()) + "_" + name;
}

// The tool's run on `port`: each command's output and exit status.
std::vector<std::string> ToolRun(const std::string& port,
                                 const std::vector<std::vector<std::string>>& commands) {
  // Each run keeps its purchases in a journal of its own, so a replay numbers them as the
  // recorded run did; the purchase's idempotency key is new every time.
  static int runs = 0;
  const std::string journal = Scratch("journal" + std::to_string(++runs) + ".db");
  setenv("VORLEX_JOURNAL", journal.c_str(), 1);
  std::vector<std::string> outputs;
  for (const auto& command : commands) {
    std::vector<std::string> args{VORLEX_CLI_PROGRAM, "--port", port};
    args.insert(args.end(), command.begin(), command.end());
    Program tool(args);
    const int status = tool.Wait();
    // The dump reports the time a key took, which no replay repeats to the microsecond.
    const std::string text = std::regex_replace(
        std::regex_replace(tool.text(), std::regex("[0-9.]+ ms per key"), "N ms per key"),
        std::regex("key( +)[0-9a-f]{32}"), "key$1K");
    outputs.push_back(text + "exit " + std::to_string(status));
  }
  return outputs;
}

const std::vector<std::vector<std::string>> kWholeRun = {
    {"dump"},
    {"apdu", "card", "0084000008"},
    {"sam-power", "on", "1"},
    {"apdu", "sam1", "0084000008"},
    {"purchase", "--amount", "150", "--prep", "20261209010203"}};

struct Started {
  std::unique_ptr<Program> program;
  std::string link;
};

Started StartSimulator(std::vector<std::string> options, const std::string& name) {
  Started started{nullptr, Scratch(name)};
  options.insert(options.begin(), {VORLEX_SIM_PROGRAM, "--link", started.link});
  started.program = std::make_unique<Program>(options);
  if (!started.program->WaitForOutput("/dev/")) throw std::runtime_error(started.program->text());
  return started;
}

// The tool's commands run through a tap on a fresh simulator, recorded as JSON lines: the
// recording's path.
std::string Record(const std::vector<std::vector<std::string>>& commands, const std::string& name) {
  const std::string recording = Scratch(name);
  Started simulator = StartSimulator({}, "sim");
  const std::string tap_link = Scratch("tap");
  Program tap({VORLEX_TAP_PROGRAM, "--device", simulator.link, "--link", tap_link, "--json",
               "--log", recording});
  if (!tap.WaitForOutput("/dev/")) throw std::runtime_error(tap.text());
  ToolRun(tap_link, commands);
  tap.Stop(SIGTERM);
  return recording;
}

TEST(Tap, RecordsAWholeRunThatReplaysTheSame) {
  const struct {
    const char* name;
    std::vector<std::string> faults;
    bool anomalies;
  } cases[] = {
      {"clean line", {}, false},
      {"every 7th answer with a bad ETX", {"--corrupt", "etx", "--fault-every", "7"}, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string recording = Scratch("recording.jsonl");
    std::vector<std::string> direct;
    {
      Started simulator = StartSimulator(c.faults, "sim");
      const std::string tap_link = Scratch("tap");
      Program tap({VORLEX_TAP_PROGRAM, "--device", simulator.link, "--link", tap_link, "--json",
                   "--log", recording});
      ASSERT_TRUE(tap.WaitForOutput("/dev/")) << tap.text();
      direct = ToolRun(tap_link, kWholeRun);
      EXPECT_EQ(tap.Stop(SIGTERM), 0);
      const std::regex summary(
          "stopped: ([0-9]+) frames from the host, ([0-9]+) from the reader, "
          "([0-9]+) anomal");
      std::smatch found;
      ASSERT_TRUE(std::regex_search(tap.text(), found, summary)) << tap.text();
      EXPECT_GT(std::stoi(found[1]), 80);  // the dump alone is 81 exchanges
      EXPECT_EQ(std::stoi(found[3]) > 0, c.anomalies) << found[0];
      EXPECT_NE(tap.text().find(c.anomalies ? "BAD_ETX" : "CPU_PBOC_PURCHASE"), std::string::npos);
    }
    for (const std::string& output : direct)
      EXPECT_NE(output.find("exit 0"), std::string::npos) << output;

    Started replay = StartSimulator({"--replay", recording}, "replay");
    EXPECT_EQ(ToolRun(replay.link, kWholeRun), direct);
    EXPECT_EQ(replay.program->Stop(SIGTERM), 0) << replay.program->text();
    EXPECT_NE(replay.program->text().find(" 0 mismatches"), std::string::npos);
  }
}

TEST(Tap, ReplayReportsAChangedRequest) {
  const std::string recording = Record({{"read", "1", "0"}}, "short.jsonl");
  for (const bool strict : {false, true}) {
    std::vector<std::string> options{"--replay", recording};
    if (strict) options.push_back("--replay-strict");
    Started replay = StartSimulator(options, "replay");
    const std::vector<std::string> outputs = ToolRun(replay.link, {{"read", "1", "1"}});
    EXPECT_EQ(outputs[0].find("exit 0"), std::string::npos) << outputs[0];
    // Strict ends by itself at the first mismatch.
    EXPECT_EQ(strict ? replay.program->Wait() : replay.program->Stop(SIGTERM), 1);
    EXPECT_NE(replay.program->text().find("differs from recorded request 1 at byte 6: got 01, "
                                          "recorded 00\n  recorded: MIFS_READ (04 04)"),
              std::string::npos)
        << replay.program->text();
  }
}

// A recorded purchase holds its date and time in the search's preparation data: replayed later,
// it plays when those bytes may vary, and the replay shows how they varied.
TEST(Tap, RecordedPurchaseReplaysWithItsTimeVarying) {
  const std::string recording = Scratch("purchase.jsonl");
  {
    Started simulator = StartSimulator({}, "sim");
    const std::string tap_link = Scratch("tap");
    Program tap({VORLEX_TAP_PROGRAM, "--device", simulator.link, "--link", tap_link, "--json",
                 "--log", recording});
    ASSERT_TRUE(tap.WaitForOutput("/dev/"));
    ToolRun(tap_link, {{"purchase", "--amount", "150", "--prep", "20261209010203"}});
    tap.Stop(SIGTERM);
  }
  const struct {
    std::vector<std::string> vary;
    int exit_status;
    const char* said;
  } cases[] = {
      {{"--replay-vary", "CPU_PBOC_REQA_CARD:5-11"},
       0,
       "request 3 (CPU_PBOC_REQA_CARD) varies as allowed: data bytes 8-11: got 10115959, "
       "recorded 09010203"},
      {{}, 1, "differs from recorded request 3 at byte 13: got 10, recorded 09"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> options{"--replay", recording};
    options.insert(options.end(), c.vary.begin(), c.vary.end());
    Started replay = StartSimulator(options, "replay");
    const std::vector<std::string> outputs =
        ToolRun(replay.link, {{"purchase", "--amount", "150", "--prep", "20261210115959"}});
    EXPECT_EQ(outputs[0].find("exit 0") != std::string::npos, c.exit_status == 0) << outputs[0];
    EXPECT_EQ(replay.program->Stop(SIGTERM), c.exit_status) << replay.program->text();
    EXPECT_NE(replay.program->text().find(c.said), std::string::npos) << replay.program->text();
  }
}

// An e-purse program names its port COMn only; the tap stands in for COM33 in a private /dev.
TEST(Tap, ServesAProgramOnAComPort) {
  Started simulator = StartSimulator({}, "sim");
  Program tap({VORLEX_TAP_PROGRAM, "--device", simulator.link, "--com", "33", "--",
               VORLEX_CLI_PROGRAM, "--port", "COM33", "purchase", "--amount", "5"});
  const int status = tap.Wait();
  if (status == 3) GTEST_SKIP() << "no namespace here: " << tap.text();
  EXPECT_EQ(status, 0) << tap.text();
  EXPECT_NE(tap.text().find("COM33 is /dev/ttyUSB0"), std::string::npos) << tap.text();
  EXPECT_NE(tap.text().find("balance after  9995 cents"), std::string::npos) << tap.text();
  EXPECT_NE(tap.text().find("the program ended: 5 frames from the host, 5 from the reader, 0 "
                            "anomalies"),
            std::string::npos)
      << tap.text();
}

TEST(Tap, EndsWithOneWhenTheDeviceGoesAway) {
  Started simulator = StartSimulator({}, "sim");
  Program tap({VORLEX_TAP_PROGRAM, "--device", simulator.link});
  ASSERT_TRUE(tap.WaitForOutput("/dev/"));
  simulator.program->Stop(SIGKILL);
  EXPECT_EQ(tap.Wait(), 1);
  EXPECT_NE(tap.text().find("went away"), std::string::npos) << tap.text();
}

// --com takes numbers as every tool does, and says what was wrong with one it cannot use; a
// --device that is a folder or a file is named as such.
TEST(Tap, ComNumbersAsOnEveryToolsCommandLine) {
  const std::string missing = Scratch("no-such-device");
  const struct {
    const char* com;
    int exit_status;
    const char* said;
  } cases[] = {
      {"abc", 2, "\"abc\" is not a COM port number"},
      {"", 2, "is not a COM port number"},
      {"97", 2, "COM97 stands for no device"},
      {"0x21", 1, missing.c_str()},  // taken as 33: the tap goes on to open the device
      {"033", 1, missing.c_str()},
  };
  for (const char* device : {"/", "/etc/hostname"}) {
    Program tap({VORLEX_TAP_PROGRAM, "--device", device});
    EXPECT_EQ(tap.Wait(), 2) << tap.text();
    EXPECT_NE(tap.text().find("give the reader's serial device"), std::string::npos) << tap.text();
  }
  for (const auto& c : cases) {
    Program tap({VORLEX_TAP_PROGRAM, "--device", missing, "--com", c.com, "--", "true"});
    EXPECT_EQ(tap.Wait(), c.exit_status) << c.com << ": " << tap.text();
    EXPECT_NE(tap.text().find(c.said), std::string::npos) << c.com << ": " << tap.text();
    EXPECT_EQ(tap.text().find("COMabc"), std::string::npos) << tap.text();
  }
}

// A link is served by one program at a time, simulator or tap: neither takes over (and at its
// end deletes) a link the other still serves.
TEST(Tap, SharesTheLinkClaimWithTheSimulator) {
  Started simulator = StartSimulator({}, "sim");
  Program tap_on_it({VORLEX_TAP_PROGRAM, "--device", simulator.link, "--link", simulator.link});
  EXPECT_EQ(tap_on_it.Wait(), 1);
  EXPECT_NE(tap_on_it.text().find("another simulator is serving it"), std::string::npos)
      << tap_on_it.text();
  EXPECT_TRUE(fs::is_symlink(simulator.link));

  const std::string tap_link = Scratch("tap");
  Program tap({VORLEX_TAP_PROGRAM, "--device", simulator.link, "--link", tap_link});
  ASSERT_TRUE(tap.WaitForOutput("/dev/")) << tap.text();
  Program simulator_on_it({VORLEX_SIM_PROGRAM, "--link", tap_link});
  EXPECT_EQ(simulator_on_it.Wait(), 1);
  EXPECT_NE(simulator_on_it.text().find("another tap is serving it"), std::string::npos)
      << simulator_on_it.text();
  EXPECT_EQ(tap.Stop(SIGTERM), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(tap_link))) << "removed at the tap's end";
}

// With a program under test, standard output is the program's alone: the record goes to --log
// (text, or JSON lines with --json), or without --log to standard error.
TEST(Tap, KeepsTheProgramsStandardOutputItsOwn) {
  Started simulator = StartSimulator({}, "sim");
  const std::string log = Scratch("record");
  const struct {
    std::vector<std::string> options;
    const char* on_errors;  // a part of the record on standard error, or nothing
    const char* in_log;     // a part of the record in --log, or nothing
  } cases[] = {
      {{}, "the program ended: 1 frames from the host", nullptr},
      {{"--log", log}, nullptr, "the program ended: 1 frames from the host"},
      {{"--json", "--log", log},
       nullptr,
       "\"event\":\"summary\",\"message\":\"the program ended\""},
      {{"--json"}, "\"event\":\"summary\"", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.options));
    fs::remove(log);
    std::vector<std::string> command{VORLEX_TAP_PROGRAM, "--device", simulator.link};
    command.insert(command.end(), c.options.begin(), c.options.end());
    command.insert(command.end(), {"--com", "33", "--", "sh", "-c",
                                   std::string(VORLEX_CLI_PROGRAM) +
                                       " --port COM33 hardware-version >/dev/null && echo hello"});
    Program tap(command, Program::kApart);
    const int status = tap.Wait();
    if (status == 3) GTEST_SKIP() << "no namespace here: " << tap.Errors();
    EXPECT_EQ(status, 0) << tap.Errors();
    EXPECT_EQ(tap.RestOfOutput(), "hello\n");
    EXPECT_EQ(tap.Errors().find("frames from the host") != std::string::npos ||
                  tap.Errors().find("\"event\"") != std::string::npos,
              c.on_errors != nullptr)
        << tap.Errors();
    if (c.on_errors != nullptr) {
      EXPECT_NE(tap.Errors().find(c.on_errors), std::string::npos);
    }
    std::ifstream file(log);
    const std::string logged((std::istreambuf_iterator<char>(file)),
                             std::istreambuf_iterator<char>());
    if (c.in_log != nullptr) {
      EXPECT_NE(logged.find(c.in_log), std::string::npos) << logged;
    }
  }
}

// The recording is saved whole when the tap ends: through no symlink planted at its name, and
// with the old recording intact until then.
TEST(Tap, SavesItsRecordingWholeAndThroughNoSymlink) {
  Started simulator = StartSimulator({}, "sim");
  const std::string victim = Scratch("victim"), log = Scratch("planted.jsonl");
  std::ofstream(victim) << "precious";
  fs::remove(log);
  fs::create_symlink(victim, log);
  Program tap({VORLEX_TAP_PROGRAM, "--device", simulator.link, "--json", "--log", log, "--com",
               "33", "--", VORLEX_CLI_PROGRAM, "--port", "COM33", "hardware-version"},
              Program::kApart);
  const int status = tap.Wait();
  if (status == 3) GTEST_SKIP() << "no namespace here: " << tap.Errors();
  EXPECT_EQ(status, 0) << tap.Errors();
  std::ifstream kept(victim);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "precious");
  EXPECT_FALSE(fs::is_symlink(log));
  std::ifstream file(log);
  const std::string logged((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
  EXPECT_NE(logged.find("\"event\":\"summary\""), std::string::npos) << logged;
}

// `run --replay`: the program's status is never hidden; a replay that did not play through
// (a mismatch, or recorded exchanges left unplayed) turns the program's 0 into 4, and the
// summary line says which. The plain simulator ends with 1 then.
TEST(Replay, RunKeepsTheProgramsStatusAndTellsTheReplays) {
  const std::string recording = Record({{"hardware-version"}}, "version.jsonl");
  const std::string tool = std::string(VORLEX_CLI_PROGRAM) + " --port \"$VORLEX_PORT\" ";
  const struct {
    std::string program;
    int exit_status;
    const char* summary;
  } cases[] = {
      {tool + "hardware-version", 0, "1 of 1 recorded exchanges played, 0 mismatches"},
      {tool + "hardware-version; exit 5", 5, "1 of 1 recorded exchanges played, 0 mismatches"},
      {"true", 4, "0 of 1 recorded exchanges played, 0 mismatches"},
      {tool + "software-version", 1, "1 of 1 recorded exchanges played, 3 mismatches"},
      {tool + "software-version; exit 0", 4, "1 of 1 recorded exchanges played, 3 mismatches"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.program);
    Program run({VORLEX_SIM_PROGRAM, "run", "--replay", recording, "--", "sh", "-c", c.program},
                Program::kApart);
    EXPECT_EQ(run.Wait(), c.exit_status) << run.Errors();
    EXPECT_NE(run.Errors().find(c.summary), std::string::npos) << run.Errors();
  }
  Started unplayed = StartSimulator({"--replay", recording}, "replay");
  EXPECT_EQ(unplayed.program->Stop(SIGTERM), 1);
  EXPECT_NE(unplayed.program->text().find("0 of 1 recorded exchanges played"), std::string::npos);
}

}  // namespace
}  // namespace vorlex
