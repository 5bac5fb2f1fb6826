// A small ISO 7816-4 command responder, the same for the CPU card, the SAMs and the RF-SIM:
// SELECT by name or file id, GET CHALLENGE, READ BINARY and, where a purse backs it, the
// e-purse GET BALANCE.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "reader_frame.h"

namespace vorlex::sim {

using engine::Bytes;

struct ApduCommand {
  std::uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
  std::uint8_t le = 0;  // 0: none expected
  Bytes data;           // Lc bytes
};

struct ElementaryFile {
  std::uint16_t id;
  std::uint8_t short_id;  // for READ BINARY with P1 = 0x80 | short id
  Bytes content;
};

struct AppletConfig {
  std::vector<std::string> names;  // what SELECT by name (P1 = 04) finds
  std::vector<ElementaryFile> files;
  std::function<std::uint32_t()> balance;  // empty: no purse behind this applet
  std::uint32_t seed = 1;                  // GET CHALLENGE's sequence
};

class ApduApplet {
 public:
  explicit ApduApplet(AppletConfig config) : config_(std::move(config)), random_(config_.seed) {}

  // Response data followed by SW1 SW2, as a card answers.
  Bytes Process(const ApduCommand& command);
  // A new power-on or card request: nothing is selected.
  void Reset() { current_file_.reset(); }

 private:
  Bytes Select(const ApduCommand& command);
  Bytes GetChallenge(const ApduCommand& command);
  Bytes ReadBinary(const ApduCommand& command);
  const ElementaryFile* FindFile(std::uint16_t id) const;
  std::uint8_t NextRandom();

  AppletConfig config_;
  std::optional<std::size_t> current_file_;  // index into config_.files
  std::uint32_t random_;
};

}  // namespace vorlex::sim
