// One reader as the agent drives it: every reader method of both editions over the library's
// core (requests built and answers read by the very code the exports use), arguments checked
// with the tool's rules before anything is sent, a card session bound to its card, purchases
// through the purchase journal, and presence polling that never disturbs a card in use.
// docs/agent.md, "Methods" and "Errors", documents each method and error.
#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace vorlex::agent {

enum class Edition { kEpurse, kDisplay };

// A method's failure as its JSON-RPC error: code, message and data (docs/agent.md, "Errors").
struct MethodError {
  int code;
  std::string message;
  nlohmann::json data;
};

struct DeviceOptions {
  std::string port;  // COMn (the e-purse edition's names) or a device path
  Edition edition;
  std::string journal_path;  // the purchase journal; opened at the first purse.purchase
  std::string terminal_id;   // recorded with each purchase ("" keeps the journal's own)
};

// Used from one thread only (the reader's worker).
class ReaderDevice {
 public:
  explicit ReaderDevice(DeviceOptions options);
  ~ReaderDevice();
  ReaderDevice(const ReaderDevice&) = delete;
  ReaderDevice& operator=(const ReaderDevice&) = delete;

  bool Open();  // opens the port if closed; false when it cannot
  void Close();
  bool is_open() const;

  // Runs one reader method. Throws MethodError; a vanished port closes the device and throws
  // code 1002.
  nlohmann::json Call(std::string_view method, const nlohmann::json& params);

  // One presence poll while idle: notifications [{"method", "params": {"slot", "uid"?}}] for
  // what changed since the last poll. A card in use is never probed. A vanished port closes
  // the device.
  std::vector<nlohmann::json> Poll();

  static bool Handles(std::string_view method);
  // Every method Handles accepts, in the order docs/agent.md lists them.
  static std::vector<std::string_view> Methods();

  struct State;  // reader_device_state.h

 private:
  std::unique_ptr<State> state_;
};

}  // namespace vorlex::agent
