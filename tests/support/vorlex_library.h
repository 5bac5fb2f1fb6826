// Both built editions, loaded side by side with dlopen and driven through the exports they
// offer by name, exactly as an application finds them.
#pragma once

#include <dlfcn.h>

#include <stdexcept>
#include <string>

#include "vorlex_display.h"
#include "vorlex_epurse.h"

namespace vorlex::testing {

enum class Edition { kEpurse, kDisplay };

inline const char* NameOf(Edition edition) {
  return edition == Edition::kEpurse ? "epurse" : "display";
}

#define VORLEX_FOR_EACH_COMMON_EXPORT(X)                                                       \
  X(Open_Reader)                                                                               \
  X(Close_Reader)                                                                              \
  X(BELL_BEEP) X(GET_HARDWARE_VER) X(GET_SOFTWARE_VER) X(REQ_14443_CARD) X(ATS_14443_CARD)     \
      X(MIFS_AUTH) X(MIFS_READ) X(MIFS_WRITE) X(MIFS_HALT) X(CPUCARD_APDU) X(SAMCAR1_POWER_ON) \
          X(SAMCAR1_POWER_OFF) X(SAMCAR1_APDU) X(SAMCAR2_POWER_ON) X(SAMCAR2_POWER_OFF)        \
              X(SAMCAR2_APDU) X(REQ_RFSIM_CARD) X(RFSIM_HALT) X(RFSIMCARD_APDU)
#define VORLEX_FOR_EACH_EPURSE_EXPORT(X)                                                     \
  X(CPU_PBOC_INIT_MODULE)                                                                    \
  X(CPU_PBOC_REQA_CARD)                                                                      \
  X(CPU_PBOC_PURCHASE) X(CPU_PBOC_GET_BALANCE) X(CPU_PBOC_GET_CARDINFO) X(RFSIM_INIT_MODULE) \
      X(RFSIM_REQA_CARD) X(RFSIM_PURCHASE) X(RFSIM_GET_BALANCE) X(RFSIM_GET_CARDINFO)
#define VORLEX_FOR_EACH_DISPLAY_EXPORT(X) X(LED_DISPLAY)

// One edition's exports. Those the edition lacks stay null.
class VorlexLibrary {
 public:
  explicit VorlexLibrary(Edition edition) : edition_(edition) {
    const char* path = edition == Edition::kEpurse ? VORLEX_EPURSE_LIBRARY : VORLEX_DISPLAY_LIBRARY;
    handle_ = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) throw std::runtime_error(std::string("dlopen: ") + dlerror());
#define VORLEX_FIND(name) name = reinterpret_cast<decltype(&::name)>(dlsym(handle_, #name));
    VORLEX_FOR_EACH_COMMON_EXPORT(VORLEX_FIND)
    VORLEX_FOR_EACH_EPURSE_EXPORT(VORLEX_FIND)
    VORLEX_FOR_EACH_DISPLAY_EXPORT(VORLEX_FIND)
#undef VORLEX_FIND
  }
  VorlexLibrary(const VorlexLibrary&) = delete;
  VorlexLibrary& operator=(const VorlexLibrary&) = delete;

  Edition edition() const { return edition_; }
  void* Find(const char* name) const { return dlsym(handle_, name); }

#define VORLEX_MEMBER(name) decltype(&::name) name = nullptr;
  VORLEX_FOR_EACH_COMMON_EXPORT(VORLEX_MEMBER)
  VORLEX_FOR_EACH_EPURSE_EXPORT(VORLEX_MEMBER)
  VORLEX_FOR_EACH_DISPLAY_EXPORT(VORLEX_MEMBER)
#undef VORLEX_MEMBER

 private:
  Edition edition_;
  void* handle_ = nullptr;  // kept loaded for the whole test run
};

// Loaded once per test program.
inline const VorlexLibrary& Library(Edition edition) {
  static const VorlexLibrary epurse(Edition::kEpurse);
  static const VorlexLibrary display(Edition::kDisplay);
  return edition == Edition::kEpurse ? epurse : display;
}

}  // namespace vorlex::testing
