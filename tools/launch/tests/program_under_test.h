// A built tool running as a test's child, its standard output (and error, merged or apart) on
// pipes: for the tests that drive vorlex-sim and vorlex-tap as their users do.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace vorlex::launch::testing {

class Program {
 public:
  enum Streams { kMerged, kApart };
  enum Group { kOurGroup, kOwnGroup };  // kOwnGroup: a process group of its own, as a shell's job
  // `argv` starts with the program's path; `environment` is ours unless given.
  explicit Program(std::vector<std::string> argv, Streams streams = kMerged,
                   std::vector<std::string> environment = {}, Group group = kOurGroup) {
    int output[2], errors[2];
    if (pipe2(output, O_CLOEXEC) != 0 || pipe2(errors, O_CLOEXEC) != 0) {
      throw std::runtime_error("pipe");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output[1], 1);
    posix_spawn_file_actions_adddup2(&actions, streams == kMerged ? output[1] : errors[1], 2);
    std::vector<char*> args, envp;
    for (std::string& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    if (group == kOwnGroup) {
      posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
      posix_spawnattr_setpgroup(&attributes, 0);
    }
    const int failed = posix_spawn(&pid_, args[0], &actions, &attributes, args.data(),
                                   environment.empty() ? environ : envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    close(output[1]);
    close(errors[1]);
    streams_[0] = output[0];
    streams_[1] = errors[0];
    if (failed != 0) {
      pid_ = -1;
      throw std::runtime_error("spawn " + argv[0]);
    }
  }
  ~Program() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    for (int fd : streams_) {
      if (fd >= 0) close(fd);
    }
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  // Reads until `text` shows up on standard output (true), or the program ends or 20 s pass.
  bool WaitForOutput(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (text_.find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline || !ReadSome(100)) return false;
    }
    return true;
  }
  int Stop(int signal_number) {
    kill(pid_, signal_number);
    return Wait();
  }
  // Reads both streams to their end, then reaps the program: its exit code, or 128 + signal.
  int Wait() {
    while (ReadSome(-1)) {
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  pid_t pid() const { return pid_; }
  const std::string& text() const { return text_; }  // standard output so far
  // After Wait(): all of standard output, and standard error when apart.
  const std::string& RestOfOutput() const { return text_; }
  const std::string& Errors() const { return errors_; }

 private:
  // One read from whichever stream has bytes; false once both have ended (or poll failed).
  bool ReadSome(int timeout_ms) {
    pollfd fds[2] = {{streams_[0], POLLIN, 0}, {streams_[1], POLLIN, 0}};
    if (streams_[0] < 0 && streams_[1] < 0) return false;
    if (poll(fds, 2, timeout_ms) < 0) return false;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? text_ : errors_).append(buffer, static_cast<std::size_t>(n));
      } else {
        close(streams_[i]);
        streams_[i] = -1;
      }
    }
    return streams_[0] >= 0 || streams_[1] >= 0;
  }

  pid_t pid_ = -1;
  int streams_[2] = {-1, -1};
  std::string text_, errors_;
};

}  // namespace vorlex::launch::testing
