// vorlex-sim run and vorlex-tap as supervisors of the program they start, through the built
// programs: what ends them ends the program and all it started, signals are passed on, the exit
// status is the program's, and the program gets descriptors 0-2 and the documented environment.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "program_under_test.h"

namespace vorlex::launch {
namespace {

namespace fs = std::filesystem;
using testing::Program;
using Command = std::vector<std::string>;

// The tap needs a reader: one simulator for the whole suite, on a link of its own.
class Supervision : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Signals we were started ignoring (SIGPIPE, from a harness that ignores it) would be
    // ignored by the tools and the programs too, which inherit it: a program that ignores
    // what a test sends never ends. Start them as ctest's children do, with none ignored.
    for (int number = 1; number <= SIGRTMAX; ++number) {
      struct sigaction action {};
      if (sigaction(number, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) {
        signal(number, SIG_DFL);
      }
    }
    char pattern[] = "/tmp/vorlex-supervision-XXXXXX";
    folder_ = mkdtemp(pattern);
    reader_ = std::make_unique<Program>(Command{VORLEX_SIM_PROGRAM, "--link", Reader()});
    ASSERT_TRUE(reader_->WaitForOutput("/dev/")) << reader_->text();
    // A program killed by SIGQUIT dumps no core in the build tree.
    const rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
  }
  static void TearDownTestSuite() {
    reader_.reset();
    fs::remove_all(folder_);
  }
  static std::string Reader() { return (folder_ / "reader").string(); }
  static std::string Scratch(const std::string& name) { return (folder_ / name).string(); }

  struct Supervisor {
    const char* name;
    std::function<Command(const Command& program)> command;
  };
  static std::vector<Supervisor> Supervisors(const Command& options = {}) {
    const auto run = [options](Command start) {
      return [start, options](const Command& program) {
        Command command = start;
        command.insert(command.end(), options.begin(), options.end());
        command.push_back("--");
        command.insert(command.end(), program.begin(), program.end());
        return command;
      };
    };
    return {{"run", run({VORLEX_SIM_PROGRAM, "run"})},
            {"run --com", run({VORLEX_SIM_PROGRAM, "run", "--com"})},
            {"tap --com", run({VORLEX_TAP_PROGRAM, "--device", Reader(), "--com", "33"})}};
  }

  // Where the kernel gives no namespace, --com cannot run here: the row is skipped.
  static bool NoNamespace(Program& tool) {
    return tool.Wait() == 3 && tool.Errors().find("private /dev") != std::string::npos;
  }

  inline static fs::path folder_;
  inline static std::unique_ptr<Program> reader_;
};

// Gone, or a zombie about to be reaped: nothing of it runs.
bool Ended(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return true;
  const std::size_t state = text.rfind(')');
  return state == std::string::npos || text.substr(state + 2, 1) == "Z";
}

bool EndedWithinASecond(const std::vector<pid_t>& pids) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  for (;;) {
    bool all = true;
    for (const pid_t pid : pids) all = all && Ended(pid);
    if (all) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// After its first line, PROGRAM lets go of our pipes: a supervisor that leaves it running
// fails the test instead of hanging it.
const std::string kQuiet = "exec >/dev/null 2>&1; ";

// The numbers on the line PROGRAM printed first.
std::vector<pid_t> Pids(const std::string& text, const std::string& after) {
  std::istringstream line(text.substr(text.find(after) + after.size()));
  std::vector<pid_t> pids;
  pid_t pid;
  while (line >> pid) pids.push_back(pid);
  return pids;
}

TEST_F(Supervision, TheProgramAndItsChildDieWithAKilledSupervisor) {
  for (const Supervisor& supervisor : Supervisors()) {
    SCOPED_TRACE(supervisor.name);
    Program tool(
        supervisor.command(
            {"sh", "-c", "sleep 600 >/dev/null 2>&1 & echo pids $$ $!; " + kQuiet + "wait"}),
        Program::kApart);
    if (!tool.WaitForOutput("\n")) {
      if (NoNamespace(tool)) continue;
      FAIL() << tool.Errors();
    }
    const std::vector<pid_t> pids = Pids(tool.text(), "pids ");
    ASSERT_EQ(pids.size(), 2u) << tool.text();
    EXPECT_EQ(tool.Stop(SIGKILL), 128 + SIGKILL);
    EXPECT_TRUE(EndedWithinASecond(pids)) << tool.text();
  }
}

// Every signal that ends a process by default reaches the program, and the supervisor ends
// with it: 128 + the signal when the program dies of it, the program's own status when it
// handles it, SIGKILL after the grace period when it ignores a stop request. A program that
// handles SIGTERM by using the reader once more is still served.
TEST_F(Supervision, SignalsArePassedOnAndTheProgramsStatusIsTheSupervisors) {
  const std::string loop = "echo ready $$; " + kQuiet + "while :; do sleep 0.05; done";
  const std::string sleeper = "echo ready $$; " + kQuiet + "exec sleep 600";
  const std::string served = std::string(VORLEX_CLI_PROGRAM) +
                             " --port \"$VORLEX_PORT\" hardware-version >/dev/null && exit 9";
  const struct {
    int signal_number;
    std::string program;
    int exit_status;
  } cases[] = {
      {SIGHUP, sleeper, 128 + SIGHUP},
      {SIGINT, sleeper, 128 + SIGINT},
      {SIGQUIT, sleeper, 128 + SIGQUIT},
      {SIGUSR1, sleeper, 128 + SIGUSR1},
      {SIGUSR2, sleeper, 128 + SIGUSR2},
      {SIGPIPE, sleeper, 128 + SIGPIPE},
      {SIGALRM, sleeper, 128 + SIGALRM},
      {SIGTERM, sleeper, 128 + SIGTERM},
      {SIGRTMIN + 1, sleeper, 128 + SIGRTMIN + 1},
      {SIGTERM, "trap 'exit 7' TERM; " + loop, 7},
      {SIGTERM, "trap '' TERM; " + loop, 128 + SIGKILL},
      {SIGTERM, "trap '" + served + "; exit 1' TERM; " + loop, 9},
  };
  for (const Supervisor& supervisor : Supervisors()) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(supervisor.name) + ", signal " + std::to_string(c.signal_number) +
                   ": " + c.program);
      Program tool(supervisor.command({"sh", "-c", c.program}), Program::kApart);
      if (!tool.WaitForOutput("\n")) {
        if (NoNamespace(tool)) break;
        FAIL() << tool.Errors();
      }
      const std::vector<pid_t> program = Pids(tool.text(), "ready ");
      EXPECT_EQ(tool.Stop(c.signal_number), c.exit_status) << tool.Errors();
      EXPECT_TRUE(EndedWithinASecond(program));
    }
  }
}

// A signal reaches the program once, whether it was sent to the supervisor alone (`kill PID`), to
// the process group they share (`kill -INT -PGID`), or to both, one after the other (as
// `timeout -s INT` does). The program counts what it gets for a second after the first.
TEST_F(Supervision, TheProgramGetsEachSignalOnce) {
  const std::string counter =
      "n=0; trap 'n=$((n+1))' INT TERM; echo ready; "
      "while [ $n -eq 0 ]; do sleep 0.05; done; sleep 1; echo signals $n";
  struct Case {
    const char* name;
    bool to_supervisor, to_group;
  };
  const Case ways[] = {{"to the supervisor", true, false},
                       {"to the group", false, true},
                       {"to both, as timeout does", true, true}};
  for (const Supervisor& supervisor : Supervisors()) {
    for (const int signal_number : {SIGINT, SIGTERM}) {
      for (const Case& way : ways) {
        SCOPED_TRACE(std::string(supervisor.name) + ", " + strsignal(signal_number) + " " +
                     way.name);
        Program tool(supervisor.command({"sh", "-c", counter}), Program::kApart, {},
                     Program::kOwnGroup);
        if (!tool.WaitForOutput("ready\n")) {
          if (NoNamespace(tool)) break;
          FAIL() << tool.Errors();
        }
        if (way.to_supervisor) kill(tool.pid(), signal_number);
        if (way.to_group) kill(-tool.pid(), signal_number);
        EXPECT_EQ(tool.Wait(), 0) << tool.Errors();
        EXPECT_NE(tool.RestOfOutput().find("signals 1\n"), std::string::npos)
            << tool.RestOfOutput() << tool.Errors();
      }
    }
  }
}

// Descriptors the tools open (--log, ptys, sockets) or inherit stay out of the program:
// `ls` sees 0, 1, 2 and the directory it reads.
TEST_F(Supervision, TheProgramGetsDescriptorsZeroToTwoOnly) {
  const int inherited = open("/dev/null", O_RDONLY);  // not close-on-exec: the tool inherits it
  ASSERT_GE(inherited, 3);
  for (const Command& options : {Command{}, Command{"--log", Scratch("log")}}) {
    for (const Supervisor& supervisor : Supervisors(options)) {
      SCOPED_TRACE(std::string(supervisor.name) + (options.empty() ? "" : " --log"));
      Program tool(supervisor.command({"ls", "/proc/self/fd"}), Program::kApart);
      const int status = tool.Wait();
      if (status == 3 && NoNamespace(tool)) continue;
      EXPECT_EQ(status, 0) << tool.Errors();
      EXPECT_EQ(tool.RestOfOutput(), "0\n1\n2\n3\n");
    }
  }
  close(inherited);
}

// Stale values of the tools' variables are replaced or dropped; the rest passes unchanged.
TEST_F(Supervision, TheProgramGetsTheDocumentedEnvironment) {
  const std::vector<std::string> environment = {"PATH=" + std::string(getenv("PATH")),
                                                "VORLEX_PORT=stale", "VORLEX_EDITION=stale",
                                                "VORLEX_SIM_LINK=stale", "OTHER=kept"};
  const std::string pty = "/dev/pts/";  // a value that starts so
  const std::string link = "/";         // run's own link to the pty, for vorlex-sim ctl
  const std::map<std::string, std::map<std::string, std::string>> expected = {
      {"run", {{"VORLEX_PORT", pty}, {"VORLEX_EDITION", "display"}, {"VORLEX_SIM_LINK", link}}},
      {"run --com",
       {{"VORLEX_PORT", "COM33"}, {"VORLEX_EDITION", "epurse"}, {"VORLEX_SIM_LINK", link}}},
      {"tap --com", {{"VORLEX_PORT", "COM33"}, {"VORLEX_EDITION", "epurse"}}},
  };
  for (const Supervisor& supervisor : Supervisors()) {
    SCOPED_TRACE(supervisor.name);
    Program tool(supervisor.command({"env"}), Program::kApart, environment);
    const int status = tool.Wait();
    if (status == 3 && NoNamespace(tool)) continue;
    ASSERT_EQ(status, 0) << tool.Errors();
    std::map<std::string, std::string> got;
    std::istringstream lines(tool.RestOfOutput());
    bool other = false;
    for (std::string line; std::getline(lines, line);) {
      other = other || line == "OTHER=kept";
      if (line.starts_with("VORLEX_")) {
        got[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
      }
    }
    EXPECT_TRUE(other) << tool.RestOfOutput();
    const auto& want = expected.at(supervisor.name);
    ASSERT_EQ(got.size(), want.size()) << tool.RestOfOutput();
    for (const auto& [name, value] : want) {
      EXPECT_TRUE(got[name].starts_with(value) &&
                  (value == pty || value == link || got[name] == value))
          << name << "=" << got[name];
    }
    if (got.count("VORLEX_SIM_LINK") != 0) {
      EXPECT_TRUE(got["VORLEX_SIM_LINK"].ends_with("/reader")) << got["VORLEX_SIM_LINK"];
    }
  }
}

}  // namespace
}  // namespace vorlex::launch
