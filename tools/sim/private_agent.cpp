#include "private_agent.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <system_error>

namespace vorlex::sim {

std::string PrivateAgent::Program() {
  if (const char* given = std::getenv("VORLEX_AGENT_PROGRAM"); given != nullptr && *given != '\0') {
    return given;
  }
  std::error_code error;
  const std::filesystem::path bin =
      std::filesystem::read_symlink("/proc/self/exe", error).parent_path();
  return (bin / "vorlex-agent").string();
}

PrivateAgent::PrivateAgent(const std::string& program, const std::string& pty,
                           const std::string& edition, const std::vector<std::string>& allow) {
  std::string pattern = (std::filesystem::temp_directory_path() / "vorlex-agent-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "mkdtemp");
  }
  folder_ = pattern;
  std::vector<std::string> words = {program,
                                    "--port",
                                    pty,
                                    "--edition",
                                    edition,
                                    "--listen",
                                    "127.0.0.1:0",
                                    "--token-file",
                                    (folder_ / "token").string(),
                                    "--journal",
                                    (folder_ / "journal.sqlite").string()};
  for (const std::string& origin : allow) {
    words.push_back("--allow");
    words.push_back(origin);
  }
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ < 0) throw std::system_error(errno, std::generic_category(), "fork");
  if (pid_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // a killed run takes its agent along
    if (::getppid() != parent) ::_exit(127);
    ::dup2(out[1], STDOUT_FILENO);
    sigset_t none;  // the supervisor blocks the signals that would stop the agent
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  // The agent's first line is its URL.
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (line.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd fd{out[0], POLLIN, 0};
    if (left.count() <= 0 || ::poll(&fd, 1, static_cast<int>(left.count())) <= 0) break;
    char chunk[256];
    const ssize_t got = ::read(out[0], chunk, sizeof chunk);
    if (got <= 0) break;
    line.append(chunk, static_cast<std::size_t>(got));
  }
  ::close(out[0]);
  if (line.find('\n') == std::string::npos) {
    this->~PrivateAgent();  // a constructor that throws has no destructor run
    pid_ = -1;
    throw std::runtime_error(program + " did not start (its message is above; is it installed?)");
  }
  url_ = line.substr(0, line.find('\n'));
  std::ifstream file(folder_ / "token");
  std::getline(file, token_);
}

PrivateAgent::~PrivateAgent() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  std::error_code error;
  std::filesystem::remove_all(folder_, error);
}

}  // namespace vorlex::sim
