// Starting a program whose serial device names reach a pty of ours (the simulator's or the
// tap's), in a mount namespace of its own with a private /dev, so that nothing outside it changes.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vorlex::launch {

// What the program sees: its command line, its environment, and optionally a device on its
// private /dev that is the simulator's pty.
struct ProgramLaunch {
  std::vector<std::string> argv;
  std::vector<std::string> environment;  // NAME=VALUE, complete
  std::optional<std::string> device;     // e.g. /dev/ttyUSB0; none: no namespace at all
  std::string pty;                       // e.g. /dev/pts/5
};

struct LaunchResult {
  pid_t pid = -1;         // the program, running; -1 when it did not start
  int exit_code = 0;      // when it did not start: 3 (no namespace), 126, 127 (exec failed)
  std::string error;      // why, for the user
  std::string isolation;  // how it runs: "user namespace", "mount namespace", "no namespace"
};

// Forks, builds the namespace in the child and execs the program (PATH searched). Returns once
// the program runs or has failed to start.
LaunchResult LaunchProgram(const ProgramLaunch& launch);

// Our environment with `settings` (NAME, value) in place of any earlier values of theirs.
std::vector<std::string> EnvironmentWith(
    const std::vector<std::pair<std::string, std::string>>& settings);

// The COM name's device on this system ("COM33" -> "/dev/ttyUSB0"), or none.
std::optional<std::string> ComDevice(int number);

}  // namespace vorlex::launch
