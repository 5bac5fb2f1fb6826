#include "apdu_applet.h"

#include <algorithm>

namespace vorlex::sim {
namespace {

Bytes Sw(std::uint16_t sw, Bytes data = {}) {
  data.push_back(static_cast<std::uint8_t>(sw >> 8));
  data.push_back(static_cast<std::uint8_t>(sw & 0xFF));
  return data;
}

constexpr std::uint16_t kSwOk = 0x9000, kSwEndOfFile = 0x6282, kSwWrongLength = 0x6700,
                        kSwNoCurrentEf = 0x6986, kSwNotFound = 0x6A82, kSwWrongP1P2 = 0x6A86,
                        kSwWrongOffset = 0x6B00, kSwUnknownIns = 0x6D00, kSwUnknownCla = 0x6E00;
constexpr std::uint16_t kMasterFile = 0x3F00;

}  // namespace

Bytes ApduApplet::Process(const ApduCommand& command) {
  // Inter-industry (0x0X) and proprietary (0x8X) classes; secure messaging bits are ignored.
  if ((command.cla & 0x70) != 0) return Sw(kSwUnknownCla);
  switch (command.ins) {
    case 0xA4:
      return Select(command);
    case 0x84:
      return GetChallenge(command);
    case 0xB0:
      return ReadBinary(command);
    case 0x5C:
      if (command.cla == 0x80 && config_.balance) {
        if (command.p1 != 0x00 || command.p2 != 0x02) return Sw(kSwWrongP1P2);
        if (command.le != 4) return Sw(kSwWrongLength);
        const std::uint32_t balance = config_.balance();
        return Sw(
            kSwOk,
            {static_cast<std::uint8_t>(balance >> 24), static_cast<std::uint8_t>(balance >> 16),
             static_cast<std::uint8_t>(balance >> 8), static_cast<std::uint8_t>(balance)});
      }
      return Sw(kSwUnknownIns);
    default:
      return Sw(kSwUnknownIns);
  }
}

Bytes ApduApplet::Select(const ApduCommand& command) {
  if (command.p1 == 0x04) {
    const std::string name(command.data.begin(), command.data.end());
    if (std::find(config_.names.begin(), config_.names.end(), name) == config_.names.end()) {
      return Sw(kSwNotFound);
    }
    current_file_.reset();
    if (command.p2 == 0x0C) return Sw(kSwOk);  // no FCI wanted
    // FCI: the DF name and an empty proprietary template.
    Bytes fci{0x6F, static_cast<std::uint8_t>(name.size() + 4), 0x84,
              static_cast<std::uint8_t>(name.size())};
    fci.insert(fci.end(), name.begin(), name.end());
    fci.insert(fci.end(), {0xA5, 0x00});
    return Sw(kSwOk, std::move(fci));
  }
  if (command.p1 != 0x00 && command.p1 != 0x02) return Sw(kSwWrongP1P2);
  if (command.data.size() != 2) return Sw(kSwWrongLength);
  const std::uint16_t id = static_cast<std::uint16_t>(command.data[0] << 8 | command.data[1]);
  if (id == kMasterFile) {
    current_file_.reset();
    return Sw(kSwOk);
  }
  const ElementaryFile* file = FindFile(id);
  if (file == nullptr) return Sw(kSwNotFound);
  current_file_ = static_cast<std::size_t>(file - config_.files.data());
  return Sw(kSwOk);
}

Bytes ApduApplet::GetChallenge(const ApduCommand& command) {
  if (command.p1 != 0 || command.p2 != 0) return Sw(kSwWrongP1P2);
  if (command.le == 0 || !command.data.empty()) return Sw(kSwWrongLength);
  Bytes challenge(command.le);
  for (std::uint8_t& byte : challenge) byte = NextRandom();
  return Sw(kSwOk, std::move(challenge));
}

Bytes ApduApplet::ReadBinary(const ApduCommand& command) {
  if (!command.data.empty()) return Sw(kSwWrongLength);
  const ElementaryFile* file = nullptr;
  std::size_t offset = 0;
  if (command.p1 & 0x80) {
    if (command.p1 & 0x60) return Sw(kSwWrongP1P2);
    const std::uint8_t short_id = command.p1 & 0x1F;
    const auto found =
        std::find_if(config_.files.begin(), config_.files.end(),
                     [&](const ElementaryFile& f) { return f.short_id == short_id; });
    if (found == config_.files.end()) return Sw(kSwNotFound);
    current_file_ = static_cast<std::size_t>(found - config_.files.begin());
    file = &*found;
    offset = command.p2;
  } else {
    if (!current_file_) return Sw(kSwNoCurrentEf);
    file = &config_.files[*current_file_];
    offset = static_cast<std::size_t>(command.p1 << 8 | command.p2);
  }
  if (offset > file->content.size()) return Sw(kSwWrongOffset);
  const std::size_t available = file->content.size() - offset;
  // No Le reads to the end of the file, as Le 00 (256) would.
  const std::size_t wanted = command.le == 0 ? 256 : command.le;
  const std::size_t count = std::min(wanted, available);
  Bytes data(file->content.begin() + static_cast<std::ptrdiff_t>(offset),
             file->content.begin() + static_cast<std::ptrdiff_t>(offset + count));
  return Sw(command.le != 0 && count < wanted ? kSwEndOfFile : kSwOk, std::move(data));
}

const ElementaryFile* ApduApplet::FindFile(std::uint16_t id) const {
  for (const ElementaryFile& file : config_.files) {
    if (file.id == id) return &file;
  }
  return nullptr;
}

std::uint8_t ApduApplet::NextRandom() {
  // xorshift32: not secret, but a different challenge every time, repeatable per seed.
  random_ ^= random_ << 13;
  random_ ^= random_ >> 17;
  random_ ^= random_ << 5;
  return static_cast<std::uint8_t>(random_ >> 24);
}

}  // namespace vorlex::sim
