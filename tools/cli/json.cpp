#include "json.h"

#include <cstdio>

namespace vorlex::cli {
namespace {

void Escape(const std::string& text, std::string& out) {
  out += '"';
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char code[8];
          std::snprintf(code, sizeof code, "\\u%04x", static_cast<unsigned char>(c));
          out += code;
        } else {
          out += c;  // UTF-8 passes through
        }
    }
  }
  out += '"';
}

}  // namespace

Json& Json::Set(std::string key, Json value) {
  std::get<std::shared_ptr<Object>>(value_)->emplace_back(std::move(key), std::move(value));
  return *this;
}

Json& Json::Push(Json value) {
  std::get<std::shared_ptr<Array>>(value_)->push_back(std::move(value));
  return *this;
}

std::string Json::Dump() const {
  std::string out;
  DumpTo(out);
  return out;
}

void Json::DumpTo(std::string& out) const {
  if (std::holds_alternative<std::nullptr_t>(value_)) {
    out += "null";
  } else if (const bool* b = std::get_if<bool>(&value_)) {
    out += *b ? "true" : "false";
  } else if (const std::int64_t* number = std::get_if<std::int64_t>(&value_)) {
    out += std::to_string(*number);
  } else if (const std::string* s = std::get_if<std::string>(&value_)) {
    Escape(*s, out);
  } else if (const auto* array = std::get_if<std::shared_ptr<Array>>(&value_)) {
    out += '[';
    for (std::size_t i = 0; i < (*array)->size(); ++i) {
      if (i != 0) out += ',';
      (**array)[i].DumpTo(out);
    }
    out += ']';
  } else {
    const Object& object = *std::get<std::shared_ptr<Object>>(value_);
    out += '{';
    for (std::size_t i = 0; i < object.size(); ++i) {
      if (i != 0) out += ',';
      Escape(object[i].first, out);
      out += ':';
      object[i].second.DumpTo(out);
    }
    out += '}';
  }
}

}  // namespace vorlex::cli
