// One purchase module of the reader (CPU card class FE, RF-SIM class FD) with the purse of the
// card it finds. Answers are the data after the status word.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "reader_frame.h"
#include "sim_status.h"

namespace vorlex::sim {

using engine::Bytes;

struct ModuleAnswer {
  Status status = kOk;
  Bytes data;
};

struct PurseConfig {
  Bytes card_id;    // 4 bytes (CPU card) or 8 (RF-SIM)
  Bytes card_info;  // 10 bytes: issuer code (2) and application serial number (8)
  Bytes terminal;   // 6 bytes: the terminal number the module reports
  std::uint32_t balance = 10000;
};

class PurchaseModule {
 public:
  explicit PurchaseModule(PurseConfig config) : config_(std::move(config)) {}

  // 01: parameters are accepted as they come; answers the terminal number.
  ModuleAnswer Init(std::span<const std::uint8_t> args);
  // 02: parameter, amount (4, big-endian), transaction date and time (7, BCD YYYYMMDDhhmmss).
  ModuleAnswer SearchAndPrepare(std::span<const std::uint8_t> args, bool card_present);
  // 03: debits the prepared amount.
  ModuleAnswer Purchase();
  ModuleAnswer Balance(bool card_present) const;
  ModuleAnswer CardInfo(std::span<const std::uint8_t> args, bool card_present) const;

  std::uint32_t balance() const { return config_.balance; }
  std::uint32_t transactions() const { return counter_; }

 private:
  struct Prepared {
    std::uint32_t amount;
    std::uint32_t challenge;
    Bytes date_time;
  };
  std::uint32_t Tac(const Prepared& prepared) const;

  PurseConfig config_;
  bool initialised_ = false;
  std::uint16_t counter_ = 0;  // the card's transaction counter
  std::optional<Prepared> prepared_;
};

}  // namespace vorlex::sim
