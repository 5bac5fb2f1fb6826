// The vorlex-sim program: options, the pty it announces, --link, --trace, shutdown.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "program_under_test.h"
#include "sim_fixture.h"

namespace vorlex::sim {
namespace {

using testing::Display;

// vorlex-sim with its standard output and error on one pipe, or error on a pipe of its own.
class Program : public launch::testing::Program {
 public:
  explicit Program(std::vector<std::string> args, Streams streams = kMerged)
      : launch::testing::Program(WithSimulator(std::move(args)), streams) {}

 private:
  static std::vector<std::string> WithSimulator(std::vector<std::string> args) {
    args.insert(args.begin(), VORLEX_SIM_PROGRAM);
    return args;
  }
};

TEST(SimProgram, HelpAndBadOptions) {
  Program help({"--help"});
  EXPECT_TRUE(help.WaitForOutput("0503 no purchase prepared"));
  EXPECT_EQ(help.Wait(), 0);
  Program run_help({"run", "--help"});
  EXPECT_TRUE(run_help.WaitForOutput("-- PROGRAM [ARGS...]"));
  EXPECT_EQ(run_help.Wait(), 0);
  // Unknown or malformed options, and options that would change nothing where they stand.
  const std::vector<std::vector<std::string>> bad = {{"--corrupt", "parity"},
                                                     {"--drop-every", "x"},
                                                     {"--drop-every", "0"},
                                                     {"--bogus"},
                                                     {"extra"},
                                                     {"--device", "/dev/null", "--link", "/tmp/x"},
                                                     {"--fault-every", "3"},
                                                     {"--silent", "--drop-every", "2"},
                                                     {"--drop-every", "1", "--truncate"},
                                                     {"--no-card", "--balance", "5"},
                                                     {"--slow-bytes", "3", "--pace"},
                                                     {"--", "true"},
                                                     {"run"},
                                                     {"run", "--com", "97", "--", "true"},
                                                     {"run", "--com", "x", "--", "true"},
                                                     {"run", "--com", "", "--", "true"},
                                                     {"run", "--device", "/dev/null", "--", "true"},
                                                     {"run", "--fault-every", "2", "--", "true"},
                                                     {"--lose-answer", "NOPE"},
                                                     {"--lose-answer", "PURCHASE:0"},
                                                     {"--lose-answer", "PURCHASE:x"},
                                                     {"--silent", "--lose-answer", "PURCHASE"}};
  for (const auto& args : bad) {
    Program program(args);
    EXPECT_EQ(program.Wait(), 2) << ::testing::PrintToString(args);
  }
}

TEST(SimProgram, ServesItsPtyThroughALinkAndTraces) {
  char pattern[] = "/tmp/vorlex-sim-program-XXXXXX";
  const std::filesystem::path dir = mkdtemp(pattern);
  const std::filesystem::path link = dir / "reader";
  Program sim({"--link", link.string(), "--trace"});
  ASSERT_TRUE(sim.WaitForOutput("/dev/pts/")) << sim.text();
  ASSERT_TRUE(std::filesystem::is_symlink(link));

  // Two programs in a row, as the command-line tool does it.
  for (int round = 0; round < 2; ++round) {
    const ReaderHandle handle = Display().open(link.c_str());
    ASSERT_NE(handle, nullptr) << "round " << round;
    unsigned char version[VORLEX_VERSION_SIZE] = {};
    char message[VORLEX_MESSAGE_SIZE];
    EXPECT_EQ(GET_HARDWARE_VER(handle, version, message), 0);
    EXPECT_EQ(Display().close(handle), 0);
  }
  ASSERT_TRUE(sim.WaitForOutput("<- #2 0000 ok: 56 4F 52")) << sim.text();
  EXPECT_NE(sim.text().find("-> #1 GET_HARDWARE_VER (FF 01)"), std::string::npos);

  // A host that dies holding the port exclusive (no Close_Reader to drop it) does not leave it
  // exclusive: without root, nobody could open it again.
  const int host = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(host, 0);
  ASSERT_EQ(ioctl(host, TIOCEXCL), 0);
  close(host);
  const int probe = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(probe, 0);
  int exclusive = 1;
  for (int i = 0; i < 100 && exclusive != 0; ++i) {
    ASSERT_EQ(ioctl(probe, TIOCGEXCL, &exclusive), 0);
    if (exclusive != 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(exclusive, 0);
  close(probe);

  EXPECT_EQ(sim.Stop(SIGTERM), 0);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)))
      << "link removed at exit";
  std::filesystem::remove_all(dir);
}

TEST(SimProgram, RefusesACardFileItCannotUse) {
  char pattern[] = "/tmp/vorlex-sim-program-XXXXXX";
  const std::filesystem::path dir = mkdtemp(pattern);
  const std::filesystem::path file = dir / "card.mfd";
  FILE* out = fopen(file.c_str(), "w");
  fputs("short", out);
  fclose(out);
  const struct {
    std::filesystem::path file;
    const char* says;
  } cases[] = {{file, "not a 1024-byte image"},
               {dir / "missing" / "card.mfd", "cannot save"},
               {"/dev/zero", "/dev/zero is a device, not a card file"},
               {"/dev/null", "/dev/null is a device, not a card file"},
               {dir, "is a folder, not a card file"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    Program sim({"--card-file", c.file.string()});
    EXPECT_EQ(sim.Wait(), 1) << c.says;
    const std::string said = sim.RestOfOutput();
    EXPECT_NE(said.find(c.says), std::string::npos) << said;
    EXPECT_EQ(said.find("basic_filebuf"), std::string::npos) << said;
  }
  std::filesystem::remove_all(dir);
}

// A recording that is no file, or no recording, is refused at start with the reason.
TEST(SimProgram, RefusesAReplayItCannotRead) {
  const struct {
    const char* file;
    const char* says;
  } cases[] = {{"/dev/zero", "/dev/zero is a device, not a recording"},
               {"/", "/ is a folder, not a recording"},
               {"/nonexistent/recording.jsonl", "cannot read /nonexistent/recording.jsonl"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    Program sim({"--replay", c.file});
    EXPECT_EQ(sim.Wait(), 1);
    EXPECT_NE(sim.RestOfOutput().find(c.says), std::string::npos) << sim.text();
  }
}

// A second simulator on a link that a live one serves would take the link over, and delete it
// at its exit while the first still serves.
TEST(SimProgram, RefusesALinkThatALiveSimulatorServes) {
  char pattern[] = "/tmp/vorlex-sim-program-XXXXXX";
  const std::filesystem::path dir = mkdtemp(pattern);
  const std::filesystem::path link = dir / "reader";
  Program first({"--link", link.string()});
  ASSERT_TRUE(first.WaitForOutput("\n")) << first.text();
  const std::string pty = first.text().substr(0, first.text().find('\n'));

  Program second({"--link", (dir / "." / "reader").string()});
  EXPECT_EQ(second.Wait(), 1);
  EXPECT_NE(second.RestOfOutput().find("another simulator is serving it"), std::string::npos)
      << second.text();
  EXPECT_EQ(std::filesystem::read_symlink(link), pty);

  // Once the first is gone (killed: it removes nothing), the link is free again.
  EXPECT_EQ(first.Stop(SIGKILL), 128 + SIGKILL);
  Program third({"--link", link.string()});
  EXPECT_TRUE(third.WaitForOutput("/dev/pts/")) << third.text();
  EXPECT_EQ(third.Stop(SIGTERM), 0);
  std::filesystem::remove_all(dir);
}

// `run`: PROGRAM's environment, exit status and streams; a simulator that cannot start starts
// no program. With --com the outcome depends on the kernel and our privileges: a private /dev
// with the device, or exit 3 with the reason.
TEST(SimProgram, RunsAProgramAgainstTheSimulator) {
  const std::string report = "test -c \"$VORLEX_PORT\" && echo \"$VORLEX_PORT $VORLEX_EDITION\"";
  const struct {
    std::vector<std::string> args;
    int exit_code;
    const char* output;  // the start of PROGRAM's standard output
    const char* errors;  // part of standard error
  } cases[] = {
      {{"run", "--trace", "--", "sh", "-c", report + "; exit 7"},
       7,
       "/dev/pts/",
       "the reader is /dev/pts/"},
      {{"run", "--", "/nonexistent/program"}, 127, "", "cannot run /nonexistent/program"},
      {{"run", "--card-file", "/nonexistent/card.mfd", "--", "echo", "started"},
       3,
       "",
       "did not start"},
      // The usual nodes are there, the machine's serial ports are not.
      {{"run", "--com", "--", "sh", "-c",
        "for n in null zero random urandom tty ttyUSB0; do test -c /dev/$n || exit 1; done; "
        "python3 -c 'import os; os.openpty()' && "
        "test -d /dev/pts -a -d /dev/shm -a -L /dev/fd -a ! -e /dev/ttyS0 -a ! -e /dev/ttyUSB1 "
        "&& echo $VORLEX_PORT $VORLEX_EDITION"},
       0,
       "COM33 epurse",
       "COM33 is /dev/ttyUSB0"},
      // Numbers are decimal: 010 is ten, not eight.
      {{"run", "--com", "010", "--", "sh", "-c", "echo $VORLEX_PORT"}, 0, "COM10", "COM10 is"},
  };
  for (const auto& c : cases) {
    Program run(c.args, Program::kApart);
    const int exit_code = run.Wait();
    const std::string output = run.RestOfOutput(), errors = run.Errors();
    if (exit_code == 3 && c.exit_code == 0) {
      EXPECT_NE(errors.find("cannot give the program a private /dev"), std::string::npos) << errors;
      continue;
    }
    EXPECT_EQ(exit_code, c.exit_code) << c.args.back() << ": " << errors;
    EXPECT_EQ(output.rfind(c.output, 0), 0u) << output;
    EXPECT_NE(errors.find(c.errors), std::string::npos) << errors;
    if (c.exit_code == 7) {
      EXPECT_NE(output.find(" display"), std::string::npos) << output;
    }
  }
}

TEST(SimProgram, RunPassesAStopOnAndEndsWithTheProgram) {
  Program run(
      {"run", "--", "sh", "-c", "trap 'exit 9' TERM; echo ready; while :; do sleep 0.05; done"});
  ASSERT_TRUE(run.WaitForOutput("ready")) << run.text();
  EXPECT_EQ(run.Stop(SIGTERM), 9);
}

// vorlex-sim ctl against a live simulator: each command's answer and exit status.
TEST(SimProgram, CtlChangesTheCardsOfALiveSimulator) {
  char pattern[] = "/tmp/vorlex-sim-ctl-XXXXXX";
  const std::filesystem::path dir = mkdtemp(pattern);
  const std::string link = (dir / "reader").string();
  { std::ofstream(dir / "short.mfd") << "not a card"; }
  Program simulator({"--link", link});
  ASSERT_TRUE(simulator.WaitForOutput("\n")) << simulator.text();
  const struct {
    std::vector<std::string> words;
    int exit;
    const char* says;
  } cases[] = {
      {{"stats"}, 0, "ok requests 0"},
      {{"remove"}, 0, "ok remove card"},
      {{"insert", "card"}, 0, "ok insert card"},
      {{"remove", "sam2"}, 0, "ok remove sam2"},
      {{"insert", "rfsim"}, 0, "ok insert rfsim"},
      {{"remove", "floppy"}, 1, "no unit floppy"},
      {{"load", (dir / "short.mfd").string()}, 1, "not a 1024-byte image"},
      {{"load", (dir / "missing.mfd").string()}, 1, "cannot read"},
      {{"stats", "now"}, 1, "cannot do 'stats' with 1 argument"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"ctl", "--link", link};
    args.insert(args.end(), c.words.begin(), c.words.end());
    Program ctl(args);
    EXPECT_EQ(ctl.Wait(), c.exit) << c.says;
    EXPECT_NE(ctl.RestOfOutput().find(c.says), std::string::npos) << ctl.RestOfOutput();
  }
  // Inside `run` the link comes from the environment.
  std::vector<std::string> environment = {"VORLEX_SIM_LINK=" + link, "PATH=/usr/bin:/bin"};
  launch::testing::Program from_environment({VORLEX_SIM_PROGRAM, "ctl", "stats"}, Program::kMerged,
                                            environment);
  EXPECT_EQ(from_environment.Wait(), 0) << from_environment.RestOfOutput();
  EXPECT_EQ(simulator.Stop(SIGTERM), 0);

  Program nobody({"ctl", "--link", link, "stats"});
  EXPECT_EQ(nobody.Wait(), 3);
  EXPECT_NE(nobody.RestOfOutput().find("no simulator serves the link"), std::string::npos);
  launch::testing::Program no_link({VORLEX_SIM_PROGRAM, "ctl", "stats"}, Program::kMerged,
                                   {"PATH=/usr/bin:/bin"});
  EXPECT_EQ(no_link.Wait(), 2);
  std::filesystem::remove_all(dir);
}

// Inside `run` without --link, ctl finds the simulator (by the link run makes and names in
// $VORLEX_SIM_LINK), and `load FILE` reads FILE from ctl's folder, not the simulator's.
TEST(SimProgram, CtlInsideRunLoadsTheCallersFile) {
  char pattern[] = "/tmp/vorlex-sim-ctl-XXXXXX";
  const std::filesystem::path dir = mkdtemp(pattern);
  {
    std::ofstream card(dir / "other.mfd", std::ios::binary);
    for (int block = 0; block < 64; ++block) {
      const std::string trailer =
          "\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x07\x80\x69\xFF\xFF\xFF\xFF\xFF\xFF";
      card << (block % 4 == 3 ? trailer : std::string(16, block == 0 ? '\x11' : '\0'));
    }
  }
  const std::string sim = VORLEX_SIM_PROGRAM;
  Program run(
      {"run", "--", "sh", "-c",
       "cd '" + dir.string() + "' && " + sim + " ctl load other.mfd && " + sim + " ctl stats"},
      Program::kApart);
  EXPECT_EQ(run.Wait(), 0) << run.RestOfOutput() << run.Errors();
  EXPECT_NE(run.RestOfOutput().find("ok load " + (dir / "other.mfd").string()), std::string::npos)
      << run.RestOfOutput();
  EXPECT_NE(run.RestOfOutput().find("ok requests 0"), std::string::npos) << run.RestOfOutput();
  std::filesystem::remove_all(dir);
}

// With --pcsc, the run's standard output is the program's alone: pcscd's log (here: a driver it
// cannot load) goes to standard error.
TEST(SimProgram, RunPcscKeepsTheDaemonsLogOffStandardOutput) {
  std::vector<std::string> environment = {"VORLEX_PCSC_DRIVER=/nonexistent/libifdvorlex.so"};
  for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
  launch::testing::Program run({VORLEX_SIM_PROGRAM, "run", "--pcsc", "--", "echo", "program"},
                               Program::kApart, environment);
  EXPECT_EQ(run.Wait(), 3) << run.Errors();
  if (run.Errors().find("cannot run pcscd") != std::string::npos) GTEST_SKIP() << "no pcscd";
  EXPECT_EQ(run.RestOfOutput(), "") << run.Errors();
  EXPECT_NE(run.Errors().find("/nonexistent/libifdvorlex.so"), std::string::npos) << run.Errors();
}

// --log replaces a symlink at its path instead of truncating what it points at, and a new log
// (a trace shows the keys sent) is its user's alone.
TEST(SimProgram, LogNeverWritesThroughASymlink) {
  char pattern[] = "/tmp/vorlex-sim-log-XXXXXX";
  const std::filesystem::path dir = mkdtemp(pattern);
  { std::ofstream(dir / "victim") << "precious"; }
  std::filesystem::create_symlink(dir / "victim", dir / "linked.log");
  for (const char* name : {"linked.log", "new.log"}) {
    SCOPED_TRACE(name);
    Program simulator({"--log", (dir / name).string(), "--trace"});
    ASSERT_TRUE(simulator.WaitForOutput("\n")) << simulator.text();
    EXPECT_EQ(simulator.Stop(SIGTERM), 0);
    EXPECT_FALSE(std::filesystem::is_symlink(dir / name));
    EXPECT_EQ(std::filesystem::status(dir / name).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  }
  std::ifstream victim(dir / "victim");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(victim), {}), "precious");
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace vorlex::sim
