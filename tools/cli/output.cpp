#include "output.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <utility>

#include "numbers.h"
#include "text_encoding.h"

namespace vorlex::cli {

std::string Dumped(const Json& object) {
  return object.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string StatusHex(int status) { return Hex(static_cast<std::uint32_t>(status) & 0xFFFF, 4); }

void Report::Field(const std::string& key, Json value, const std::string& shown) {
  fields_[key] = std::move(value);
  std::string label = key;
  std::replace(label.begin(), label.end(), '_', ' ');
  people_.push_back({Item::kField, label, shown});
}

void Report::Step(const std::string& step, int result, const std::string& message_gbk) {
  steps_.push_back({{"step", step},
                    {"status", result},
                    {"status_hex", StatusHex(result)},
                    {"message", text::GbkTo("UTF-8", message_gbk)}});
  if (!pinned_) message_gbk_ = message_gbk;
}

std::string Report::Shown(const std::string& gbk) const { return text::GbkTo(encoding_, gbk); }

Json Report::Head(bool ok, int status) const {
  Json head = {
      {"command", command_}, {"ok", ok}, {"status", status}, {"status_hex", StatusHex(status)}};
  head["message"] = text::GbkTo("UTF-8", message_gbk_);
  return head;
}

void Report::PrintPeople() const {
  // Labels are aligned within each group.
  std::size_t at = 0;
  bool indented = false;
  while (at < people_.size()) {
    std::size_t end = at;
    std::size_t width = 0;
    while (end < people_.size() && people_[end].kind != Item::kGroup) {
      if (people_[end].kind == Item::kField) width = std::max(width, people_[end].label.size());
      ++end;
    }
    for (std::size_t i = at; i < end; ++i) {
      const Item& item = people_[i];
      const std::string indent = indented ? "  " : "";
      if (item.kind == Item::kLine) {
        People() << indent << item.label << "\n";
      } else {
        People() << indent << item.label << std::string(width - item.label.size() + 2, ' ')
                 << item.value << "\n";
      }
    }
    if (end < people_.size()) {
      People() << people_[end].label << "\n";
      indented = true;
      ++end;
    }
    at = end;
  }
}

void Report::PrintJson(Json out, const Json& after_fields) const {
  out.update(fields_);
  out.update(after_fields);
  out["steps"] = steps_;
  std::cout << Dumped(out) << "\n";
  std::cout.flush();
}

void Report::PrintSuccess(int signal) const {
  if (json_) {
    PrintJson(Head(true, 0), signal != 0 ? Json{{"interrupted", true}} : Json::object());
  } else {
    if (!message_gbk_.empty()) People() << Shown(message_gbk_) << "\n";
    PrintPeople();
  }
  std::cout.flush();
}

void Report::PrintFailure(const CommandFailed& failure) const {
  const std::string message = text::GbkTo("UTF-8", failure.message_gbk);
  if (json_) {
    Json out = Head(false, failure.result);
    out["message"] = message;
    out["step"] = failure.step;
    out["error"] = failure.explanation;
    if (!failure.hint.empty()) out["hint"] = failure.hint;
    PrintJson(std::move(out), Json::object());
    return;
  }
  // What was learned before the failing step still helps (the balance before, say).
  PrintPeople();
  std::cout.flush();
  const std::string shown = Shown(failure.message_gbk);
  std::cerr << "vorlex: " << command_ << ": " << failure.explanation;
  if (!shown.empty()) std::cerr << " (library: " << shown << ")";
  std::cerr << "\n";
  if (!failure.hint.empty()) std::cerr << "hint: " << failure.hint << "\n";
}

void Report::PrintStopped(const Stopped& stop) const {
  if (json_) {
    Json stopped;
    stopped["stopped"] = {{"reason", !stop.reason.empty() ? stop.reason
                                     : stop.signal == 0   ? "reader_stopped_answering"
                                                          : "interrupted"},
                          {"signal", stop.signal},
                          {"before_step", stop.step},
                          {"error", stop.explanation}};
    if (!stop.reason.empty()) {
      stopped["stopped"]["expected_uid"] = stop.expected_uid;
      stopped["stopped"]["found_uid"] = stop.found_uid;
    }
    PrintJson(Head(false, stop.signal == 0 ? 1 : 0), stopped);
    return;
  }
  PrintPeople();
  std::cout.flush();
  std::cerr << "vorlex: " << command_ << ": " << stop.explanation << "\n";
}

void Report::PrintUnknown(const OutcomeUnknown& unknown) const {
  constexpr char kWhat[] = "unknown: check the balance before charging again";
  if (json_) {
    Json out = Head(false, unknown.result);
    out["step"] = unknown.step;
    out["outcome"] = "unknown";
    out["error"] = std::string(kWhat) + " (" + unknown.explanation + ")";
    PrintJson(std::move(out), Json::object());
    return;
  }
  PrintPeople();
  std::cout.flush();
  std::cerr << "vorlex: " << command_ << ": " << kWhat << "\n  " << unknown.explanation << "\n";
}

void Report::PrintError(const std::string& error, const std::string& kind) const {
  if (json_) {
    std::cout << Dumped(Json{
                     {"command", command_}, {"ok", false}, {"error_kind", kind}, {"error", error}})
              << "\n";
  }
  std::cerr << "vorlex: " << error << "\n";
}

}  // namespace vorlex::cli
