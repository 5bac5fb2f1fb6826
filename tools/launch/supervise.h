// A supervisor's side of a program it started: the signals it takes, waiting for the program,
// and the exit-status rule.
#pragma once

#include <sys/types.h>

namespace vorlex::launch {

// Blocks the stop requests (SIGINT, SIGTERM, SIGHUP; SIGCHLD too with `with_children`) and
// returns a signalfd that reports them; -1 on failure. Call before any thread starts, so that
// only the signalfd sees them.
int StopSignals(bool with_children);

// Waits until `fd` is readable.
void WaitReadable(int fd);

// A program's end as a shell reports it: its exit code, or 128 + the signal that killed it.
int ExitStatus(int wait_status);

// Until the program ends; a stop request sent to us (not a terminal's, which reached the
// program with us already) is passed on to it. Returns its ExitStatus.
int WaitForProgram(pid_t pid, int signals);

}  // namespace vorlex::launch
