// `vorlex-sim run --agent`: a private vorlex-agent serving the simulator's pty, on a loopback
// port of its own, with a token of its own; it ends with the run.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace vorlex::sim {

class PrivateAgent {
 public:
  // Starts `program` (vorlex-agent) for `pty`; throws std::runtime_error with the reason when it
  // does not come up within 10 s.
  PrivateAgent(const std::string& program, const std::string& pty, const std::string& edition,
               const std::vector<std::string>& allow);
  ~PrivateAgent();  // SIGTERM, then the folder (token, journal) goes
  PrivateAgent(const PrivateAgent&) = delete;
  PrivateAgent& operator=(const PrivateAgent&) = delete;

  const std::string& url() const { return url_; }
  const std::string& token() const { return token_; }

  // vorlex-agent beside vorlex-sim (installed or built), or $VORLEX_AGENT_PROGRAM.
  static std::string Program();

 private:
  std::filesystem::path folder_;
  pid_t pid_ = -1;
  std::string url_, token_;
};

}  // namespace vorlex::sim
