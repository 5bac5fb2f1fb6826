// How a command ends when it does not simply succeed; main turns each into an exit status.
#pragma once

#include <stdexcept>
#include <string>

namespace vorlex::cli {

// A command line the tool cannot run (exit 2). Nothing was sent.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// No library, or the port cannot be opened (exit 3).
struct SetupError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A library call that did not give 0 (exit 1).
struct CommandFailed {
  std::string step;
  int result = 0;
  std::string message_gbk;  // the library's message, as it wrote it
  std::string explanation;  // what the tool makes of it
  std::string hint;         // the common cause, where there is one
};

// A step that moves money failed and what it did could not be found out (exit 4): the card may
// have been debited. Whoever charges again must look at the balance first.
struct OutcomeUnknown {
  std::string step;
  int result = 0;           // the failed step's result
  std::string explanation;  // why the outcome is not known
};

// The purchase journal cannot be opened or written (exit 5): the purchase was refused before
// anything was sent.
struct JournalUnavailable {
  std::string explanation;
};

// A multi-step command that stopped before its end: a signal (exit 128 + signal) or a reader
// that stopped answering (exit 1). What was read so far is still shown.
struct Stopped {
  int signal = 0;  // 0: the reader stopped answering
  std::string step;
  std::string explanation;
};

}  // namespace vorlex::cli
