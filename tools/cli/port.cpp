#include "port.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "com_port_map.h"

namespace vorlex::cli {
namespace {

namespace fs = std::filesystem;

// The number after "COM" (upper or lower case), or 0.
int ComNumber(const std::string& name) {
  if (name.size() < 4) return 0;
  for (int i = 0; i < 3; ++i) {
    if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) return 0;
  }
  int number = 0;
  const auto [end, error] = std::from_chars(name.data() + 3, name.data() + name.size(), number);
  return error == std::errc() && end == name.data() + name.size() ? number : 0;
}

// Who holds the UUCP lock file of `device`, if anyone does.
std::string LockHolder(const std::string& device) {
  const std::string base = fs::path(device).filename().string();
  for (const char* folder : {"/run/lock/", "/var/lock/"}) {
    std::ifstream lock(folder + std::string("LCK..") + base);
    long pid = 0;
    if (lock >> pid)
      return " (lock file " + std::string(folder) + "LCK.." + base + ", process " +
             std::to_string(pid) + ")";
  }
  return "";
}

std::string DiagnoseDevice(const std::string& device) {
  struct stat info {};
  if (::stat(device.c_str(), &info) != 0) {
    if (errno == ENOENT) {
      return "no such file: nothing is plugged in as " + device +
             " (see `vorlex ports` for the serial ports there are)";
    }
    return std::string(std::strerror(errno)) + " (" + device + ")";
  }
  if (!S_ISCHR(info.st_mode)) return device + " is not a serial device (not a character device)";
  const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    if (error == EACCES || error == EPERM) {
      return PermissionAdvice(device, info.st_uid, info.st_gid, info.st_mode);
    }
    if (error == EBUSY)
      return device + " is busy: another program has it open" + LockHolder(device);
    if (error == ENXIO || error == ENODEV) return device + ": no device behind it (unplugged?)";
    return std::string(std::strerror(error)) + " (" + device + ")";
  }
  std::string why;
  termios line{};
  if (::tcgetattr(fd, &line) != 0) {
    why = device + " is not a serial device (not a terminal)";
  } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    why = device + " is locked by another program" + LockHolder(device);
  } else {
    ::flock(fd, LOCK_UN);
    why = device + " opens here but the library could not set it up as a serial port";
  }
  ::close(fd);
  return why;
}

std::string UserName(unsigned uid) {
  const passwd* entry = ::getpwuid(uid);
  return entry != nullptr ? entry->pw_name : std::to_string(uid);
}

std::string GroupName(unsigned gid) {
  const group* entry = ::getgrgid(gid);
  return entry != nullptr ? entry->gr_name : std::to_string(gid);
}

}  // namespace

std::string PermissionAdvice(const std::string& device, unsigned owner_uid, unsigned group_gid,
                             unsigned mode) {
  const std::string owner = UserName(owner_uid), group = GroupName(group_gid);
  const std::string found =
      "permission denied on " + device + " (owner " + owner + ", group " + group + ")";
  if ((mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP) && group_gid != 0) {
    return found + ": join the group " + group + " (sudo usermod -aG " + group +
           " $USER, then log in again)";
  }
  return found + ": only " + owner + " may open it (its group may not read and write it): run as " +
         owner + " or change the device's permissions";
}

std::string ComNameOf(const std::string& device_path) {
  std::error_code error;
  fs::path real = fs::canonical(device_path, error);
  const std::string text = error ? device_path : real.string();
  for (const link::ComPortRange& range : link::kComPortRanges) {
    const std::size_t prefix = std::strlen(range.prefix);
    if (text.compare(0, prefix, range.prefix) != 0 || text.size() == prefix) continue;
    int number = -1;
    const auto [end, failed] =
        std::from_chars(text.data() + prefix, text.data() + text.size(), number);
    if (failed != std::errc() || end != text.data() + text.size() ||
        number >= link::kComPortsPerRange ||
        !std::isdigit(static_cast<unsigned char>(text[prefix]))) {
      return "";
    }
    return "COM" + std::to_string(range.first + number);
  }
  return "";
}

std::string DeviceOfComName(const std::string& com_name) {
  const int number = ComNumber(com_name);
  const link::ComPortRange* range = link::ComPortRangeOf(number);
  if (range == nullptr) return "";
  return range->prefix + std::to_string(number - range->first);
}

std::string DiagnoseOpenFailure(const std::string& name) {
  const int number = ComNumber(name);
  if (number == 0) {
    if (name.rfind("/", 0) != 0 && name.rfind(".", 0) != 0) {
      return "\"" + name + "\" is neither COMn nor a device path such as /dev/ttyUSB0";
    }
    return DiagnoseDevice(name);
  }
  if (name.compare(0, 3, "COM") != 0) {
    return "\"" + name + "\": port names are upper case, COM" + std::to_string(number);
  }
  const std::string device = DeviceOfComName(name);
  if (device.empty()) return name + " stands for no device here (COM1 to COM96 do)";
  return name + " stands for " + device + ": " + DiagnoseDevice(device);
}

bool PortGone(const std::string& name) {
  const std::string device = ComNumber(name) != 0 ? DeviceOfComName(name) : name;
  struct stat info {};
  return !device.empty() && ::stat(device.c_str(), &info) != 0 && errno == ENOENT;
}

Port::Port(const EditionLibrary& library, const std::string& name) : name_(name) {
  close_ = library.Close_Reader;
  opened_by_ = NameOf(library.edition());
  const bool com_name = ComNumber(name) != 0;
  if (library.edition() == Edition::kDisplay) {
    // The display edition opens what it is given: a COM name is turned into its device here.
    const std::string device = com_name ? DeviceOfComName(name) : name;
    opened_as_ = device.empty() ? name : device;
    handle_ = library.Open_Reader(opened_as_.c_str());
  } else if (com_name) {
    opened_as_ = name;
    handle_ = library.Open_Reader(name.c_str());
  } else if (const std::string com = ComNameOf(name); !com.empty()) {
    opened_as_ = com;
    handle_ = library.Open_Reader(com.c_str());
  } else {
    opener_ = std::make_unique<EditionLibrary>(Edition::kDisplay,
                                               FindLibrary(Edition::kDisplay, library.path()));
    opened_as_ = name;
    opened_by_ = NameOf(Edition::kDisplay);
    handle_ = opener_->Open_Reader(name.c_str());
    close_ = opener_->Close_Reader;
  }
  if (handle_ == nullptr) {
    throw SetupError("cannot open port " + name + ": " + DiagnoseOpenFailure(name));
  }
}

Port::~Port() {
  if (handle_ != nullptr) close_(handle_);
}

}  // namespace vorlex::cli
