// The simulator's reader on a pty, a scratch folder for dump and key files, and the vorlex
// program run against them: shared by the card file tests and their benchmark.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "card_image.h"
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

  Outcome Vorlex(std::vector<std::string> args,
                 const std::optional<std::string>& input = std::nullopt) {
    args.insert(args.begin(), {"--port", engine_.port()});
    return RunTool(std::move(args), {"LC_ALL=C"}, input);
  }
  std::size_t RequestCount() const { return engine_.RequestCount(); }

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
