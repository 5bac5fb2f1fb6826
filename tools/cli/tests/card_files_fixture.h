// The simulator's reader on a pty, a scratch folder for dump and key files, and the vorlex
// program run against them: shared by the card file tests and their benchmark.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "card_image.h"
#include "numbers.h"
#include "scripted_reader.h"
#include "sim_responder.h"
#include "tool_runner.h"
#include "virtual_reader.h"

namespace vorlex::sim {

inline const std::optional<cli::card::Key> kTransportKey =
    cli::card::Key{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
inline const std::optional<cli::card::Key> kHundredthKey =
    cli::card::Key{0xA0, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5};

class CardFilesSim {
 public:
  explicit CardFilesSim(FaultOptions faults = {})
      : faults_(faults),
        dir_(std::filesystem::temp_directory_path() /
             ("vorlex-card-files-" + std::to_string(getpid()))) {
    std::filesystem::create_directories(dir_);
    UseCard(std::nullopt);
  }
  ~CardFilesSim() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // The card in the field from now on: `image`, or a fresh card.
  void UseCard(const std::optional<CardImage>& image) {
    ReaderOptions options;
    if (image) {
      options.card_file = dir_ / "sim-card.bin";
      std::filesystem::remove(*options.card_file);
      Write("sim-card.bin", std::string(image->begin(), image->end()));
    }
    auto reader = std::make_unique<VirtualReader>(options);
    engine_.SetResponder(MakeResponder(*reader, faults_));
    reader_ = std::move(reader);
  }

  // `hook` sees every request before the card answers it.
  void BeforeEachRequest(std::function<void(const std::vector<std::uint8_t>& payload)> hook) {
    engine_.SetResponder([inner = MakeResponder(*reader_, faults_), hook](const auto& frame) {
      hook(frame.payload);
      return inner(frame);
    });
  }

  Outcome Vorlex(std::vector<std::string> args) {
    args.insert(args.begin(), {"--port", engine_.port()});
    return RunTool(std::move(args));
  }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  std::string Write(const std::string& name, const std::string& content) const {
    std::ofstream(Path(name), std::ios::binary) << content;
    return Path(name);
  }
  std::string Read(const std::string& name) const {
    std::ostringstream content;
    content << std::ifstream(Path(name), std::ios::binary).rdbuf();
    return content.str();
  }
  // The card as `vorlex dump --format FORMAT` writes it.
  std::string ToolDump(const std::string& format) {
    const Outcome outcome = Vorlex({"dump", "--format", format, "--output", Path("dump")});
    if (outcome.exit_status != 0) throw std::runtime_error("dump: " + outcome.err);
    return Read("dump");
  }

  // A key list of 100 keys, the transport key first and kHundredthKey last, with comments.
  static std::string HundredKeys() {
    std::string keys = "# 100 keys\nFFFFFFFFFFFF\n";
    for (int i = 2; i < 100; ++i) {
      char line[32];
      std::snprintf(line, sizeof line, "%06X%06X  # key %d\n", i * 0x10101, i * 0x3579, i);
      keys += line;
    }
    return keys + "\nA0B1C2D3E4F5\n";
  }
  // Key A of sector s is A0A1A2A3A4nn and key B B0B1B2B3B4nn, nn = s modulo 4 except for key
  // A of sector 4 (44) and key B of sectors 4 and 12-15 (s): 14 keys, each tried for a sector
  // only after the keys found so far. Key B is hidden by the access bits (trailer 011: key B alone
  // changes the trailer); block 0 is free (000), block 1 is written by key B only (100), block
  // 2 read and written by key B only (011). Data blocks carry `seed`.
  static cli::card::Key KeyAOf(int sector) {
    return {0xA0, 0xA1, 0xA2,
            0xA3, 0xA4, static_cast<std::uint8_t>(sector == 4 ? 0x44 : sector % 4)};
  }
  static cli::card::Key KeyBOf(int sector) {
    return {0xB0, 0xB1,
            0xB2, 0xB3,
            0xB4, static_cast<std::uint8_t>(sector >= 12 || sector == 4 ? sector : sector % 4)};
  }
  static CardImage TwoKeyCard(std::uint8_t seed, const Uid& uid = kDefaultUid) {
    CardImage image = MifareClassic1K(uid).image();
    const auto access = EncodeAccessBits({0b000, 0b100, 0b011, 0b011});
    for (int sector = 0; sector < kSectors; ++sector) {
      for (int block = sector == 0 ? 1 : 0; block < 3; ++block) {
        for (std::size_t i = 0; i < kBlockBytes; ++i) {
          image[(sector * 4 + block) * kBlockBytes + i] =
              static_cast<std::uint8_t>(seed * 31 + sector * 16 + block * 4 + i);
        }
      }
      std::uint8_t* trailer = &image[(sector * 4 + 3) * kBlockBytes];
      const auto a = KeyAOf(sector), b = KeyBOf(sector);
      std::copy(a.begin(), a.end(), trailer);
      std::copy(access.begin(), access.end(), trailer + 6);
      std::copy(b.begin(), b.end(), trailer + 10);
    }
    return image;
  }
  // The keys of the sectors in `a_sectors` as key A and `b_sectors` as key B, key B first.
  static std::string KeyList(const std::vector<int>& a_sectors, const std::vector<int>& b_sectors) {
    std::string keys = "# both kinds, mixed\n";
    for (const int s : b_sectors) keys += cli::HexOf(KeyBOf(s).data(), 6) + "\n";
    for (const int s : a_sectors) keys += cli::HexOf(KeyAOf(s).data(), 6) + "\n";
    return keys;
  }
  static std::vector<int> Sectors(int from, int to) {
    std::vector<int> out;
    for (int s = from; s <= to; ++s) out.push_back(s);
    return out;
  }

  // A fresh card whose odd sectors have kHundredthKey for key A and key B.
  static CardImage HalfOnTheHundredthKey() {
    CardImage image = MifareClassic1K(kDefaultUid).image();
    for (int sector = 1; sector < kSectors; sector += 2) {
      std::uint8_t* trailer = &image[(sector * 4 + 3) * kBlockBytes];
      std::copy(kHundredthKey->begin(), kHundredthKey->end(), trailer);
      std::copy(kHundredthKey->begin(), kHundredthKey->end(), trailer + 10);
    }
    return image;
  }

 protected:
  FaultOptions faults_;
  std::filesystem::path dir_;
  engine::ScriptedReader engine_;
  std::unique_ptr<VirtualReader> reader_;
};

}  // namespace vorlex::sim
