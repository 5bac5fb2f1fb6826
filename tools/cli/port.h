// The reader's port: opened through an edition, and when that fails, why.
#pragma once

#include <memory>
#include <string>

#include "edition_library.h"

namespace vorlex::cli {

// "COM35" for /dev/ttyUSB2 (symlinks resolved); empty when the device has no COM name.
std::string ComNameOf(const std::string& device_path);
// "/dev/ttyS2" for "COM3"; empty for names that are not COMn or have no device.
std::string DeviceOfComName(const std::string& com_name);

// Why `name` cannot be opened, as the system says it: the device is looked at directly (stat,
// a non-blocking open, the lock, the terminal check). Nothing is written to it.
std::string DiagnoseOpenFailure(const std::string& name);

// What to do about a device this user may not open, from its owner, group and mode: join the
// group where the group may read and write it, else who owns it ("root", "uucp").
std::string PermissionAdvice(const std::string& device, unsigned owner_uid, unsigned group_gid,
                             unsigned mode);

// The device behind `name` (a path, or the one a COM name stands for) is no longer there: a USB
// adapter unplugged, a closed pty. Seen without an exchange.
bool PortGone(const std::string& name);

// The open reader. A COM name goes to the edition's own Open_Reader. A device path goes to the
// display edition's, which takes paths; the e-purse edition maps only COM names to devices, so
// for it the path is turned back into its COM name and, where there is none (a pty, say), the
// port is opened by the display edition beside it: on Linux both take the same handle.
class Port {
 public:
  Port(const EditionLibrary& library, const std::string& name);  // throws SetupError
  ~Port();
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;

  ReaderHandle handle() const { return handle_; }
  const std::string& name() const { return name_; }
  // The name the library was given ("COM35" or the path), and by which edition.
  const std::string& opened_as() const { return opened_as_; }
  const char* opened_by() const { return opened_by_; }

 private:
  std::unique_ptr<EditionLibrary> opener_;  // the display edition, when it opened the port
  decltype(&::Close_Reader) close_ = nullptr;
  ReaderHandle handle_ = nullptr;
  std::string name_, opened_as_;
  const char* opened_by_ = "";
};

}  // namespace vorlex::cli
