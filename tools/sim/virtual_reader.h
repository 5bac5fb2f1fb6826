// The simulated reader: one request payload in, one answer payload (status word + data) out.
// Thread-safe; the card models live here for the simulator's lifetime.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "apdu_applet.h"
#include "mifare_classic.h"
#include "purse.h"
#include "reader_frame.h"
#include "sim_status.h"

namespace vorlex::sim {

// The cards a field sees: Mifare Classic 1K alone (no ATS), an ISO 14443-4 CPU card alone, or
// both in one card (the default).
enum class CardKind { kMifare, kCpu, kDual };

// What `vorlex-sim ctl` takes out and puts back.
enum class Unit { kCard, kSam1, kSam2, kRfsim };

struct ReaderOptions {
  CardKind card = CardKind::kDual;
  std::uint32_t balance = 10000;  // both purses' starting balance
  bool no_card = false;           // start with an empty field: card searches answer kNoCard
  // Mifare image (1024 bytes): loaded when it exists, saved after every successful write; a
  // write whose save fails answers kCardNotSaved.
  std::optional<std::filesystem::path> card_file;
  // Display text, beeps, card file saves. Called with the reader's lock held.
  std::function<void(const std::string&)> log;
};

inline constexpr Uid kDefaultUid = {0x3A, 0x5C, 0x71, 0x9E};
inline constexpr char kHardwareVersion[] = "VORLEX-SIM HW 1.0";
inline constexpr char kSoftwareVersion[] = "VORLEX-SIM SW 1.0";

// GBK bytes as UTF-8; bytes that are not GBK become U+FFFD.
std::string GbkToUtf8(std::span<const std::uint8_t> gbk);

class VirtualReader {
 public:
  // Throws std::runtime_error when the card file exists but is not a 1024-byte image, or when
  // it could not be saved.
  explicit VirtualReader(ReaderOptions options = {});

  Bytes Answer(std::span<const std::uint8_t> request);

  // At run time (vorlex-sim ctl): take a card or SAM out, put it back; another Mifare image
  // for the card, which also puts it back. A card taken out loses its selection.
  void SetInserted(Unit unit, bool inserted);
  void LoadImage(const CardImage& image);
  std::uint64_t Requests() const;  // requests answered since the start

  // For tests and the console.
  std::uint32_t CpuBalance() const;
  std::uint32_t RfsimBalance() const;
  Bytes LastDisplayText() const;
  int Beeps() const;
  CardImage MifareImage() const;
  Uid MifareUid() const;
  Bytes RfsimIdentifier() const;

 private:
  enum class Presence { kIdle, kSelected, kHalted };
  struct SamSlot {
    bool inserted = true;
    bool powered = false;
    Bytes reset_answer;
    ApduApplet applet;
  };

  Bytes Dispatch(std::uint8_t command_class, std::uint8_t code, std::span<const std::uint8_t> args);
  Bytes Housekeeping(std::uint8_t code, std::span<const std::uint8_t> args);
  Bytes Iso14443(std::uint8_t code, std::span<const std::uint8_t> args);
  Bytes Sam(SamSlot& slot, std::uint8_t code, std::span<const std::uint8_t> args);
  Bytes Rfsim(std::uint8_t code, std::span<const std::uint8_t> args);
  Bytes Module(PurchaseModule& module, std::uint8_t code, std::span<const std::uint8_t> args);
  Bytes Request(Presence& presence, bool inserted, std::span<const std::uint8_t> args);
  bool SaveCard();  // false when the image could not be saved
  void Log(const std::string& line) const;

  mutable std::mutex mu_;
  ReaderOptions options_;
  MifareClassic1K mifare_;
  Presence card_ = Presence::kIdle;
  ApduApplet cpu_applet_;
  SamSlot sam1_, sam2_;
  Bytes rfsim_id_;
  Presence rfsim_ = Presence::kIdle;
  ApduApplet rfsim_applet_;
  PurchaseModule cpu_purse_, rfsim_purse_;
  Bytes display_text_;
  int beeps_ = 0;
  bool card_inserted_ = true;
  bool rfsim_inserted_ = true;
  std::uint64_t requests_ = 0;
};

// The APDU a request carries after its class and code: CLA INS P1 P2 Lc Le data(Lc).
std::optional<ApduCommand> ParseApduArgs(std::span<const std::uint8_t> args);

}  // namespace vorlex::sim
