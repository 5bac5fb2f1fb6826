// JSON-RPC 2.0 messages: a request read from a frame (with the depth limit), and the answers.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace vorlex::agent {

// JSON-RPC's own codes, and the agent's (docs/agent.md, "Errors").
inline constexpr int kParseError = -32700;
inline constexpr int kInvalidRequest = -32600;
inline constexpr int kMethodNotFound = -32601;
inline constexpr int kInvalidParams = -32602;
inline constexpr int kInternalError = -32603;
inline constexpr int kReaderLost = 1002;
inline constexpr int kReaderBusy = 1003;
inline constexpr int kUnknownReader = 1004;
inline constexpr int kRateLimited = 1007;
inline constexpr int kMessageTooLarge = 1008;

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
