// One edition of the library, loaded at run time, and the reader port opened through it.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include "vorlex_display.h"
#include "vorlex_epurse.h"

namespace vorlex::cli {

enum class Edition { kEpurse, kDisplay };
const char* NameOf(Edition edition);

// Setup problems: no library, no port. The tool exits with 3.
struct SetupError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

#define VORLEX_CLI_EXPORTS(X)                                                                      \
  X(Open_Reader)                                                                                   \
  X(Close_Reader)                                                                                  \
  X(BELL_BEEP)                                                                                     \
  X(GET_HARDWARE_VER)                                                                              \
  X(GET_SOFTWARE_VER) X(REQ_14443_CARD) X(ATS_14443_CARD) X(MIFS_AUTH) X(MIFS_READ) X(MIFS_WRITE)  \
      X(MIFS_HALT) X(CPUCARD_APDU) X(SAMCAR1_POWER_ON) X(SAMCAR1_POWER_OFF) X(SAMCAR1_APDU)        \
          X(SAMCAR2_POWER_ON) X(SAMCAR2_POWER_OFF) X(SAMCAR2_APDU) X(REQ_RFSIM_CARD) X(RFSIM_HALT) \
              X(RFSIMCARD_APDU) X(LED_DISPLAY) X(CPU_PBOC_INIT_MODULE) X(CPU_PBOC_REQA_CARD)       \
                  X(CPU_PBOC_PURCHASE) X(CPU_PBOC_GET_BALANCE) X(CPU_PBOC_GET_CARDINFO)            \
                      X(RFSIM_INIT_MODULE) X(RFSIM_REQA_CARD) X(RFSIM_PURCHASE)                    \
                          X(RFSIM_GET_BALANCE) X(RFSIM_GET_CARDINFO)

class EditionLibrary {
 public:
  // `path` empty: the edition's library beside this program (build tree or install prefix).
  // Stays loaded until the process ends.
  EditionLibrary(Edition edition, const std::string& path);
  EditionLibrary(const EditionLibrary&) = delete;
  EditionLibrary& operator=(const EditionLibrary&) = delete;

  Edition edition() const { return edition_; }
  const std::string& path() const { return path_; }

  // The exports; null where this edition has none.
#define VORLEX_CLI_MEMBER(name) decltype(&::name) name = nullptr;
  VORLEX_CLI_EXPORTS(VORLEX_CLI_MEMBER)
#undef VORLEX_CLI_MEMBER

 private:
  Edition edition_;
  std::string path_;
  void* handle_ = nullptr;
};

// Where the library of `edition` is looked for, in order, when no path is given.
std::string FindLibrary(Edition edition, const std::string& beside_library);

// The open reader. A COM name goes to the edition's own Open_Reader. A device path goes to the
// display edition's, which takes paths; the e-purse edition maps only COM names to devices, so
// for it the path is first turned back into its COM name (/dev/ttyS<n> is COM<n+1>, ttyUSB<n>
// COM<n+33>, ttyACM<n> COM<n+65>, symlinks resolved) and, where there is none (a pty, say), the
// port is opened by the display edition beside it: on Linux both take the same handle.
class Port {
 public:
  Port(const EditionLibrary& library, const std::string& name);
  ~Port();
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;

  ReaderHandle handle() const { return handle_; }
  // How it was opened: "COM35", "device path", "display edition's Open_Reader".
  const std::string& how() const { return how_; }

 private:
  std::unique_ptr<EditionLibrary> opener_;  // the display edition, when it opened the port
  decltype(&::Close_Reader) close_ = nullptr;
  ReaderHandle handle_ = nullptr;
  std::string how_;
};

// "COM35" for /dev/ttyUSB2 etc.; empty when the device has no COM name.
std::string ComNameOf(const std::string& device_path);

}  // namespace vorlex::cli
