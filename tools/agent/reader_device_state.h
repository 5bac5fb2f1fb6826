// Inside the reader device: its state, the one exchange every method goes through, the checks
// of a method's params, and the method tables of the families (methods_*.cpp).
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/command.h"
#include "common/message_table.h"
#include "error_codes.h"
#include "field/card_binding.h"
#include "link/serial_port.h"
#include "reader_device.h"

namespace vorlex::journal {
class Journal;
}

namespace vorlex::agent {

using Bytes = std::vector<std::uint8_t>;
using nlohmann::json;

// An argument refused before anything is sent: -32602, data {argument, reason}.
[[noreturn]] void Refuse(const std::string& argument, const std::string& reason);

std::string HexOf(std::span<const std::uint8_t> bytes);

// A method's params (an object, or absent), read with the tool's rules: each read refuses what
// the tool refuses, naming the param.
class Params {
 public:
  explicit Params(const json& params);

  bool Has(const char* name) const;
  // An integer in min..max; `fallback` when absent (else the param is required).
  std::int64_t Integer(const char* name, std::int64_t min, std::int64_t max,
                       std::optional<std::int64_t> fallback = std::nullopt) const;
  bool Flag(const char* name, bool fallback = false) const;
  // Hex bytes, spaces allowed, either case; `count` exactly (0: one or more). `fallback` (hex)
  // when absent.
  Bytes Hex(const char* name, std::size_t count, const char* fallback = nullptr) const;
  std::string Text(const char* name, std::optional<std::string> fallback = std::nullopt) const;
  // One of `choices`; `fallback` when absent (null: required).
  std::string OneOf(const char* name, std::initializer_list<const char*> choices,
                    const char* fallback) const;

 private:
  const json* Find(const char* name) const;
  const json& params_;
};

// What Poll last reported for a slot.
struct SlotPresence {
  bool present = false;
  std::string uid;  // the field's UID or the RF-SIM identifier when present
};

struct ReaderDevice::State {
  explicit State(DeviceOptions device_options);
  ~State();

  DeviceOptions options;
  link::PortHandle port = nullptr;
  std::string device;  // the path opened
  dev_t device_id = 0;
  ino_t device_inode = 0;

  // A card session: bound by card.request / rfsim.request, ended by a halt or a lost card.
  // While bound, the slot is in use: polling never probes it.
  field::CardBinding field, rfsim;
  std::array<bool, 2> sam_powered{};  // powered by a caller (sam.power_on): in use
  // Presence: field, sam1, sam2, rfsim.
  std::array<SlotPresence, 4> presence{};
  std::array<field::ProbeSchedule, 4> schedule;
  bool polled = false;

  std::unique_ptr<journal::Journal> journal;

  Edition edition() const { return options.edition; }

  // One exchange. 0 with the answer payload (status word first) in `answer`, the reader's
  // status word, or kCommandFailed when no valid answer came (or one shorter than `minimum`).
  // A vanished port closes the device and throws 1002.
  int TryExchange(const Request& request, std::size_t minimum, Bytes& answer);
  // The same, throwing 1000 (refused) or 1001 (no answer) for the step named as the tool names
  // it; `texts` gives the library's message for the failure.
  Bytes Exchange(std::string_view step, std::optional<Texts> texts, const Request& request,
                 std::size_t minimum = 2);
  [[noreturn]] void Fail(std::string_view step, std::optional<Texts> texts, int status);
  [[noreturn]] void Lost();
  bool PortGone() const;

  // Before an exchange with the card of a session: 1005 when the session was lost.
  void RequireCard(const field::CardBinding& binding, const char* slot);
  // After a failed exchange with the card of a session: select again (one exchange) to learn
  // whether the bound card is still there; when another card or none answers, the session is
  // lost and this throws 1005, else it returns.
  void CheckCardAfterFailure(field::CardBinding& binding, bool rfsim_slot);
  [[noreturn]] void CardChanged(const field::CardBinding& binding, const char* slot);
};

using MethodFunction = json (*)(ReaderDevice::State&, const Params&);
struct MethodEntry {
  std::string_view name;
  MethodFunction run;
  bool epurse, display;  // the editions that have it
};

// The families' tables.
std::span<const MethodEntry> ReaderMethods();  // methods_reader.cpp
std::span<const MethodEntry> CardMethods();    // methods_card.cpp
std::span<const MethodEntry> PurseMethods();   // methods_purse.cpp

}  // namespace vorlex::agent
