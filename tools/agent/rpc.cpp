#include "rpc.h"

namespace vorlex::agent {
namespace {

using json = nlohmann::json;

// nlohmann's DOM builder, refusing nesting deeper than `max_depth` before it is built: a
// deep document costs neither stack nor memory.
class DepthLimitedBuilder {
 public:
  DepthLimitedBuilder(json& result, int max_depth) : dom_(result, false), max_depth_(max_depth) {}

  bool null() { return dom_.null(); }
  bool boolean(bool value) { return dom_.boolean(value); }
  bool number_integer(json::number_integer_t value) { return dom_.number_integer(value); }
  bool number_unsigned(json::number_unsigned_t value) { return dom_.number_unsigned(value); }
  bool number_float(json::number_float_t value, const std::string& text) {
    return dom_.number_float(value, text);
  }
  bool string(std::string& value) { return dom_.string(value); }
  bool binary(json::binary_t& value) { return dom_.binary(value); }
  bool start_object(std::size_t size) { return Deeper() && dom_.start_object(size); }
  bool key(std::string& value) { return dom_.key(value); }
  bool end_object() {
    --depth_;
    return dom_.end_object();
  }
  bool start_array(std::size_t size) { return Deeper() && dom_.start_array(size); }
  bool end_array() {
    --depth_;
    return dom_.end_array();
  }
  bool parse_error(std::size_t position, const std::string& /*token*/,
                   const json::exception& error) {
    failure_ = error.what();
    (void)position;
    return false;
  }

  bool too_deep() const { return too_deep_; }
  const std::string& failure() const { return failure_; }

 private:
  bool Deeper() {
    if (++depth_ > max_depth_) {
      too_deep_ = true;
      return false;
    }
    return true;
  }

  nlohmann::detail::json_sax_dom_parser<json> dom_;
  int max_depth_;
  int depth_ = 0;
  bool too_deep_ = false;
  std::string failure_;
};

}  // namespace

Parsed ParseRequest(std::string_view text, int max_depth) {
  json message;
  DepthLimitedBuilder builder(message, max_depth);
  const bool parsed =
      json::sax_parse(text.begin(), text.end(), &builder, json::input_format_t::json, true);
  if (!parsed) {
    if (builder.too_deep()) {
      return {std::nullopt, Error(nullptr, kParseError,
                                  "parse error: nested deeper than " + std::to_string(max_depth),
                                  {{"limit", max_depth}})};
    }
    std::string why = builder.failure();
    if (const std::size_t at = why.find("] "); at != std::string::npos) why = why.substr(at + 2);
    return {std::nullopt, Error(nullptr, kParseError, why)};
  }
  if (message.is_array()) {
    return {std::nullopt, Error(nullptr, kInvalidRequest,
                                "invalid request: send one request per message, not a batch")};
  }
  if (!message.is_object()) {
    return {std::nullopt, Error(nullptr, kInvalidRequest, "invalid request: not an object")};
  }
  json id = nullptr;
  const bool has_id = message.contains("id");
  if (has_id) {
    id = message["id"];
    if (!id.is_string() && !id.is_number() && !id.is_null()) {
      return {std::nullopt,
              Error(nullptr, kInvalidRequest, "invalid request: \"id\" is a string or a number")};
    }
  }
  const auto jsonrpc = message.find("jsonrpc");
  if (jsonrpc == message.end() || *jsonrpc != "2.0") {
    return {std::nullopt,
            Error(id, kInvalidRequest, "invalid request: \"jsonrpc\" must be \"2.0\"")};
  }
  const auto method = message.find("method");
  if (method == message.end() || !method->is_string()) {
    return {std::nullopt, Error(id, kInvalidRequest, "invalid request: \"method\" is missing")};
  }
  Request request;
  request.id = id;
  request.notification = !has_id;
  request.method = method->get<std::string>();
  const auto params = message.find("params");
  if (params == message.end() || params->is_null()) {
    request.params = json::object();
  } else if (params->is_object()) {
    request.params = *params;
  } else {
    return {std::nullopt,
            Error(id, kInvalidParams, "invalid params: \"params\" must be an object (by name)",
                  {{"reason", "params must be an object"}})};
  }
  return {std::move(request), {}};
}

std::string Result(const json& id, const json& result) {
  return json{{"jsonrpc", "2.0"}, {"id", id}, {"result", result}}.dump(
      -1, ' ', false, json::error_handler_t::replace);
}

std::string Error(const json& id, int code, const std::string& message, const json& data) {
  json error = {{"code", code}, {"message", message}};
  if (!data.is_null()) error["data"] = data;
  return json{{"jsonrpc", "2.0"}, {"id", id}, {"error", error}}.dump(
      -1, ' ', false, json::error_handler_t::replace);
}

std::string Notification(const std::string& method, const json& params) {
  return json{{"jsonrpc", "2.0"}, {"method", method}, {"params", params}}.dump(
      -1, ' ', false, json::error_handler_t::replace);
}

}  // namespace vorlex::agent
