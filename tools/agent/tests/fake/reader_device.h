// A stand-in for the reader device, for the network side's own tests: the same interface, and a
// "reader" that is a plain file (its existence is the port, its first line the card present).
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace vorlex::agent {

enum class Edition { kEpurse, kDisplay };

struct MethodError {
  int code;
  std::string message;
  nlohmann::json data;
};

struct DeviceOptions {
  std::string port;
  Edition edition;
  std::string journal_path;
  std::string terminal_id;
};

class ReaderDevice {
 public:
  explicit ReaderDevice(DeviceOptions options);
  bool Open();
  void Close();
  bool is_open() const;
  nlohmann::json Call(std::string_view method, const nlohmann::json& params);
  std::vector<nlohmann::json> Poll();
  static bool Handles(std::string_view method);

 private:
  DeviceOptions options_;
  bool open_ = false;
  std::string card_;
};

}  // namespace vorlex::agent
