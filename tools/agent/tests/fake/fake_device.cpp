// The stand-in reader device: the port is a file; "reader.beep" echoes its value,
// "test.sleep" takes `ms` milliseconds, and the file's first line is the card's uid ("" = none).
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "reader_device.h"

namespace vorlex::agent {

ReaderDevice::ReaderDevice(DeviceOptions options) : options_(std::move(options)) {}

bool ReaderDevice::Open() {
  open_ = std::filesystem::exists(options_.port);
  return open_;
}
void ReaderDevice::Close() { open_ = false; }
bool ReaderDevice::is_open() const { return open_; }

bool ReaderDevice::Handles(std::string_view method) {
  return method == "reader.beep" || method == "test.sleep" || method == "card.request";
}

nlohmann::json ReaderDevice::Call(std::string_view method, const nlohmann::json& params) {
  if (!open_ || !std::filesystem::exists(options_.port)) {
    open_ = false;
    throw MethodError{1002, "the reader's port is gone", {}};
  }
  if (method == "test.sleep") {
    std::this_thread::sleep_for(std::chrono::milliseconds(params.value("ms", 0)));
    return nlohmann::json::object();
  }
  if (method == "card.request") {
    if (card_.empty()) throw MethodError{1000, "no card", {{"status", 1}}};
    return {{"atqa", "0400"}, {"uid", card_}};
  }
  if (!params.contains("value") || !params["value"].is_number_integer()) {
    throw MethodError{-32602, "value: give a number", {{"reason", "value missing"}}};
  }
  return {{"value", params["value"]}};
}

std::vector<nlohmann::json> ReaderDevice::Poll() {
  std::ifstream file(options_.port);
  if (!file) {
    open_ = false;
    return {};
  }
  std::string uid;
  std::getline(file, uid);
  std::vector<nlohmann::json> events;
  if (uid != card_) {
    if (!card_.empty()) events.push_back({{"method", "card.absent"}, {"params", {{"slot", "field"}}}});
    if (!uid.empty()) {
      events.push_back({{"method", "card.present"}, {"params", {{"slot", "field"}, {"uid", uid}}}});
    }
    card_ = uid;
  }
  return events;
}

}  // namespace vorlex::agent
