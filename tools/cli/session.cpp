#include "session.h"

#include <csignal>
#include <cstring>

#include "interrupt.h"
#include "status_words.h"

namespace vorlex::cli {

void Session::Open(std::optional<Edition> needed) {
  Edition edition = needed.value_or(Edition::kEpurse);
  if (!options_.edition.empty()) {
    const Edition asked = options_.edition == "display" ? Edition::kDisplay : Edition::kEpurse;
    if (needed && *needed != asked) {
      throw UsageError("this command needs the " + std::string(NameOf(*needed)) +
                       " edition, not --edition " + options_.edition);
    }
    edition = asked;
  }
  if (options_.port.empty()) {
    throw UsageError("no port: give --port NAME (COMn or a device path) or set VORLEX_PORT");
  }
  library_ = std::make_unique<EditionLibrary>(edition, options_.library);
  port_ = std::make_unique<Port>(*library_, options_.port);
  report_.JsonOnly("library", library_->path());
  report_.JsonOnly("port", options_.port);
}

bool Session::Call(const std::string& step, int result, const char* message) {
  const std::string gbk =
      message == nullptr ? "" : std::string(message, strnlen(message, VORLEX_MESSAGE_SIZE));
  report_.Step(step, result, gbk);
  if (result == 0) {
    answered_ = true;
    return true;
  }
  failure_ = CommandFailed{step, result, gbk, "", ""};
  if (result != 1) {
    failure_.explanation = step + " failed: the reader answered with status 0x" + StatusHex(result);
    failure_.hint = ReaderStatusHint(step, result);
    answered_ = true;
    return false;
  }
  // Result 1: no valid answer in three attempts, or one too short. Arguments were checked
  // before the call, so the library refused none. One exchange tells which it was.
  const std::string stopped = answered_ ? "the reader stopped answering: " : "";
  if (PortGone(options_.port)) {
    throw Stopped{0, step, stopped + "the port " + options_.port + " is gone (device unplugged?)"};
  }
  unsigned char version[VORLEX_VERSION_SIZE] = {};
  Message diagnosis;
  const int probe = lib().GET_HARDWARE_VER(reader(), version, diagnosis.text);
  report_.Step("diagnosis_hardware_version", probe,
               std::string(diagnosis.text, strnlen(diagnosis.text, VORLEX_MESSAGE_SIZE)));
  if (probe == 1) {
    throw Stopped{0, step,
                  stopped + "no answer from the reader on " + options_.port +
                      " after 3 attempts: check cable, power and port"};
  }
  answered_ = true;
  failure_.explanation = step +
                         " failed: the reader answers (it gave its hardware version) but its "
                         "answer to this command was missing, malformed or too short";
  return false;
}

void Session::Check(const std::string& step, int result, const char* message) {
  if (!Call(step, result, message)) Fail();
}

void Session::Fail() const { throw failure_; }

void Session::Checkpoint(const std::string& next_step) const {
  if (const int signal = PendingSignal(); signal != 0) {
    throw Stopped{signal, next_step,
                  std::string("interrupted by ") + (signal == SIGINT ? "SIGINT" : "SIGTERM") +
                      " before " + next_step + "; what was read so far is shown"};
  }
}

}  // namespace vorlex::cli
