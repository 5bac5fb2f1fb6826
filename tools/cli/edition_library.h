// One edition of the library, loaded at run time.
#pragma once

#include <string>

#include "errors.h"
#include "vorlex_display.h"
#include "vorlex_epurse.h"

namespace vorlex::cli {

enum class Edition { kEpurse, kDisplay };
const char* NameOf(Edition edition);

#define VORLEX_CLI_EXPORTS(X)                                                              \
  X(Open_Reader)                                                                           \
  X(Close_Reader)                                                                          \
  X(BELL_BEEP)                                                                             \
  X(GET_HARDWARE_VER)                                                                      \
  X(GET_SOFTWARE_VER)                                                                      \
  X(REQ_14443_CARD)                                                                        \
  X(ATS_14443_CARD)                                                                        \
  X(MIFS_AUTH) X(MIFS_READ) X(MIFS_WRITE) X(MIFS_HALT) X(CPUCARD_APDU) X(SAMCAR1_POWER_ON) \
      X(SAMCAR1_POWER_OFF) X(SAMCAR1_APDU) X(SAMCAR2_POWER_ON) X(SAMCAR2_POWER_OFF)        \
          X(SAMCAR2_APDU) X(REQ_RFSIM_CARD) X(RFSIM_HALT) X(RFSIMCARD_APDU) X(LED_DISPLAY) \
              X(CPU_PBOC_INIT_MODULE) X(CPU_PBOC_REQA_CARD) X(CPU_PBOC_PURCHASE)           \
                  X(CPU_PBOC_GET_BALANCE) X(CPU_PBOC_GET_CARDINFO) X(RFSIM_INIT_MODULE)    \
                      X(RFSIM_REQA_CARD) X(RFSIM_PURCHASE) X(RFSIM_GET_BALANCE)            \
                          X(RFSIM_GET_CARDINFO)

class EditionLibrary {
 public:
  // `path` empty: the edition's library beside this program (build tree or install prefix).
  // Stays loaded until the process ends. Throws SetupError.
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

// Where the library of `edition` is, when no path is given: beside `beside_library` if given,
// then the install prefix, then the build tree; in each the versioned name before the plain one.
std::string FindLibrary(Edition edition, const std::string& beside_library);

}  // namespace vorlex::cli
