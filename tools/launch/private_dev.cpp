#include "private_dev.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string_view>
#include <system_error>

#include "com_port_map.h"
#include "supervise.h"

extern char** environ;

namespace vorlex::launch {
namespace {

// The nodes a program expects on /dev, taken over from the machine's /dev as they are there.
// /dev/pts and /dev/ptmx are made apart (see MountPtys).
constexpr std::array kUsualNodes = {"null", "zero", "full",   "random", "urandom",
                                    "tty",  "shm",  "mqueue", "log"};
constexpr std::array kStandardLinks = {
    std::pair{"fd", "/proc/self/fd"}, std::pair{"stdin", "/proc/self/fd/0"},
    std::pair{"stdout", "/proc/self/fd/1"}, std::pair{"stderr", "/proc/self/fd/2"}};

// One step of building the private /dev, prepared before the fork: the child only makes system
// calls (the parent has threads, so the child must not allocate).
struct Step {
  enum Kind { kBindFile, kBindDirectory, kSymlink } kind;
  std::string source;  // bind: the path to mount; symlink: the link's target
  std::string target;  // a path under the new /dev
};

// What the child reports through the pipe: once when the namespace is ready (exit_code 0), and
// once more only if it cannot go on; the pipe closes on a successful exec.
struct ChildFailure {
  int exit_code;
  int isolation;     // 0 none, 1 mount namespace, 2 user namespace
  int user_errno;    // unshare of a user namespace (0: not tried)
  int mount_errno;   // unshare of a plain mount namespace (0: not tried)
  int errno_value;   // the failed step's
  int building_dev;  // the step was one of the private /dev's
  char step[160];
};

std::vector<Step> PlanDev(int old_dev, const ProgramLaunch& launch) {
  const std::string old = "/proc/self/fd/" + std::to_string(old_dev) + "/";
  std::vector<Step> steps;
  for (const char* name : kUsualNodes) {
    const std::string host = std::string("/dev/") + name;
    struct stat info {};
    if (::lstat(host.c_str(), &info) != 0) continue;
    if (S_ISLNK(info.st_mode)) {
      std::array<char, 4096> target{};
      const ssize_t n = ::readlink(host.c_str(), target.data(), target.size() - 1);
      if (n > 0) steps.push_back({Step::kSymlink, std::string(target.data(), n), host});
    } else if (S_ISDIR(info.st_mode)) {
      steps.push_back({Step::kBindDirectory, old + name, host});
    } else {
      steps.push_back({Step::kBindFile, old + name, host});
    }
  }
  for (const auto& [name, target] : kStandardLinks) {
    steps.push_back({Step::kSymlink, target, std::string("/dev/") + name});
  }
  // The simulator's pty as the COM port's device, reached through the machine's /dev like the
  // nodes above.
  const bool under_dev = launch.pty.rfind("/dev/", 0) == 0;
  steps.push_back(
      {Step::kBindFile, under_dev ? old + launch.pty.substr(5) : launch.pty, *launch.device});
  return steps;
}

// Child side from here: system calls only. Records why the child cannot go on.
void Fail(ChildFailure& failure, int code, const char* what, const char* path) {
  failure.exit_code = code;
  failure.errno_value = errno;
  std::strncpy(failure.step, what, sizeof failure.step - 1);
  const std::size_t used = std::strlen(failure.step);
  if (path != nullptr) std::strncat(failure.step, path, sizeof failure.step - 1 - used);
}

bool WriteFile(const char* path, const char* text) {
  const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const auto length = static_cast<ssize_t>(std::strlen(text));
  const bool ok = ::write(fd, text, static_cast<std::size_t>(length)) == length;
  ::close(fd);
  return ok;
}

// A user namespace in which we keep our own ids (files the program makes stay ours), or, as
// root, a plain mount namespace. Root tries the user namespace too where a container forbids
// the plain one.
bool EnterNamespace(ChildFailure& failure, const char* uid_map, const char* gid_map) {
  if (::geteuid() == 0) {
    failure.isolation = 1;
    if (::unshare(CLONE_NEWNS) == 0) return true;
    failure.mount_errno = errno;
  }
  failure.isolation = 2;
  if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
    failure.user_errno = errno;
    Fail(failure, 3, "unshare", nullptr);
    return false;
  }
  if (!WriteFile("/proc/self/setgroups", "deny")) {
    Fail(failure, 3, "write /proc/self/setgroups", nullptr);
    return false;
  }
  if (!WriteFile("/proc/self/uid_map", uid_map) || !WriteFile("/proc/self/gid_map", gid_map)) {
    Fail(failure, 3, "write the user namespace's id map", nullptr);
    return false;
  }
  return true;
}

// New ptys must work inside: the kernel finds the pty file system of /dev/ptmx in the "pts"
// beside it, which a bind-mounted ptmx node does not have, so ptmx is the link pts/ptmx. As root
// the machine's /dev/pts is kept (its terminals keep their names); in a user namespace its ptmx
// is usually closed to ordinary users, so the program gets a pty instance of its own.
bool MountPtys(ChildFailure& failure, int old_dev) {
  if (::mkdir("/dev/pts", 0755) != 0) {
    Fail(failure, 3, "mkdir ", "/dev/pts");
    return false;
  }
  char host_pts[64];
  std::snprintf(host_pts, sizeof host_pts, "/proc/self/fd/%d/pts", old_dev);
  const bool mounted = failure.isolation == 1
                           ? ::mount(host_pts, "/dev/pts", nullptr, MS_BIND | MS_REC, nullptr) == 0
                           : ::mount("devpts", "/dev/pts", "devpts", MS_NOSUID | MS_NOEXEC,
                                     "newinstance,ptmxmode=0666,mode=0620") == 0;
  if (!mounted) {
    Fail(failure, 3, "mount ", "/dev/pts");
    return false;
  }
  if (::symlink("pts/ptmx", "/dev/ptmx") != 0) {
    Fail(failure, 3, "symlink ", "/dev/ptmx");
    return false;
  }
  return true;
}

bool BuildDev(ChildFailure& failure, const std::vector<Step>& steps, int old_dev) {
  // Nothing mounted from here on may reach the machine's namespace.
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    Fail(failure, 3, "make the mounts private", nullptr);
    return false;
  }
  // The steps reach the machine's /dev through descriptor old_dev, which still points into the
  // namespace we left: bind mounts need its copy in ours.
  const int here = ::open("/dev", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (here < 0 || ::dup3(here, old_dev, O_CLOEXEC) < 0) {
    Fail(failure, 3, "open /dev", nullptr);
    return false;
  }
  ::close(here);
  if (::mount("vorlex-dev", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=755,size=1m") != 0) {
    Fail(failure, 3, "mount a tmpfs on /dev", nullptr);
    return false;
  }
  for (const Step& step : steps) {
    const char* target = step.target.c_str();
    switch (step.kind) {
      case Step::kSymlink:
        if (::symlink(step.source.c_str(), target) != 0) {
          Fail(failure, 3, "symlink ", target);
          return false;
        }
        continue;
      case Step::kBindDirectory:
        if (::mkdir(target, 0755) != 0) {
          Fail(failure, 3, "mkdir ", target);
          return false;
        }
        break;
      case Step::kBindFile: {
        const int fd = ::open(target, O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
        if (fd < 0) {
          Fail(failure, 3, "create ", target);
          return false;
        }
        ::close(fd);
        break;
      }
    }
    if (::mount(step.source.c_str(), target, nullptr, MS_BIND | MS_REC, nullptr) != 0) {
      Fail(failure, 3, "bind-mount onto ", target);
      return false;
    }
  }
  return MountPtys(failure, old_dev);
}

// The folder on its target, in a namespace whose mounts stay its own.
bool MountFolder(ChildFailure& failure, const FolderMount& folder, bool mounts_private) {
  if (!mounts_private && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    Fail(failure, 3, "make the mounts private", nullptr);
    return false;
  }
  const char* target = folder.target.c_str();
  struct stat info {};
  if (::stat(target, &info) != 0) {
    char parent[4096];
    std::strncpy(parent, target, sizeof parent - 1);
    parent[sizeof parent - 1] = '\0';
    char* slash = std::strrchr(parent, '/');
    if (slash == nullptr || slash == parent) {
      Fail(failure, 3, "no folder to mount on at ", target);
      return false;
    }
    *slash = '\0';
    if (::mount("vorlex-run", parent, "tmpfs", MS_NOSUID | MS_NODEV, "mode=755,size=1m") != 0) {
      Fail(failure, 3, "mount a tmpfs on ", parent);
      return false;
    }
    if (::mkdir(target, 0755) != 0) {
      Fail(failure, 3, "mkdir ", target);
      return false;
    }
  }
  if (::mount(folder.source.c_str(), target, nullptr, MS_BIND, nullptr) != 0) {
    Fail(failure, 3, "bind-mount onto ", target);
    return false;
  }
  return true;
}

// Sends SIGKILL to every child of ours that the kernel lists; false when it cannot list them
// (no CONFIG_PROC_CHILDREN). Only numbers the buffer holds whole are taken.
bool KillChildren() {
  const int fd = ::open("/proc/thread-self/children", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[8192];
  const ssize_t got = ::read(fd, text, sizeof text);
  ::close(fd);
  if (got < 0) return false;
  pid_t pid = 0;
  for (ssize_t i = 0; i < got; ++i) {
    if (text[i] >= '0' && text[i] <= '9') {
      pid = pid * 10 + (text[i] - '0');
    } else {
      if (pid > 0) ::kill(pid, SIGKILL);
      pid = 0;
    }
  }
  return true;
}

// Kills what is left below the keeper (as a subreaper it inherits every orphan the program
// leaves) and reaps it all. Returns the program's wait status.
int EndEverything(pid_t program, int program_status, bool program_ended) {
  for (;;) {
    if (!KillChildren()) {
      // Without the list only the program itself can be found.
      if (!program_ended) {
        ::kill(program, SIGKILL);
        while (::waitpid(program, &program_status, 0) < 0 && errno == EINTR) {
        }
      }
      return program_status;
    }
    int status = 0;
    const pid_t pid = ::waitpid(-1, &status, 0);
    if (pid < 0 && errno == EINTR) continue;
    if (pid < 0) return program_status;  // nobody left
    if (pid == program) {
      program_status = status;
      program_ended = true;
    }
  }
}

// The keeper: the supervisor's child, in the program's namespaces, the program's parent. It
// takes the program's end and the supervisor's from the kernel, so that nothing the program
// started outlives either, even when the supervisor is killed outright. System calls only.
[[noreturn]] void Keep(char* const* argv, char* const* envp, bool output_to_errors, int report,
                       int lifeline, ChildFailure& failure) {
  sigset_t all;
  sigfillset(&all);
  ::sigprocmask(SIG_SETMASK, &all, nullptr);
  const int signals = ::signalfd(-1, &all, SFD_CLOEXEC);
  if (signals < 0 || ::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
    Fail(failure, 3, "signalfd or PR_SET_CHILD_SUBREAPER", nullptr);
    [[maybe_unused]] const ssize_t n = ::write(report, &failure, sizeof failure);
    ::_exit(failure.exit_code);
  }
  [[maybe_unused]] const ssize_t ready = ::write(report, &failure, sizeof failure);
  const pid_t keeper = ::getpid();
  const pid_t program = ::_Fork();
  if (program == 0) {
    // Dies with the keeper, should the keeper itself be killed outright.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != keeper) ::_exit(128 + SIGKILL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    // Descriptors 0, 1 and 2 only, whatever we inherited or a library left open.
    ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    if (output_to_errors) ::dup2(2, 1);
    ::execvpe(argv[0], argv, envp);
    Fail(failure, errno == ENOENT ? 127 : 126, "cannot run ", argv[0]);
    [[maybe_unused]] const ssize_t n = ::write(report, &failure, sizeof failure);
    ::_exit(failure.exit_code);
  }
  if (program < 0) {
    Fail(failure, 3, "fork", nullptr);
    [[maybe_unused]] const ssize_t n = ::write(report, &failure, sizeof failure);
    ::_exit(failure.exit_code);
  }
  ::close(report);
  // A signal the supervisor passes on may have reached the program's process group as well
  // (`kill -INT -PGID`; `timeout`, which signals the supervisor and then its group): the keeper,
  // a member of that group, gets such a signal too. It is passed on only when the same signal
  // from the same sender did not reach the keeper within kSameSignal of the supervisor's
  // message, so that the program gets each signal once. The keeper passes on nothing it got
  // itself: whatever reached its process group reached the program with it.
  constexpr std::int64_t kSameSignal = 200'000'000;  // ns
  const pid_t supervisor = ::getppid();
  struct Signal {
    int number = 0;
    pid_t sender = 0;
    std::int64_t at = 0;  // received (direct ones) or due to be passed on (the supervisor's)
  };
  std::array<Signal, 16> received{}, to_pass{};
  std::size_t next_received = 0;
  const auto now = [] {
    timespec time{};
    ::clock_gettime(CLOCK_MONOTONIC, &time);
    return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
  };
  for (;;) {
    int timeout_ms = -1;
    for (const Signal& pass : to_pass) {
      if (pass.number == 0) continue;
      const std::int64_t wait = std::max<std::int64_t>(0, (pass.at - now()) / 1'000'000 + 1);
      timeout_ms =
          timeout_ms < 0 ? static_cast<int>(wait) : std::min(timeout_ms, static_cast<int>(wait));
    }
    pollfd fds[2] = {{lifeline, POLLIN, 0}, {signals, POLLIN, 0}};
    if (::poll(fds, 2, timeout_ms) < 0) continue;
    if (fds[0].revents != 0) {
      PassedSignal message{};
      const ssize_t got = ::recv(lifeline, &message, sizeof message, MSG_DONTWAIT);
      // The supervisor is gone, or wants it all ended now: its end of the lifeline closed.
      if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
        ::_exit(ExitStatus(EndEverything(program, 0, false)));
      }
      if (got == static_cast<ssize_t>(sizeof message)) {
        bool reached = false;  // the same signal from the same sender reached the group
        for (const Signal& direct : received) {
          reached =
              reached || (direct.number == message.number && direct.sender == message.sender &&
                          now() - direct.at <= kSameSignal);
        }
        Signal* free = nullptr;
        for (Signal& pass : to_pass) {
          if (pass.number == 0) free = &pass;
        }
        if (reached) {
          // The program has it already.
        } else if (message.sender == supervisor || free == nullptr) {
          ::kill(program, message.number);  // the supervisor's own stop was sent to nobody else
        } else {
          *free = {message.number, message.sender, now() + kSameSignal};
        }
      }
    }
    signalfd_siginfo info{};
    if (fds[1].revents != 0 &&
        ::read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      const int number = static_cast<int>(info.ssi_signo);
      if (number == SIGCHLD) {
        int status = 0;
        pid_t pid;
        while ((pid = ::waitpid(-1, &status, WNOHANG)) > 0) {
          if (pid == program) ::_exit(ExitStatus(EndEverything(program, status, true)));
        }
      } else {
        const auto sender = static_cast<pid_t>(info.ssi_pid);
        // The supervisor may also signal the keeper itself: that is for the program alone.
        if (sender == supervisor && info.ssi_code != SI_KERNEL) ::kill(program, number);
        received[next_received++ % received.size()] = {number, sender, now()};
        for (Signal& pass : to_pass) {
          if (pass.number == number && pass.sender == sender) pass = {};
        }
      }
    }
    for (Signal& pass : to_pass) {
      if (pass.number != 0 && pass.at <= now()) {
        ::kill(program, pass.number);
        pass = {};
      }
    }
  }
}

// Closes every descriptor from 3 up but the given ones (-1: none).
void CloseAllBut(std::array<int, 3> keep) {
  std::sort(keep.begin(), keep.end());
  unsigned from = 3;
  for (const int fd : keep) {
    if (fd < static_cast<int>(from)) continue;
    if (static_cast<unsigned>(fd) > from) ::close_range(from, static_cast<unsigned>(fd) - 1, 0);
    from = static_cast<unsigned>(fd) + 1;
  }
  ::close_range(from, ~0U, 0);
}

[[noreturn]] void Child(const ProgramLaunch& launch, const std::vector<Step>& steps, int old_dev,
                        char* const* argv, char* const* envp, const char* uid_map,
                        const char* gid_map, int report, int lifeline) {
  ChildFailure failure{};
  // Nothing of the supervisor's stays open here: a descriptor held by the keeper would
  // outlive the supervisor (its end of another keeper's lifeline, a pty, a log).
  CloseAllBut({report, lifeline, old_dev});
  if (launch.device || launch.folder) {
    failure.building_dev = 1;
    if (!EnterNamespace(failure, uid_map, gid_map) ||
        (launch.device && !BuildDev(failure, steps, old_dev)) ||
        (launch.folder && !MountFolder(failure, *launch.folder, launch.device.has_value()))) {
      [[maybe_unused]] const ssize_t n = ::write(report, &failure, sizeof failure);
      ::_exit(failure.exit_code);
    }
    failure.building_dev = 0;
    ::close(old_dev);
  }
  Keep(argv, envp, launch.output_to_errors, report, lifeline, failure);
}

std::string ReadSetting(const char* path) {
  std::ifstream in(path);
  std::string value;
  if (!(in >> value)) return {};
  return value;
}

// Why the kernel refused a user namespace, in words a user can act on.
std::string WhyNoUserNamespace(int error) {
  const std::string clone = ReadSetting("/proc/sys/kernel/unprivileged_userns_clone");
  const std::string max = ReadSetting("/proc/sys/user/max_user_namespaces");
  const std::string apparmor =
      ReadSetting("/proc/sys/kernel/apparmor_restrict_unprivileged_userns");
  std::string why =
      std::string("the kernel refuses a user namespace (") + std::strerror(error) + ")";
  if (error == EINVAL) return why + ": this kernel has no user namespaces (CONFIG_USER_NS)";
  if (max == "0" || error == ENOSPC || error == EUSERS) {
    return why + ": /proc/sys/user/max_user_namespaces is " + (max.empty() ? "?" : max) +
           " or used up (as root: sysctl -w user.max_user_namespaces=10000)";
  }
  if (clone == "0") {
    return why +
           ": /proc/sys/kernel/unprivileged_userns_clone is 0 (as root: sysctl -w "
           "kernel.unprivileged_userns_clone=1)";
  }
  if (apparmor == "1") {
    return why +
           ": /proc/sys/kernel/apparmor_restrict_unprivileged_userns is 1 (as root: sysctl -w "
           "kernel.apparmor_restrict_unprivileged_userns=0, or an AppArmor profile for "
           "vorlex-sim)";
  }
  return why + ": not allowed here (a container's seccomp filter or security module)";
}

std::string Describe(const ChildFailure& failure, const ProgramLaunch& launch) {
  if (failure.exit_code != 3 || failure.building_dev == 0)
    return failure.step + std::string(": ") + std::strerror(failure.errno_value);
  std::string text = launch.device
                         ? "cannot give the program a private /dev with " + *launch.device + ": "
                         : "cannot give the program a private " + launch.folder->target + ": ";
  if (failure.user_errno != 0) {
    if (failure.mount_errno != 0) {
      text += std::string("no mount namespace as root (") + std::strerror(failure.mount_errno) +
              ", CAP_SYS_ADMIN missing?), and ";
    }
    return text + WhyNoUserNamespace(failure.user_errno) +
           (launch.device
                ? ". Without --com the program gets the pty's path and needs no namespace."
                : ".");
  }
  text += failure.step + std::string(": ") + std::strerror(failure.errno_value);
  // AppArmor's restriction lets the namespace be made and then refuses what is done in it.
  if (failure.isolation == 2 &&
      ReadSetting("/proc/sys/kernel/apparmor_restrict_unprivileged_userns") == "1") {
    text += " (" + WhyNoUserNamespace(failure.errno_value) + ")";
  }
  return text;
}

}  // namespace

std::vector<std::string> EnvironmentWith(
    const std::vector<std::pair<std::string, std::string>>& settings) {
  constexpr std::array<std::string_view, 3> kToolVariables = {
      "VORLEX_PORT=", "VORLEX_EDITION=", "VORLEX_SIM_LINK="};
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text = *entry;
    const bool ours = std::any_of(kToolVariables.begin(), kToolVariables.end(),
                                  [&](std::string_view name) { return text.starts_with(name); }) ||
                      std::any_of(settings.begin(), settings.end(), [&](const auto& setting) {
                        return text.starts_with(setting.first + "=");
                      });
    if (!ours) environment.emplace_back(text);
  }
  for (const auto& [name, value] : settings) environment.push_back(name + "=" + value);
  return environment;
}

std::optional<std::string> ComDevice(int number) {
  const link::ComPortRange* range = link::ComPortRangeOf(number);
  if (range == nullptr) return std::nullopt;
  return range->prefix + std::to_string(number - range->first);
}

LaunchResult LaunchProgram(const ProgramLaunch& launch) {
  LaunchResult result;
  // Everything the child needs, allocated here.
  std::vector<char*> argv, envp;
  std::vector<std::string> args = launch.argv, environment = launch.environment;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  const std::string uid_map =
      std::to_string(::geteuid()) + " " + std::to_string(::geteuid()) + " 1";
  const std::string gid_map =
      std::to_string(::getegid()) + " " + std::to_string(::getegid()) + " 1";

  int old_dev = -1;
  std::vector<Step> steps;
  if (launch.device) {
    old_dev = ::open("/dev", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (old_dev < 0) throw std::system_error(errno, std::generic_category(), "open /dev");
    steps = PlanDev(old_dev, launch);
  }
  int report[2], lifeline[2];
  if (::pipe2(report, O_CLOEXEC) != 0)
    throw std::system_error(errno, std::generic_category(), "pipe");
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, lifeline) != 0) {
    const int error = errno;
    ::close(report[0]);
    ::close(report[1]);
    throw std::system_error(error, std::generic_category(), "socketpair");
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    Child(launch, steps, old_dev, argv.data(), envp.data(), uid_map.c_str(), gid_map.c_str(),
          report[1], lifeline[0]);
  }
  const int fork_error = errno;
  ::close(report[1]);
  ::close(lifeline[0]);
  if (old_dev >= 0) ::close(old_dev);
  if (pid < 0) {
    ::close(report[0]);
    ::close(lifeline[1]);
    throw std::system_error(fork_error, std::generic_category(), "fork");
  }
  // The first report says how the namespace went; a second one only comes when exec failed.
  ChildFailure failure{};
  bool failed = false;
  for (int report_number = 0; report_number < 2 && !failed; ++report_number) {
    ssize_t got;
    while ((got = ::read(report[0], &failure, sizeof failure)) < 0 && errno == EINTR) {
    }
    if (got != static_cast<ssize_t>(sizeof failure)) break;
    failed = failure.exit_code != 0;
  }
  ::close(report[0]);
  if (failed) {
    ::close(lifeline[1]);
    ::waitpid(pid, nullptr, 0);
    result.exit_code = failure.exit_code;
    result.error = Describe(failure, launch);
    return result;
  }
  result.pid = pid;
  result.lifeline = lifeline[1];
  constexpr const char* kIsolation[] = {"no namespace", "a mount namespace", "a user namespace"};
  result.isolation = kIsolation[failure.isolation];
  return result;
}

void PassSignal(int lifeline, int signal_number, pid_t sender) {
  const PassedSignal message{signal_number, sender};
  [[maybe_unused]] const ssize_t sent =
      ::send(lifeline, &message, sizeof message, MSG_NOSIGNAL | MSG_DONTWAIT);
}

}  // namespace vorlex::launch
