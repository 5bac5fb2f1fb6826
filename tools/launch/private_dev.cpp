#include "private_dev.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string_view>
#include <system_error>

#include "com_port_map.h"

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
  int isolation;    // 0 none, 1 mount namespace, 2 user namespace
  int user_errno;   // unshare of a user namespace (0: not tried)
  int mount_errno;  // unshare of a plain mount namespace (0: not tried)
  int errno_value;  // the failed step's
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

[[noreturn]] void Child(const ProgramLaunch& launch, const std::vector<Step>& steps, int old_dev,
                        char* const* argv, char* const* envp, const char* uid_map,
                        const char* gid_map, int report) {
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ChildFailure failure{};
  if (launch.device) {
    if (!EnterNamespace(failure, uid_map, gid_map) || !BuildDev(failure, steps, old_dev)) {
      [[maybe_unused]] const ssize_t n = ::write(report, &failure, sizeof failure);
      ::_exit(failure.exit_code);
    }
  }
  [[maybe_unused]] const ssize_t ready = ::write(report, &failure, sizeof failure);
  ::execvpe(argv[0], argv, envp);
  Fail(failure, errno == ENOENT ? 127 : 126, "cannot run ", argv[0]);
  [[maybe_unused]] const ssize_t n = ::write(report, &failure, sizeof failure);
  ::_exit(failure.exit_code);
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
  if (failure.exit_code != 3)
    return failure.step + std::string(": ") + std::strerror(failure.errno_value);
  std::string text = "cannot give the program a private /dev with " + *launch.device + ": ";
  if (failure.user_errno != 0) {
    if (failure.mount_errno != 0) {
      text += std::string("no mount namespace as root (") + std::strerror(failure.mount_errno) +
              ", CAP_SYS_ADMIN missing?), and ";
    }
    return text + WhyNoUserNamespace(failure.user_errno) +
           ". Without --com the program gets the pty's path and needs no namespace.";
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
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text = *entry;
    const bool replaced = std::any_of(settings.begin(), settings.end(), [&](const auto& setting) {
      return text.starts_with(setting.first + "=");
    });
    if (!replaced) environment.emplace_back(text);
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
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0)
    throw std::system_error(errno, std::generic_category(), "pipe");
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(report[0]);
    Child(launch, steps, old_dev, argv.data(), envp.data(), uid_map.c_str(), gid_map.c_str(),
          report[1]);
  }
  const int fork_error = errno;
  ::close(report[1]);
  if (old_dev >= 0) ::close(old_dev);
  if (pid < 0) {
    ::close(report[0]);
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
    ::waitpid(pid, nullptr, 0);
    result.exit_code = failure.exit_code;
    result.error = Describe(failure, launch);
    return result;
  }
  result.pid = pid;
  constexpr const char* kIsolation[] = {"no namespace", "a mount namespace", "a user namespace"};
  result.isolation = kIsolation[failure.isolation];
  return result;
}

}  // namespace vorlex::launch
