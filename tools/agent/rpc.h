// JSON-RPC 2.0 messages: a request read from a frame (with the depth limit), and the answers.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "error_codes.h"

namespace vorlex::agent {

struct Request {
  nlohmann::json id;  // null for a notification, which gets no answer
  bool notification = false;
  std::string method;
  nlohmann::json params;  // always an object
};

// The request in `text`, or the error answer to send instead (a string ready for the wire).
struct Parsed {
  std::optional<Request> request;
  std::string error;
};
Parsed ParseRequest(std::string_view text, int max_depth);

std::string Result(const nlohmann::json& id, const nlohmann::json& result);
std::string Error(const nlohmann::json& id, int code, const std::string& message,
                  const nlohmann::json& data = nullptr);
std::string Notification(const std::string& method, const nlohmann::json& params);

}  // namespace vorlex::agent
