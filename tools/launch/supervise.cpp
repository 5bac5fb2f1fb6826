#include "supervise.h"

#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <initializer_list>
#include <system_error>

namespace vorlex::launch {
namespace {

sigset_t PassedOnSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  for (const int number : {SIGHUP, SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGPIPE, SIGALRM, SIGTERM,
                           SIGSTKFLT, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO, SIGPWR}) {
    sigaddset(&signals, number);
  }
  for (int number = SIGRTMIN; number <= SIGRTMAX; ++number) sigaddset(&signals, number);
  return signals;
}

bool IsStopRequest(int number) {
  return number == SIGHUP || number == SIGINT || number == SIGQUIT || number == SIGTERM;
}

[[noreturn]] void Fail(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

int ExitStatus(int wait_status) {
  return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
}

void WaitReadable(int fd) {
  pollfd entry{fd, POLLIN, 0};
  while (::poll(&entry, 1, -1) < 0 && errno == EINTR) {
  }
}

Supervisor::Supervisor() {
  sigset_t signals = PassedOnSignals();
  sigaddset(&signals, SIGCHLD);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signals_ = ::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signals_ < 0) Fail("signalfd");
  timer_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  if (timer_ < 0) Fail("timerfd_create");
  events_ = ::epoll_create1(EPOLL_CLOEXEC);
  if (events_ < 0) Fail("epoll_create1");
  for (const int fd : {signals_, timer_}) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    if (::epoll_ctl(events_, EPOLL_CTL_ADD, fd, &event) != 0) Fail("epoll_ctl");
  }
}

Supervisor::~Supervisor() {
  if (keeper_ > 0) {
    EndNow();
    while (::waitpid(keeper_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  for (const int fd : {events_, timer_, signals_}) {
    if (fd >= 0) ::close(fd);
  }
}

LaunchResult Supervisor::Start(const ProgramLaunch& launch) {
  LaunchResult started = LaunchProgram(launch);
  keeper_ = started.pid;
  lifeline_ = started.lifeline;
  return started;
}

void Supervisor::PassOn(int signal_number, pid_t sender) {
  PassSignal(lifeline_, signal_number, sender);
  if (!IsStopRequest(signal_number) || stopping_) return;
  stopping_ = true;
  itimerspec grace{};
  grace.it_value.tv_sec = kGrace.count();
  ::timerfd_settime(timer_, 0, &grace, nullptr);
}

void Supervisor::Stop() {
  if (keeper_ > 0) PassOn(SIGTERM, ::getpid());
}

void Supervisor::EndNow() {
  if (lifeline_ >= 0) ::close(lifeline_);
  lifeline_ = -1;
}

std::optional<int> Supervisor::Handle() {
  signalfd_siginfo info{};
  while (::read(signals_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    const int number = static_cast<int>(info.ssi_signo);
    if (number == SIGCHLD) continue;
    if (keeper_ < 0) {
      if (!ended_) ended_ = 0;  // nothing to supervise: the tool just ends
      continue;
    }
    // A terminal's Ctrl-C or hang-up (from the kernel) reached the program with us already.
    if (info.ssi_code != SI_KERNEL) PassOn(number, static_cast<pid_t>(info.ssi_pid));
  }
  std::uint64_t expirations = 0;
  if (::read(timer_, &expirations, sizeof expirations) == sizeof expirations) EndNow();
  int status = 0;
  if (keeper_ > 0 && ::waitpid(keeper_, &status, WNOHANG) == keeper_) {
    keeper_ = -1;
    EndNow();
    ended_ = ExitStatus(status);
  }
  return ended_;
}

int Supervisor::Wait() {
  for (;;) {
    if (const std::optional<int> status = Handle()) return *status;
    WaitReadable(events_);
  }
}

}  // namespace vorlex::launch
