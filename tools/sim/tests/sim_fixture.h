// The simulator's reader in-process on the engine's pty, opened through the library.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "scripted_reader.h"
#include "sim_responder.h"
#include "virtual_reader.h"
#include "vorlex_display.h"

namespace vorlex::sim::testing {

// The e-purse edition opens only COM names, so ptys are opened through the display edition's
// Open_Reader; both editions use the port handle alike. Loaded RTLD_LOCAL beside the e-purse
// edition this test links.
struct DisplayEdition {
  DisplayEdition() {
    handle = dlopen(VORLEX_DISPLAY_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) throw std::runtime_error(dlerror());
    open = reinterpret_cast<decltype(&::Open_Reader)>(dlsym(handle, "Open_Reader"));
    close = reinterpret_cast<decltype(&::Close_Reader)>(dlsym(handle, "Close_Reader"));
    led_display = reinterpret_cast<decltype(&::LED_DISPLAY)>(dlsym(handle, "LED_DISPLAY"));
  }
  void* handle;
  decltype(&::Open_Reader) open;
  decltype(&::Close_Reader) close;
  decltype(&::LED_DISPLAY) led_display;
};

inline const DisplayEdition& Display() {
  static const DisplayEdition edition;
  return edition;
}

class SimOnPty {
 public:
  explicit SimOnPty(ReaderOptions options = {}, FaultOptions faults = {})
      : reader_(std::make_unique<VirtualReader>(std::move(options))) {
    engine_.SetResponder(MakeResponder(*reader_, faults));
    handle_ = Display().open(engine_.port().c_str());
    if (handle_ == nullptr) throw std::runtime_error("cannot open " + engine_.port());
  }
  ~SimOnPty() { Display().close(handle_); }
  SimOnPty(const SimOnPty&) = delete;
  SimOnPty& operator=(const SimOnPty&) = delete;

  ReaderHandle handle() const { return handle_; }
  VirtualReader& reader() { return *reader_; }
  engine::ScriptedReader& engine() { return engine_; }

 private:
  std::unique_ptr<VirtualReader> reader_;
  engine::ScriptedReader engine_;
  ReaderHandle handle_ = nullptr;
};

}  // namespace vorlex::sim::testing
