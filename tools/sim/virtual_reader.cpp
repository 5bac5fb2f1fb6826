#include "virtual_reader.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

#include "text_encoding.h"

namespace vorlex::sim {
namespace {

Bytes StatusOnly(std::uint16_t status) {
  return {static_cast<std::uint8_t>(status >> 8), static_cast<std::uint8_t>(status & 0xFF)};
}

Bytes WithStatus(std::uint16_t status, const Bytes& data) {
  Bytes out(2 + data.size());
  out[0] = static_cast<std::uint8_t>(status >> 8);
  out[1] = static_cast<std::uint8_t>(status & 0xFF);
  std::copy(data.begin(), data.end(), out.begin() + 2);
  return out;
}

Bytes Ok(const Bytes& data = {}) { return WithStatus(kOk, data); }

Bytes Text(const char* text) { return Bytes(text, text + std::char_traits<char>::length(text)); }

// CRC_A of ISO 14443-3, least significant byte first: the two bytes that close the ATS.
Bytes WithCrcA(Bytes bytes) {
  std::uint16_t crc = 0x6363;
  for (std::uint8_t byte : bytes) {
    byte = static_cast<std::uint8_t>(byte ^ (crc & 0xFF));
    byte = static_cast<std::uint8_t>(byte ^ (byte << 4));
    crc = static_cast<std::uint16_t>((crc >> 8) ^ (byte << 8) ^ (byte << 3) ^ (byte >> 4));
  }
  bytes.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  bytes.push_back(static_cast<std::uint8_t>(crc >> 8));
  return bytes;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// ATS: TL, T0 (TA1 TB1 TC1 present, FSC 256), TA1 106 kbit/s only, TB1 FWI 7, TC1 CID
// supported, then "VORLEX" as historical bytes.
const Bytes kAts = {0x0B, 0x78, 0x80, 0x70, 0x02, 'V', 'O', 'R', 'L', 'E', 'X'};
const Bytes kTerminal = {0x10, 0x00, 0x00, 0x00, 0x00, 0x01};
const Bytes kCpuCardInfo = {0x31, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x12, 0x34};
const Bytes kRfsimCardInfo = {0x31, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x56, 0x78};
const Bytes kRfsimId = {0x86, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD};
const Bytes kValidity = {0x20, 0x24, 0x01, 0x01, 0x20, 0x34, 0x12, 0x31};  // BCD from, to
const std::string kPurseAid = "\xF0VORLEX\x01";
constexpr char kContactlessDirectory[] = "2PAY.SYS.DDF01";

// Answer to reset: TS, T0 (TB1 TC1, 8 historical bytes), TB1, TC1, "VORLEXS" and the slot.
Bytes SamResetAnswer(char slot) {
  return {0x3B, 0x68, 0x00, 0x00, 'V', 'O',
          'R',  'L',  'E',  'X',  'S', static_cast<std::uint8_t>(slot)};
}

AppletConfig CardApplet(const Bytes& identity, const Bytes& card_info, std::uint32_t seed) {
  AppletConfig config;
  config.names = {kContactlessDirectory, kPurseAid};
  // EF 0015, public issuer data: card identity, card info, validity, version and type.
  config.files = {{0x0015, 0x15, Concat({identity, card_info, kValidity, {0x01, 0x01}})}};
  config.seed = seed;
  return config;
}

AppletConfig SamApplet(char slot) {
  AppletConfig config;
  config.names = {std::string("VORLEX.SAM") + slot};
  // EF 0016: the terminal number, which the purchase modules report too.
  config.files = {{0x0016, 0x16, kTerminal}};
  config.seed = 0x5A5A0000u + static_cast<std::uint32_t>(slot);
  return config;
}

// Saving writes PATH.tmp and renames it over PATH: where that file cannot be made (no such
// folder, no permission), no write would ever be saved, so the simulator refuses to start.
void CheckSavable(const std::filesystem::path& path) {
  std::filesystem::path temporary = path;
  temporary += ".tmp";
  const bool existed = std::filesystem::exists(temporary);
  errno = 0;
  if (!std::ofstream(temporary, std::ios::binary | std::ios::app)) {
    throw std::runtime_error("card file " + path.string() + " cannot be saved: cannot create " +
                             temporary.string() + ": " + std::strerror(errno));
  }
  std::error_code error;
  if (!existed) std::filesystem::remove(temporary, error);
}

MifareClassic1K LoadCard(const ReaderOptions& options) {
  if (!options.card_file) return MifareClassic1K(kDefaultUid);
  CheckSavable(*options.card_file);
  std::error_code error;
  if (!std::filesystem::exists(*options.card_file, error)) return MifareClassic1K(kDefaultUid);
  std::ifstream in(*options.card_file, std::ios::binary);
  const Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) {
    throw std::runtime_error("cannot read card file " + options.card_file->string());
  }
  if (bytes.size() != kCardBytes) {
    throw std::runtime_error("card file " + options.card_file->string() + " holds " +
                             std::to_string(bytes.size()) + " bytes, not a 1024-byte image");
  }
  CardImage image;
  std::copy(bytes.begin(), bytes.end(), image.begin());
  return MifareClassic1K(image);
}

Bytes UidBytes(const Uid& uid) { return Bytes(uid.begin(), uid.end()); }

}  // namespace

std::string GbkToUtf8(std::span<const std::uint8_t> gbk) {
  return text::GbkTo("UTF-8", std::string(gbk.begin(), gbk.end()));
}

std::optional<ApduCommand> ParseApduArgs(std::span<const std::uint8_t> args) {
  if (args.size() < 6 || args.size() != 6u + args[4]) return std::nullopt;
  ApduCommand command;
  command.cla = args[0];
  command.ins = args[1];
  command.p1 = args[2];
  command.p2 = args[3];
  command.le = args[5];
  command.data.assign(args.begin() + 6, args.end());
  return command;
}

VirtualReader::VirtualReader(ReaderOptions options)
    : options_(std::move(options)),
      mifare_(LoadCard(options_)),
      cpu_applet_([&] {
        AppletConfig config = CardApplet(UidBytes(mifare_.uid()), kCpuCardInfo, 0x1234567u);
        config.balance = [this] { return cpu_purse_.balance(); };
        return config;
      }()),
      sam1_{true, false, SamResetAnswer('1'), ApduApplet(SamApplet('1'))},
      sam2_{true, false, SamResetAnswer('2'), ApduApplet(SamApplet('2'))},
      rfsim_id_(kRfsimId),
      rfsim_applet_([&] {
        AppletConfig config = CardApplet(kRfsimId, kRfsimCardInfo, 0x89ABCDEu);
        config.balance = [this] { return rfsim_purse_.balance(); };
        return config;
      }()),
      cpu_purse_({UidBytes(mifare_.uid()), kCpuCardInfo, kTerminal, options_.balance}),
      rfsim_purse_({kRfsimId, kRfsimCardInfo, kTerminal, options_.balance}),
      card_inserted_(!options_.no_card),
      rfsim_inserted_(!options_.no_card) {}

void VirtualReader::SetInserted(Unit unit, bool inserted) {
  std::lock_guard lock(mu_);
  switch (unit) {
    case Unit::kCard:
      card_inserted_ = inserted;
      card_ = Presence::kIdle;
      mifare_.DropAuthentication();
      cpu_applet_.Reset();
      break;
    case Unit::kSam1:
    case Unit::kSam2: {
      SamSlot& slot = unit == Unit::kSam1 ? sam1_ : sam2_;
      slot.inserted = inserted;
      slot.powered = false;
      slot.applet.Reset();
      break;
    }
    case Unit::kRfsim:
      rfsim_inserted_ = inserted;
      rfsim_ = Presence::kIdle;
      rfsim_applet_.Reset();
      break;
  }
  Log(std::string(inserted ? "inserted: " : "removed: ") + (unit == Unit::kCard   ? "card"
                                                            : unit == Unit::kSam1 ? "SAM 1"
                                                            : unit == Unit::kSam2 ? "SAM 2"
                                                                                  : "RF-SIM"));
}

void VirtualReader::LoadImage(const CardImage& image) {
  std::lock_guard lock(mu_);
  mifare_ = MifareClassic1K(image);
  card_inserted_ = true;
  card_ = Presence::kIdle;
  cpu_applet_.Reset();
  Log("card image loaded, UID " + engine::HexText(UidBytes(mifare_.uid()), false));
}

std::uint64_t VirtualReader::Requests() const {
  std::lock_guard lock(mu_);
  return requests_;
}

Bytes VirtualReader::Answer(std::span<const std::uint8_t> request) {
  if (request.size() < 2) return StatusOnly(kBadLength);
  std::lock_guard lock(mu_);
  ++requests_;
  return Dispatch(request[0], request[1], request.subspan(2));
}

Bytes VirtualReader::Dispatch(std::uint8_t command_class, std::uint8_t code,
                              std::span<const std::uint8_t> args) {
  switch (command_class) {
    case 0x01:
      return Housekeeping(code, args);
    case 0xFF:
      if (code == 0x01) return Ok(Text(kHardwareVersion));
      if (code == 0x02) return Ok(Text(kSoftwareVersion));
      return StatusOnly(kUnknownCommand);
    case 0x04:
      return Iso14443(code, args);
    case 0x02:
      return Sam(sam1_, code, args);
    case 0x03:
      return Sam(sam2_, code, args);
    case 0x05:
      return Rfsim(code, args);
    case 0xFE:
      return Module(cpu_purse_, code, args);
    case 0xFD:
      return Module(rfsim_purse_, code, args);
    default:
      return StatusOnly(kUnknownCommand);
  }
}

Bytes VirtualReader::Housekeeping(std::uint8_t code, std::span<const std::uint8_t> args) {
  switch (code) {
    case 0x03: {  // BELL_BEEP
      if (args.size() != 2) return StatusOnly(kBadLength);
      ++beeps_;
      Log("beep, value " + std::to_string(args[0] << 8 | args[1]));
      return Ok();
    }
    case 0x04: {  // LED_DISPLAY: text, then the two value bytes
      if (args.size() < 2) return StatusOnly(kBadLength);
      display_text_.assign(args.begin(), args.end() - 2);
      const int value = args[args.size() - 2] << 8 | args[args.size() - 1];
      Log("display \"" + GbkToUtf8(display_text_) + "\", value " + std::to_string(value));
      return Ok();
    }
    default:
      return StatusOnly(kUnknownCommand);
  }
}

Bytes VirtualReader::Request(Presence& presence, bool inserted,
                             std::span<const std::uint8_t> args) {
  if (args.size() != 1) return StatusOnly(kBadLength);
  if (!inserted) return StatusOnly(kNoCard);
  // Mode 0 wakes idle cards only; mode 1 halted ones too.
  if (presence == Presence::kHalted && (args[0] & 1) == 0) return StatusOnly(kNoCard);
  presence = Presence::kSelected;
  return {};
}

Bytes VirtualReader::Iso14443(std::uint8_t code, std::span<const std::uint8_t> args) {
  if (code == 0x01) {
    mifare_.DropAuthentication();
    cpu_applet_.Reset();
    const Bytes refused = Request(card_, card_inserted_, args);
    if (!refused.empty()) return refused;
    return Ok(Concat({{0x00, 0x04}, UidBytes(mifare_.uid())}));
  }
  if (code > 0x07) return StatusOnly(kUnknownCommand);
  if (card_ != Presence::kSelected) return StatusOnly(kCardNotSelected);
  const bool iso14443_4 = options_.card != CardKind::kMifare;
  if ((code == 0x02 || code == 0x07) && !iso14443_4) {
    // A Mifare Classic card does not understand the ATS request and drops to idle.
    card_ = Presence::kIdle;
    mifare_.DropAuthentication();
    return StatusOnly(kNoIso14443_4);
  }
  if (options_.card == CardKind::kCpu && code >= 0x03 && code <= 0x05) {
    // No Mifare Classic memory: no key opens a sector.
    return StatusOnly(code == 0x03 ? kAuthFailed : kNotAuthenticated);
  }
  switch (code) {
    case 0x02:
      if (!args.empty()) return StatusOnly(kBadLength);
      return Ok(WithCrcA(kAts));
    case 0x03: {
      if (args.size() != 8) return StatusOnly(kBadLength);
      return StatusOnly(
          mifare_.Authenticate(args[0], args[1], std::span<const std::uint8_t, 6>(&args[2], 6)));
    }
    case 0x04: {
      if (args.size() != 2) return StatusOnly(kBadLength);
      Block block;
      const Status status = mifare_.Read(args[0], args[1], block);
      return status == kOk ? Ok(Bytes(block.begin(), block.end())) : StatusOnly(status);
    }
    case 0x05: {
      if (args.size() != 2 + kBlockBytes) return StatusOnly(kBadLength);
      Block block;
      std::copy(args.begin() + 2, args.end(), block.begin());
      const Status status = mifare_.Write(args[0], args[1], block);
      if (status == kOk && !SaveCard()) return StatusOnly(kCardNotSaved);
      return StatusOnly(status);
    }
    case 0x06:
      if (!args.empty()) return StatusOnly(kBadLength);
      card_ = Presence::kHalted;
      mifare_.DropAuthentication();
      return Ok();
    case 0x07: {
      const std::optional<ApduCommand> apdu = ParseApduArgs(args);
      if (!apdu) return StatusOnly(kBadLength);
      return Ok(cpu_applet_.Process(*apdu));
    }
    default:
      return StatusOnly(kUnknownCommand);
  }
}

Bytes VirtualReader::Sam(SamSlot& slot, std::uint8_t code, std::span<const std::uint8_t> args) {
  switch (code) {
    case 0x01:
      if (!args.empty()) return StatusOnly(kBadLength);
      if (!slot.inserted) return StatusOnly(kNoSam);
      slot.powered = true;
      slot.applet.Reset();
      return Ok(slot.reset_answer);
    case 0x02:
      if (!args.empty()) return StatusOnly(kBadLength);
      slot.powered = false;
      return Ok();
    case 0x03: {
      const std::optional<ApduCommand> apdu = ParseApduArgs(args);
      if (!apdu) return StatusOnly(kBadLength);
      if (!slot.powered) return StatusOnly(kSamNotPowered);
      return Ok(slot.applet.Process(*apdu));
    }
    default:
      return StatusOnly(kUnknownCommand);
  }
}

Bytes VirtualReader::Rfsim(std::uint8_t code, std::span<const std::uint8_t> args) {
  switch (code) {
    case 0x01: {
      rfsim_applet_.Reset();
      const Bytes refused = Request(rfsim_, rfsim_inserted_, args);
      return refused.empty() ? Ok(rfsim_id_) : refused;
    }
    case 0x02:
      if (!args.empty()) return StatusOnly(kBadLength);
      if (rfsim_ != Presence::kSelected) return StatusOnly(kCardNotSelected);
      rfsim_ = Presence::kHalted;
      return Ok();
    case 0x03: {
      const std::optional<ApduCommand> apdu = ParseApduArgs(args);
      if (!apdu) return StatusOnly(kBadLength);
      if (rfsim_ != Presence::kSelected) return StatusOnly(kCardNotSelected);
      return Ok(rfsim_applet_.Process(*apdu));
    }
    default:
      return StatusOnly(kUnknownCommand);
  }
}

Bytes VirtualReader::Module(PurchaseModule& module, std::uint8_t code,
                            std::span<const std::uint8_t> args) {
  const bool present = &module == &cpu_purse_ ? card_inserted_ : rfsim_inserted_;
  ModuleAnswer answer;
  switch (code) {
    case 0x01:
      answer = module.Init(args);
      break;
    case 0x02:
      answer = module.SearchAndPrepare(args, present);
      break;
    case 0x03:
      answer = args.empty() ? module.Purchase() : ModuleAnswer{kBadLength, {}};
      if (answer.status == kOk) {
        Log("purchase on the " + std::string(&module == &cpu_purse_ ? "CPU card" : "RF-SIM") +
            " purse, balance now " + std::to_string(module.balance()));
      }
      break;
    case 0x04:
      answer = args.empty() ? module.Balance(present) : ModuleAnswer{kBadLength, {}};
      break;
    case 0x05:
      answer = module.CardInfo(args, present);
      break;
    default:
      return StatusOnly(kUnknownCommand);
  }
  return answer.status == kOk ? Ok(answer.data) : StatusOnly(answer.status);
}

bool VirtualReader::SaveCard() {
  if (!options_.card_file) return true;
  // Write a sibling and rename it over the file, so that a crash never leaves half a card.
  const std::filesystem::path& path = *options_.card_file;
  std::filesystem::path temporary = path;
  temporary += ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(mifare_.image().data()), kCardBytes);
    if (!out.flush()) {
      Log("card file: cannot write " + temporary.string());
      return false;
    }
  }
  std::error_code error;
  std::filesystem::rename(temporary, path, error);
  if (error) Log("card file: cannot replace " + path.string() + ": " + error.message());
  return !error;
}

void VirtualReader::Log(const std::string& line) const {
  if (options_.log) options_.log(line);
}

std::uint32_t VirtualReader::CpuBalance() const {
  std::lock_guard lock(mu_);
  return cpu_purse_.balance();
}

std::uint32_t VirtualReader::RfsimBalance() const {
  std::lock_guard lock(mu_);
  return rfsim_purse_.balance();
}

Bytes VirtualReader::LastDisplayText() const {
  std::lock_guard lock(mu_);
  return display_text_;
}

int VirtualReader::Beeps() const {
  std::lock_guard lock(mu_);
  return beeps_;
}

CardImage VirtualReader::MifareImage() const {
  std::lock_guard lock(mu_);
  return mifare_.image();
}

Uid VirtualReader::MifareUid() const {
  std::lock_guard lock(mu_);
  return mifare_.uid();
}

Bytes VirtualReader::RfsimIdentifier() const { return rfsim_id_; }

}  // namespace vorlex::sim
