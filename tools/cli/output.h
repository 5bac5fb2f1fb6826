// What a command shows: for people (aligned "label  value" lines in groups, the library's
// message in the terminal's encoding) or for scripts (one JSON object, UTF-8, snake_case keys).
// Every command writes through one Report, so both outputs always carry the same fields.
#pragma once

#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "errors.h"

namespace vorlex::cli {

using Json = nlohmann::ordered_json;

class Report {
 public:
  Report(bool json, std::string encoding) : json_(json), encoding_(std::move(encoding)) {}

  bool json() const { return json_; }
  const std::string& encoding() const { return encoding_; }  // the terminal's
  void SetCommand(std::string command) { command_ = std::move(command); }

  // A field in both outputs: the JSON key and value, the people's line "label  shown".
  void Field(const std::string& key, Json value, const std::string& shown);
  void Field(const std::string& key, const std::string& text) { Field(key, text, text); }
  void JsonOnly(const std::string& key, Json value) { fields_[key] = std::move(value); }
  // People only: a line of its own, and a heading that the following fields are indented under.
  void Line(const std::string& text) { people_.push_back({Item::kLine, text, ""}); }
  void Group(const std::string& title) { people_.push_back({Item::kGroup, title, ""}); }
  // The people's output on standard error, for a command whose standard output is a file's
  // content (dump --format eml, say).
  void PeopleToStandardError() { people_to_stderr_ = true; }

  // One library call, for "steps" and the headline (the last message, unless pinned).
  void Step(const std::string& step, int result, const std::string& message_gbk);
  void PinMessage() { pinned_ = true; }
  // Text in the library's encoding, shown in the terminal's.
  std::string Shown(const std::string& gbk) const;

  void PrintSuccess(int signal) const;
  void PrintFailure(const CommandFailed& failure) const;
  void PrintStopped(const Stopped& stop) const;
  void PrintUnknown(const OutcomeUnknown& unknown) const;
  // Usage and setup errors: standard error, and a JSON line when asked for.
  void PrintError(const std::string& error, const std::string& kind) const;

 private:
  struct Item {
    enum Kind { kField, kLine, kGroup } kind;
    std::string label, value;
  };
  Json Head(bool ok, int status) const;
  // The one JSON object of a run: `out`, the fields, `after_fields`, the steps.
  void PrintJson(Json out, const Json& after_fields) const;
  void PrintPeople() const;
  std::ostream& People() const { return people_to_stderr_ ? std::cerr : std::cout; }

  bool json_;
  std::string encoding_;
  std::string command_;
  Json fields_ = Json::object();
  Json steps_ = Json::array();
  std::vector<Item> people_;
  std::string message_gbk_;
  bool pinned_ = false;
  bool people_to_stderr_ = false;
};

// The hexadecimal status as JSON and people show it: "0302".
std::string StatusHex(int status);

}  // namespace vorlex::cli
