#include "reader_device.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "commands/reader_commands.h"
#include "journal.h"
#include "link/frame.h"
#include "reader_device_state.h"
#include "status_words.h"
#include "text_encoding.h"

namespace vorlex::agent {
namespace {

// Presence polling (Poll). The worker polls while the reader is idle, every 250 ms by default:
// the field is probed at each poll but never more often than every 200 ms, the SAM slots and
// the RF-SIM (which come and go rarely) every 5 s. Idle line cost with every slot probed: at
// most 1000 / max(poll interval, 200 ms) + 3 / 5 exchanges a second (4.6 at the default
// interval, 5.6 at most). A slot in use (a bound card session, a SAM a caller powered) is never
// probed.
constexpr long kFieldProbeIntervalMs = 200;
constexpr long kSlowProbeIntervalMs = 5000;
constexpr const char* kSlotNames[] = {"field", "sam1", "sam2", "rfsim"};
constexpr int kField = 0, kRfsimSlot = 3;
constexpr std::size_t kCardRequestAnswer = 8;  // status, ATQA (2), UID (4)
constexpr std::size_t kRfsimAnswer = 10;       // status, identifier (8)

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string Hex4(int status) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text(4, '0');
  for (int i = 0; i < 4; ++i) text[3 - i] = kDigits[(status >> (4 * i)) & 0xF];
  return text;
}

// "COM<n>" names the e-purse edition's way (COM1-COM96); anything else is a device path.
std::string DevicePathOf(const std::string& name) {
  if (name.size() > 3 && name.compare(0, 3, "COM") == 0 && name.size() <= 6 &&
      std::all_of(name.begin() + 3, name.end(), [](char c) { return std::isdigit(c) != 0; })) {
    char path[link::kDevicePathSize];
    if (link::ComPortPath(std::stoi(name.substr(3)), path)) return path;
  }
  return name;
}

std::span<const MethodEntry> Tables(std::size_t index) {
  switch (index) {
    case 0:
      return ReaderMethods();
    case 1:
      return CardMethods();
    default:
      return PurseMethods();
  }
}

const MethodEntry* Find(std::string_view method) {
  for (std::size_t table = 0; table < 3; ++table) {
    for (const MethodEntry& entry : Tables(table)) {
      if (entry.name == method) return &entry;
    }
  }
  return nullptr;
}

}  // namespace

// ---- params ---------------------------------------------------------------------------------

void Refuse(const std::string& argument, const std::string& reason) {
  throw MethodError{
      kInvalidParams, argument + ": " + reason, {{"argument", argument}, {"reason", reason}}};
}

std::string HexOf(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(2 * bytes.size());
  for (const std::uint8_t byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

namespace {
const json kNoParams = json::object();

std::string TypeName(const json& value) { return value.type_name(); }
}  // namespace

Params::Params(const json& params) : params_(params.is_null() ? kNoParams : params) {
  if (!params_.is_object()) {
    throw MethodError{kInvalidParams,
                      "params must be an object (named params)",
                      {{"reason", "params must be an object, not " + TypeName(params)}}};
  }
}

const json* Params::Find(const char* name) const {
  const auto found = params_.find(name);
  return found == params_.end() || found->is_null() ? nullptr : &*found;
}

bool Params::Has(const char* name) const { return Find(name) != nullptr; }

std::int64_t Params::Integer(const char* name, std::int64_t min, std::int64_t max,
                             std::optional<std::int64_t> fallback) const {
  const json* value = Find(name);
  if (value == nullptr) {
    if (fallback) return *fallback;
    Refuse(name, "required: a number from " + std::to_string(min) + " to " + std::to_string(max));
  }
  const std::string range = " is outside " + std::to_string(min) + ".." + std::to_string(max);
  if (value->is_number_unsigned()) {
    if (value->get<std::uint64_t>() > static_cast<std::uint64_t>(max))
      Refuse(name, value->dump() + range);
  } else if (!value->is_number_integer()) {
    Refuse(name, "must be a whole number, not " + value->dump());
  }
  const std::int64_t number = value->get<std::int64_t>();
  if (number < min || number > max) Refuse(name, value->dump() + range);
  return number;
}

bool Params::Flag(const char* name, bool fallback) const {
  const json* value = Find(name);
  if (value == nullptr) return fallback;
  if (!value->is_boolean()) Refuse(name, "must be true or false, not " + value->dump());
  return value->get<bool>();
}

Bytes Params::Hex(const char* name, std::size_t count, const char* fallback) const {
  const json* value = Find(name);
  std::string text;
  if (value == nullptr) {
    if (fallback == nullptr) Refuse(name, "required: bytes in hex");
    text = fallback;
  } else if (!value->is_string()) {
    Refuse(name, "must be a string of hex digits, not " + TypeName(*value));
  } else {
    text = value->get<std::string>();
  }
  std::string digits;
  for (const char c : text) {
    if (c == ' ') continue;
    if (std::isxdigit(static_cast<unsigned char>(c)) == 0) {
      Refuse(name, "is not hex: only the digits 0-9, A-F (either case) and spaces");
    }
    digits += c;
  }
  if (digits.size() % 2 != 0) Refuse(name, "has an odd number of hex digits");
  Bytes bytes(digits.size() / 2);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(std::stoi(digits.substr(2 * i, 2), nullptr, 16));
  }
  if (count != 0 && bytes.size() != count) {
    Refuse(name, "must be " + std::to_string(count) + " bytes (" + std::to_string(2 * count) +
                     " hex digits), not " + std::to_string(bytes.size()));
  }
  if (count == 0 && bytes.empty()) Refuse(name, "holds no bytes");
  return bytes;
}

std::string Params::Text(const char* name, std::optional<std::string> fallback) const {
  const json* value = Find(name);
  if (value == nullptr) {
    if (fallback) return *fallback;
    Refuse(name, "required: a string");
  }
  if (!value->is_string()) Refuse(name, "must be a string, not " + TypeName(*value));
  return value->get<std::string>();
}

std::string Params::OneOf(const char* name, std::initializer_list<const char*> choices,
                          const char* fallback) const {
  std::string listed;
  for (const char* choice : choices)
    listed += (listed.empty() ? "\"" : ", \"") + std::string(choice) + "\"";
  const json* value = Find(name);
  if (value == nullptr) {
    if (fallback != nullptr) return fallback;
    Refuse(name, "required: one of " + listed);
  }
  if (value->is_string()) {
    for (const char* choice : choices) {
      if (value->get<std::string>() == choice) return choice;
    }
  }
  Refuse(name, "must be one of " + listed + ", not " + value->dump());
}

// ---- the exchange ---------------------------------------------------------------------------

ReaderDevice::State::State(DeviceOptions device_options) : options(std::move(device_options)) {
  for (std::size_t slot = 0; slot < schedule.size(); ++slot) {
    schedule[slot] =
        field::ProbeSchedule(slot == kField ? kFieldProbeIntervalMs : kSlowProbeIntervalMs);
  }
}

ReaderDevice::State::~State() {
  if (port != nullptr) link::ClosePort(port);
}

bool ReaderDevice::State::PortGone() const {
#if defined(_WIN32)
  return false;  // a COM device has no node to look at: a vanished port fails its operations
#else
  struct stat info {};
  if (::stat(device.c_str(), &info) != 0) return errno == ENOENT || errno == ENOTDIR;
  // Another device behind the same name (a simulator started again on the same link).
  return info.st_rdev != device_id || info.st_ino != device_inode;
#endif
}

void ReaderDevice::State::Lost() {
  if (port != nullptr) link::ClosePort(port);
  port = nullptr;
  throw MethodError{kReaderLost,
                    "the reader's port " + options.port + " is gone; the agent is reopening it",
                    {{"port", options.port}}};
}

int ReaderDevice::State::TryExchange(const Request& request, std::size_t minimum, Bytes& answer) {
  if (port == nullptr) Lost();
  std::array<std::uint8_t, link::kMaxPayload> payload;
  std::size_t length = 0;
  const int result = vorlex::Exchange(port, nullptr, nullptr, request, minimum, payload, length);
  if (result == kCommandFailed && PortGone()) Lost();
  answer.assign(payload.data(), payload.data() + (result == 0 ? length : 0));
  return result;
}

void ReaderDevice::State::Fail(std::string_view step, std::optional<Texts> texts, int status) {
  const std::string gbk = texts ? MessagesOf(*texts).failure : "";
  json data = {{"status", status},
               {"status_hex", Hex4(status)},
               {"message", text::GbkTo("UTF-8", gbk)},
               {"step", step}};
  if (status == kCommandFailed) {
    data["hint"] = "check the cable, the reader's power and the port";
    throw MethodError{kNoAnswer,
                      std::string(step) +
                          ": no valid answer from the reader after 3 attempts (silent, or its "
                          "answer was malformed or too short)",
                      std::move(data)};
  }
  data["hint"] = ReaderStatusHint(step, status);
  throw MethodError{
      kReaderRefused,
      std::string(step) + " failed: the reader answered with status 0x" + Hex4(status),
      std::move(data)};
}

Bytes ReaderDevice::State::Exchange(std::string_view step, std::optional<Texts> texts,
                                    const Request& request, std::size_t minimum) {
  Bytes answer;
  const int result = TryExchange(request, minimum, answer);
  if (result != 0) Fail(step, texts, result);
  return answer;
}

// ---- card sessions --------------------------------------------------------------------------

void ReaderDevice::State::CardChanged(const field::CardBinding& binding, const char* slot) {
  const std::string expected = HexOf(binding.expected().view());
  const json found = binding.found().empty() ? json(nullptr) : json(HexOf(binding.found().view()));
  throw MethodError{
      kCardChanged,
      std::string("the card this session began with (") + expected + ") is no longer in the " +
          slot +
          (found.is_null() ? "" : "; another one answers (" + found.get<std::string>() + ")") +
          ": request the card again (" +
          (std::strcmp(slot, "rfsim") == 0 ? "rfsim.request" : "card.request") + ")",
      {{"expected_uid", expected}, {"found_uid", found}, {"slot", slot}}};
}

void ReaderDevice::State::RequireCard(const field::CardBinding& binding, const char* slot) {
  if (binding.lost()) CardChanged(binding, slot);
}

void ReaderDevice::State::CheckCardAfterFailure(field::CardBinding& binding, bool rfsim_slot) {
  if (!binding.usable()) return;
  Request request(rfsim_slot ? commands::kRfsimRequest : commands::kCardRequest);
  request.Byte(1);  // wake a halted card too
  Bytes answer;
  const std::size_t minimum = rfsim_slot ? kRfsimAnswer : kCardRequestAnswer;
  const int result = TryExchange(request, minimum, answer);
  if (result == kCommandFailed) return;  // the reader is silent: the failure stands as it is
  const std::span<const std::uint8_t> found =
      result == 0
          ? std::span<const std::uint8_t>(answer).subspan(rfsim_slot ? 2 : 4, rfsim_slot ? 8 : 4)
          : std::span<const std::uint8_t>();
  if (!binding.Verify(found)) CardChanged(binding, rfsim_slot ? "rfsim" : "field");
}

// ---- the device -----------------------------------------------------------------------------

ReaderDevice::ReaderDevice(DeviceOptions options)
    : state_(std::make_unique<State>(std::move(options))) {}

ReaderDevice::~ReaderDevice() = default;

bool ReaderDevice::Open() {
  State& s = *state_;
  if (s.port != nullptr) return true;
  s.device = DevicePathOf(s.options.port);
  s.port = link::OpenPort(s.device.c_str());
  if (s.port == nullptr) return false;
  struct stat info {};
  if (::stat(s.device.c_str(), &info) == 0) {
    s.device_id = info.st_rdev;
    s.device_inode = info.st_ino;
  }
  // A new line: no card session survives it, and presence is learnt again.
  s.field.Release();
  s.rfsim.Release();
  s.sam_powered = {};
  for (field::ProbeSchedule& schedule : s.schedule) schedule.Forget();
  return true;
}

void ReaderDevice::Close() {
  State& s = *state_;
  if (s.port != nullptr) link::ClosePort(s.port);
  s.port = nullptr;
}

bool ReaderDevice::is_open() const { return state_->port != nullptr; }

bool ReaderDevice::Handles(std::string_view method) { return Find(method) != nullptr; }

std::vector<std::string_view> ReaderDevice::Methods() {
  std::vector<std::string_view> names;
  for (std::size_t table = 0; table < 3; ++table) {
    for (const MethodEntry& entry : Tables(table)) names.push_back(entry.name);
  }
  return names;
}

json ReaderDevice::Call(std::string_view method, const json& params) {
  State& s = *state_;
  const MethodEntry* entry = Find(method);
  if (entry == nullptr) {
    throw MethodError{kMethodNotFound, "no method " + std::string(method), nullptr};
  }
  const bool epurse = s.edition() == Edition::kEpurse;
  if (!(epurse ? entry->epurse : entry->display)) {
    throw MethodError{kMethodNotFound,
                      std::string(method) + " is a method of the " +
                          (epurse ? "display" : "e-purse") + " edition; this reader is " +
                          (epurse ? "e-purse" : "display"),
                      nullptr};
  }
  const Params checked(params);
  if (s.port == nullptr) s.Lost();
  return entry->run(s, checked);
}

std::vector<json> ReaderDevice::Poll() {
  State& s = *state_;
  std::vector<json> events;
  if (s.port == nullptr) return events;
  const long long now = NowMs();
  for (int slot = 0; slot < 4; ++slot) {
    const auto index = static_cast<std::size_t>(slot);
    SlotPresence seen = s.presence[index];
    const field::CardBinding* binding = slot == kField       ? &s.field
                                        : slot == kRfsimSlot ? &s.rfsim
                                                             : nullptr;
    const bool in_use = binding != nullptr ? binding->usable() : s.sam_powered[index - 1];
    if (in_use) {
      // Never probed: a card session (or a powered SAM) is there until an exchange says not.
      seen.present = true;
      if (binding != nullptr) seen.uid = HexOf(binding->expected().view());
    } else if (s.polled && !s.schedule[index].Due(now)) {
      continue;
    } else {
      Request request(slot == kField ? Request(commands::kCardRequest)
                      : slot == kRfsimSlot
                          ? Request(commands::kRfsimRequest)
                          : Request(commands::SamPowerOn(slot == 1 ? commands::kSamSlot1
                                                                   : commands::kSamSlot2)));
      if (binding != nullptr) request.Byte(1);  // a halted card is there too
      const std::size_t minimum = slot == kField       ? kCardRequestAnswer
                                  : slot == kRfsimSlot ? kRfsimAnswer
                                                       : 2;
      Bytes answer;
      int result = kCommandFailed;
      try {
        result = s.TryExchange(request, minimum, answer);
      } catch (const MethodError&) {
        return events;  // the port is gone: closed; the worker reports the loss
      }
      s.schedule[index].Record(now, result == 0                ? field::Probe::kCard
                                    : result == kCommandFailed ? field::Probe::kNoAnswer
                                                               : field::Probe::kNoCard);
      if (result == kCommandFailed) continue;  // silence is not "no card": nothing changes
      seen.present = result == 0;
      seen.uid = !seen.present || binding == nullptr
                     ? ""
                     : HexOf(std::span<const std::uint8_t>(answer).subspan(slot == kField ? 4 : 2,
                                                                           slot == kField ? 4 : 8));
    }
    SlotPresence& last = s.presence[index];
    if (last.present && (!seen.present || seen.uid != last.uid)) {
      events.push_back({{"method", "card.absent"}, {"params", {{"slot", kSlotNames[slot]}}}});
    }
    if (seen.present && (!last.present || seen.uid != last.uid)) {
      json params = {{"slot", kSlotNames[slot]}};
      if (!seen.uid.empty()) params["uid"] = seen.uid;
      events.push_back({{"method", "card.present"}, {"params", std::move(params)}});
    }
    last = seen;
  }
  s.polled = true;
  return events;
}

}  // namespace vorlex::agent
