#include "purse.h"

#include <algorithm>

namespace vorlex::sim {
namespace {

void Append(Bytes& out, std::uint32_t value, int width) {
  for (int shift = 8 * (width - 1); shift >= 0; shift -= 8) {
    out.push_back(static_cast<std::uint8_t>(value >> shift));
  }
}

void Append(Bytes& out, const Bytes& bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

constexpr std::uint8_t kKeyVersion = 0x01;
constexpr std::uint8_t kAlgorithm = 0x00;
constexpr std::uint32_t kMaxValue24 = 0xFFFFFF;
constexpr std::size_t kSearchArgs = 1 + 4 + 7;
constexpr std::size_t kCardInfoArgs = 12;

// FNV-1a: a stand-in for the card's transaction code, stable for the same inputs.
std::uint32_t Fnv1a(std::uint32_t hash, std::span<const std::uint8_t> bytes) {
  for (std::uint8_t byte : bytes) hash = (hash ^ byte) * 16777619u;
  return hash;
}

}  // namespace

ModuleAnswer PurchaseModule::Init(std::span<const std::uint8_t> args) {
  if (args.size() != 2) return {kBadLength, {}};
  initialised_ = true;
  prepared_.reset();
  return {kOk, config_.terminal};
}

ModuleAnswer PurchaseModule::SearchAndPrepare(std::span<const std::uint8_t> args,
                                              bool card_present) {
  if (args.size() != kSearchArgs) return {kBadLength, {}};
  if (!initialised_) return {kModuleNotInitialised, {}};
  prepared_.reset();
  if (!card_present) return {kNoCard, {}};
  const std::uint32_t amount = static_cast<std::uint32_t>(args[1]) << 24 |
                               static_cast<std::uint32_t>(args[2]) << 16 |
                               static_cast<std::uint32_t>(args[3]) << 8 | args[4];
  if (amount == 0 || amount > 0x7FFFFFFF) return {kBadAmount, {}};
  if (amount > config_.balance) return {kInsufficientBalance, {}};

  Prepared prepared{amount, 0, Bytes(args.begin() + 5, args.end())};
  prepared.challenge = Fnv1a(Fnv1a(2166136261u, args), config_.card_id) ^ counter_;
  Bytes data;
  Append(data, config_.card_id);
  Append(data, config_.card_info);
  Append(data, prepared.challenge, 4);  // the card's random number for this purchase
  data.push_back(kKeyVersion);
  data.push_back(kAlgorithm);
  Append(data, std::min(config_.balance, kMaxValue24), 3);
  Append(data, counter_, 2);
  Append(data, amount, 4);
  prepared_ = std::move(prepared);
  return {kOk, std::move(data)};
}

ModuleAnswer PurchaseModule::Purchase() {
  if (!prepared_) return {kNoPurchasePrepared, {}};
  const Prepared prepared = std::move(*prepared_);
  prepared_.reset();
  // The balance cannot have moved since the search: every debit goes through a search first.
  config_.balance -= prepared.amount;
  Bytes data;
  Append(data, counter_, 4);  // transaction serial: the counter this purchase used
  Append(data, prepared.amount, 4);
  Append(data, config_.balance, 4);
  Append(data, Tac(prepared), 4);
  ++counter_;
  return {kOk, std::move(data)};
}

ModuleAnswer PurchaseModule::Balance(bool card_present) const {
  if (!card_present) return {kNoCard, {}};
  Bytes data;
  Append(data, config_.balance, 4);
  return {kOk, std::move(data)};
}

ModuleAnswer PurchaseModule::CardInfo(std::span<const std::uint8_t> args, bool card_present) const {
  if (args.size() != kCardInfoArgs) return {kBadLength, {}};
  if (!card_present) return {kNoCard, {}};
  Bytes data;
  Append(data, config_.card_id);
  Append(data, config_.card_info);
  Append(data, std::min(config_.balance, kMaxValue24), 3);
  return {kOk, std::move(data)};
}

std::uint32_t PurchaseModule::Tac(const Prepared& prepared) const {
  Bytes input;
  Append(input, config_.card_id);
  Append(input, prepared.amount, 4);
  Append(input, counter_, 2);
  Append(input, config_.terminal);
  Append(input, prepared.date_time);
  return Fnv1a(2166136261u, input);
}

}  // namespace vorlex::sim
