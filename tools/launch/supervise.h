// A supervisor's side of the program it starts: the signals it takes and passes on, the grace
// period after a stop request, the program's end and the exit-status rule.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>

#include "private_dev.h"

namespace vorlex::launch {

// A program's end as a shell reports it: its exit code, or 128 + the signal that killed it.
int ExitStatus(int wait_status);

// Waits until `fd` is readable.
void WaitReadable(int fd);

// Owns the program a tool starts next to its reader, or stands for the tool alone. Construct
// it before any thread starts: it blocks every signal that ends a process by default and comes
// from outside (SIGHUP, SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGPIPE, SIGALRM, SIGTERM, SIGSTKFLT,
// SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO, SIGPWR, the real-time signals), and SIGCHLD, so
// that only its descriptor sees them. Faults of our own (SIGSEGV, SIGABRT, ...) still end us;
// the keeper then ends the program.
//
// A signal sent to us is passed on to the program once: a terminal's (from the kernel), and one
// that reached the program's process group too (see PassSignal), reached the program by itself.
// After a stop request (SIGHUP, SIGINT, SIGQUIT, SIGTERM sent to us, or Stop()) the program has
// kGrace to end before it and all it started get SIGKILL. Whatever ends us, even SIGKILL, ends the
// program and all it started (see LaunchProgram).
class Supervisor {
 public:
  static constexpr std::chrono::seconds kGrace{5};

  Supervisor();   // throws std::system_error
  ~Supervisor();  // ends the program at once (SIGKILL to all it started) and reaps it
  Supervisor(const Supervisor&) = delete;
  Supervisor& operator=(const Supervisor&) = delete;

  // Starts the program; when it cannot, the result says why (pid -1). One program at a time.
  LaunchResult Start(const ProgramLaunch& launch);

  // Readable whenever Handle() has something to do: poll it beside your own descriptors.
  int fd() const { return events_; }
  // Passes on the signals that came, ends the program when its grace period is over, and
  // once the program has ended returns its ExitStatus. Without a program, the first signal
  // returns 0: the tool just ends.
  std::optional<int> Handle();
  // Handle() until the end.
  int Wait();
  // Asks the program to stop: SIGTERM, then SIGKILL after the grace period.
  void Stop();

 private:
  void PassOn(int signal_number, pid_t sender);
  void EndNow();

  int signals_ = -1, timer_ = -1, events_ = -1;
  pid_t keeper_ = -1;
  int lifeline_ = -1;
  bool stopping_ = false;
  std::optional<int> ended_;
};

}  // namespace vorlex::launch
