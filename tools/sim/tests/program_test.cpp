// The vorlex-sim program: options, the pty it announces, --link, --trace, shutdown.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "sim_fixture.h"

extern char** environ;

namespace vorlex::sim {
namespace {

using testing::Display;

// The program with its standard output and error on one pipe.
class Program {
 public:
  explicit Program(std::vector<std::string> args) {
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 2);
    args.insert(args.begin(), VORLEX_SIM_PROGRAM);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
      throw std::runtime_error("spawn");
    }
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fds[1]);
    output_ = pipe_fds[0];
  }
  ~Program() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(output_);
  }

  // Reads until `text` shows up (true) or 10 s pass / the program ends (false).
  bool WaitForOutput(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (text_.find(text) == std::string::npos) {
      pollfd entry{output_, POLLIN, 0};
      if (std::chrono::steady_clock::now() > deadline || poll(&entry, 1, 100) < 0) return false;
      if (entry.revents == 0) continue;
      char buffer[512];
      const ssize_t n = read(output_, buffer, sizeof buffer);
      if (n <= 0) return false;
      text_.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
  }
  int Stop(int signal_number) {
    kill(pid_, signal_number);
    return Wait();
  }
  int Wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  const std::string& text() const { return text_; }

 private:
  pid_t pid_ = -1;
  int output_ = -1;
  std::string text_;
};

TEST(SimProgram, HelpAndBadOptions) {
  Program help({"--help"});
  EXPECT_TRUE(help.WaitForOutput("0503 no purchase prepared"));
  EXPECT_EQ(help.Wait(), 0);
  const std::vector<std::vector<std::string>> bad = {{"--corrupt", "parity"},
                                                     {"--drop-every", "x"},
                                                     {"--bogus"},
                                                     {"extra"},
                                                     {"--device", "/dev/null", "--link", "/tmp/x"}};
  for (const auto& args : bad) {
    Program program(args);
    EXPECT_EQ(program.Wait(), 2) << args[0];
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

TEST(SimProgram, RefusesACardFileThatIsNoImage) {
  char pattern[] = "/tmp/vorlex-sim-program-XXXXXX";
  const std::filesystem::path dir = mkdtemp(pattern);
  const std::filesystem::path file = dir / "card.mfd";
  FILE* out = fopen(file.c_str(), "w");
  fputs("short", out);
  fclose(out);
  Program sim({"--card-file", file.string()});
  EXPECT_EQ(sim.Wait(), 1);
  sim.WaitForOutput("1024");
  EXPECT_NE(sim.text().find("not a 1024-byte image"), std::string::npos) << sim.text();
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace vorlex::sim
