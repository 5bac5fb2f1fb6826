#include "supervise.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

namespace vorlex::launch {

int StopSignals(bool with_children) {
  sigset_t signals;
  sigemptyset(&signals);
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, signal_number);
  if (with_children) sigaddset(&signals, SIGCHLD);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  return ::signalfd(-1, &signals, SFD_CLOEXEC);
}

void WaitReadable(int fd) {
  pollfd entry{fd, POLLIN, 0};
  while (::poll(&entry, 1, -1) < 0 && errno == EINTR) {
  }
}

int ExitStatus(int wait_status) {
  return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
}

int WaitForProgram(pid_t pid, int signals) {
  for (;;) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) return ExitStatus(status);
    WaitReadable(signals);
    signalfd_siginfo info{};
    if (::read(signals, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) continue;
    // A terminal's Ctrl-C or hang-up (from the kernel) reached the program with us already.
    if (info.ssi_signo != SIGCHLD && info.ssi_code != SI_KERNEL) {
      ::kill(pid, static_cast<int>(info.ssi_signo));
    }
  }
}

}  // namespace vorlex::launch
