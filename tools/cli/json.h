// Just enough JSON for the tool's output: ordered objects, arrays, strings (UTF-8), integers,
// booleans and null.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace vorlex::cli {

class Json {
 public:
  using Object = std::vector<std::pair<std::string, Json>>;
  using Array = std::vector<Json>;

  Json() = default;  // null
  Json(std::nullptr_t) {}
  Json(bool value) : value_(value) {}
  Json(int value) : value_(static_cast<std::int64_t>(value)) {}
  Json(std::int64_t value) : value_(value) {}
  Json(std::uint32_t value) : value_(static_cast<std::int64_t>(value)) {}
  Json(const char* value) : value_(std::string(value)) {}
  Json(std::string value) : value_(std::move(value)) {}
  Json(Array value) : value_(std::make_shared<Array>(std::move(value))) {}
  Json(Object value) : value_(std::make_shared<Object>(std::move(value))) {}

  static Json MakeObject() { return Json(Object{}); }
  static Json MakeArray() { return Json(Array{}); }

  // For objects: appends (keys are not checked for repeats). For arrays: Push.
  Json& Set(std::string key, Json value);
  Json& Push(Json value);

  std::string Dump() const;

 private:
  void DumpTo(std::string& out) const;
  std::variant<std::nullptr_t, bool, std::int64_t, std::string, std::shared_ptr<Array>,
               std::shared_ptr<Object>>
      value_;
};

}  // namespace vorlex::cli
