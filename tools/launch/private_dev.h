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
// private /dev that is the simulator's pty. A daemon the program needs beside it in the same
// namespace (a private pcscd, say) belongs here too, as another child of the keeper: started
// before the program, and ended with it like everything else below the keeper.
// A folder of ours mounted on a path of the program's mount namespace (pcscd's /run/pcscd).
// Where the path does not exist, the namespace gets a tmpfs on its parent first.
struct FolderMount {
  std::string source, target;
};

struct ProgramLaunch {
  std::vector<std::string> argv;
  std::vector<std::string> environment;  // NAME=VALUE, complete
  std::optional<std::string> device;     // e.g. /dev/ttyUSB0; none: no private /dev
  std::string pty;                       // e.g. /dev/pts/5
  std::optional<FolderMount> folder;     // none and no device: no namespace at all
  bool output_to_errors = false;         // the program's standard output is our standard error
};

struct LaunchResult {
  pid_t pid = -1;         // the keeper (below), running; -1 when the program did not start
  int lifeline = -1;      // closing it ends the program and all it started; see PassSignal
  int exit_code = 0;      // when it did not start: 3 (no namespace), 126, 127 (exec failed)
  std::string error;      // why, for the user
  std::string isolation;  // how it runs: "user namespace", "mount namespace", "no namespace"
};

// Forks a keeper, builds the namespace in it, and has it start the program (PATH searched,
// descriptors 0-2 only). Returns once the program runs or has failed to start. The keeper is
// the program's parent and a subreaper, so every orphan the program leaves becomes its child;
// it passes on to the program the signals the supervisor gives it (PassSignal), and when the
// program ends, or the lifeline's other end closes because we are gone (even killed outright) or
// want it ended, it kills with SIGKILL all that is left below it and exits with the program's
// status (ExitStatus). The program dies with the keeper too (PR_SET_PDEATHSIG). Supervisor
// (supervise.h) is the usual way to use this.
LaunchResult LaunchProgram(const ProgramLaunch& launch);

// What PassSignal tells the keeper.
struct PassedSignal {
  int number;
  pid_t sender;  // who sent it to us (si_pid); our own pid for a stop of our own
};
// Has the keeper behind `lifeline` pass `signal_number`, which `sender` sent us, on to the
// program. The keeper is in the program's process group: a signal that reached that group
// (from `sender`, within 200 ms) reached the program already and is not passed on again, so the
// program gets each signal once, whether it was sent to us, to the group, or to both.
void PassSignal(int lifeline, int signal_number, pid_t sender);

// The tools' own variables (VORLEX_PORT, VORLEX_EDITION, VORLEX_SIM_LINK) are dropped from our
// environment, then `settings` (NAME, value) are added: what a program under test gets.
std::vector<std::string> EnvironmentWith(
    const std::vector<std::pair<std::string, std::string>>& settings);

// The COM name's device on this system ("COM33" -> "/dev/ttyUSB0"), or none.
std::optional<std::string> ComDevice(int number);

}  // namespace vorlex::launch
