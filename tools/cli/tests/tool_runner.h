// Runs the built vorlex program with its output captured, for the end-to-end tests.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vorlex::sim {

// The purchase journal of the tools this test process runs: its own, removed at exit (a test
// that cares gives VORLEX_JOURNAL itself).
inline std::string TestJournalVariable() {
  struct Folder {
    std::filesystem::path path = std::filesystem::temp_directory_path() /
                                 ("vorlex-test-journal-" + std::to_string(getpid()));
    ~Folder() {
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
    }
  };
  static const Folder folder;
  return "VORLEX_JOURNAL=" + (folder.path / "journal.db").string();
}

struct Outcome {
  int exit_status = -1;
  std::string out, err;
};

// The tool running with `args` in the environment `env`, both streams captured.
class Tool {
 public:
  // `input`, when given, is the program's standard input (else it inherits this process's).
  Tool(std::vector<std::string> args, std::vector<std::string> env,
       const std::optional<std::string>& input = std::nullopt) {
    if (pipe2(out_, O_CLOEXEC) != 0 || pipe2(err_, O_CLOEXEC) != 0) abort();
    int in[2] = {-1, -1};
    if (input && pipe2(in, O_CLOEXEC) != 0) abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (input) posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out_[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_[1], 2);
    args.insert(args.begin(), VORLEX_CLI_PROGRAM);
    std::vector<char*> argv, envp;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    bool journal_given = false;
    for (const std::string& var : env) journal_given |= var.rfind("VORLEX_JOURNAL=", 0) == 0;
    if (!journal_given) env.push_back(TestJournalVariable());
    for (std::string& var : env) envp.push_back(var.data());
    envp.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) abort();
    posix_spawn_file_actions_destroy(&actions);
    close(out_[1]);
    close(err_[1]);
    if (input) {
      close(in[0]);
      // Scripts and key lists are small: the pipe holds them whole.
      if (write(in[1], input->data(), input->size()) != static_cast<ssize_t>(input->size()))
        abort();
      close(in[1]);
    }
  }
  void Signal(int signal) const { kill(pid_, signal); }
  Outcome Wait() {
    Outcome outcome;
    pollfd fds[2] = {{out_[0], POLLIN, 0}, {err_[0], POLLIN, 0}};
    int open_streams = 2;
    while (open_streams > 0 && poll(fds, 2, 60000) > 0) {
      for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) continue;
        char buffer[4096];
        const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
        if (n <= 0) {
          close(fds[i].fd);
          fds[i].fd = -1;
          --open_streams;
          continue;
        }
        (i == 0 ? outcome.out : outcome.err).append(buffer, static_cast<std::size_t>(n));
      }
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    outcome.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
  }

 private:
  int out_[2], err_[2];
  pid_t pid_ = 0;
};

inline Outcome RunTool(std::vector<std::string> args, std::vector<std::string> env = {"LC_ALL=C"},
                       const std::optional<std::string>& input = std::nullopt) {
  return Tool(std::move(args), std::move(env), input).Wait();
}

inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace vorlex::sim
