// One run of the tool: the global options, the loaded edition, the open port, the report, and
// how each library call's result is judged (with the one diagnosis exchange after a result 1).
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "edition_library.h"
#include "output.h"
#include "port.h"

namespace vorlex::cli {

struct GlobalOptions {
  std::string port;     // COMn or a device path
  std::string edition;  // "", "epurse" or "display"
  std::string library;  // a path, or "" for the one beside the tool
  bool json = false;
};

// The caller's 50-byte message buffer.
struct Message {
  char text[VORLEX_MESSAGE_SIZE] = {};
};

class Session {
 public:
  Session(const GlobalOptions& options, Report& report) : options_(options), report_(report) {}

  Report& out() { return report_; }
  const GlobalOptions& options() const { return options_; }

  // Loads the edition (--edition, else `needed`, else the e-purse one) and opens the port. A
  // command that needs one edition refuses the other (UsageError).
  void Open(std::optional<Edition> needed = {});
  const EditionLibrary& lib() const { return *library_; }
  Edition edition() const { return library_->edition(); }
  ReaderHandle reader() const { return port_->handle(); }

  // One library call's outcome, recorded as a step. True for 0. For a result 1 the port is
  // looked at and the reader asked for its hardware version once: a reader that does not answer
  // throws Stopped. Any other failure returns false (Fail() makes it a CommandFailed).
  bool Call(const std::string& step, int result, const char* message);
  // Call, throwing CommandFailed on anything but 0.
  void Check(const std::string& step, int result, const char* message);
  // Between the exchanges of a multi-step command: throws Stopped when a signal came.
  void Checkpoint(const std::string& next_step) const;

  // A purchase moved money (the reader confirmed it, or the balance settled it): the command
  // reports it as done, exit 0, whatever signal came meanwhile.
  void MoneyMoved() { money_moved_ = true; }
  bool money_moved() const { return money_moved_; }

  // The failure of the last Call, explained.
  [[noreturn]] void Fail() const;
  CommandFailed& last_failure() { return failure_; }

 private:
  const GlobalOptions& options_;
  Report& report_;
  std::unique_ptr<EditionLibrary> library_;
  std::unique_ptr<Port> port_;
  CommandFailed failure_;
  bool answered_ = false;  // some exchange got an answer
  bool money_moved_ = false;
};

}  // namespace vorlex::cli
