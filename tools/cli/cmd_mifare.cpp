// ISO 14443-A cards and Mifare Classic memory: card-request, ats, auth, read, write, halt, dump.
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <iostream>
#include <memory>

#include "commands.h"
#include "interrupt.h"
#include "mifare_dump.h"
#include "numbers.h"

namespace vorlex::cli {
namespace {

constexpr char kDefaultKey[] = "FFFFFFFFFFFF";

struct Address {
  int sector = 0, block = 0;
};

// The display edition sends the sector modulo 15 and the block modulo 4: outside those ranges
// a command would reach another block than the one named, so it is refused.
Address AddressOf(const Session& s, const std::string& sector, const std::string& block) {
  const bool display = s.edition() == Edition::kDisplay;
  const std::string note =
      display ? " in the display edition (it sends sector mod 15, block mod 4)" : "";
  return {static_cast<int>(ParseNumber(sector, 0, display ? 14 : 255, "SECTOR" + note)),
          static_cast<int>(ParseNumber(block, 0, display ? 3 : 15, "BLOCK" + note))};
}

int KeyTypeOf(const std::string& type) {
  if (type == "A" || type == "a") return 0;
  if (type == "B" || type == "b") return 1;
  throw UsageError("--key-type is A or B, not \"" + type + "\"");
}

std::string Joined(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
  return text;
}

BlockBytes BlockOf(const std::string& digits) {
  BlockBytes bytes{};
  const auto values = BytesOfHex(digits);
  std::copy(values.begin(), values.end(), bytes.begin());
  return bytes;
}

struct KeyArgs {
  std::string type = "A", key = kDefaultKey;
  void AddTo(CLI::App* command) {
    command->add_option("--key-type", type, "A or B (default A)");
    command->add_option("--key", key, "the 6-byte key in hex (default FFFFFFFFFFFF)");
  }
  MifareKey Parse() const {
    MifareKey parsed;
    parsed.type = KeyTypeOf(type);
    const auto bytes = BytesOfHex(ParseHexBytes(key, 6, "--key"));
    std::copy(bytes.begin(), bytes.end(), parsed.bytes.begin());
    return parsed;
  }
};

class Progress {
 public:
  explicit Progress(int total) : total_(total), shown_(isatty(STDERR_FILENO) != 0) {}
  ~Progress() {  // ends the line whatever way the dump ends
    if (shown_) std::cerr << "\r" << std::string(40, ' ') << "\r" << std::flush;
  }
  void Show(int done) const {
    if (!shown_) return;
    constexpr int kWidth = 20;
    const int filled = done * kWidth / total_;
    std::cerr << "\rdump [" << std::string(filled, '#') << std::string(kWidth - filled, '.') << "] "
              << done << "/" << total_ << " sectors" << std::flush;
  }

 private:
  int total_;
  bool shown_;
};

void Report(Session& s, const MifareDump& dump) {
  Json sectors = Json::array();
  for (const DumpSector& sector : dump.sectors) {
    Json entry = {{"sector", sector.number}, {"ok", sector.failed_step.empty()}};
    if (sector.key) {
      entry["key_type"] = sector.key->type == 0 ? "A" : "B";
      entry["key"] = HexOf(sector.key->bytes.data(), 6);
    }
    Json blocks = Json::array();
    for (const DumpBlock& block : sector.blocks) {
      Json b = {{"block", block.number}, {"data", HexOf(block.bytes.data(), 16)}};
      Json unknown = Json::array();
      for (int i = 0; i < 16; ++i) {
        if (!block.known[static_cast<std::size_t>(i)]) unknown.push_back(i);
      }
      if (!unknown.empty()) b["unknown_bytes"] = unknown;
      blocks.push_back(b);
      char line[80];
      std::snprintf(line, sizeof line, "%6d  %5d  %s", sector.number, block.number,
                    HexOf(block.bytes.data(), 16).c_str());
      const bool trailer = KindOf(sector.number, block.number) == BlockKind::kTrailer;
      s.out().Line(std::string(line) + (trailer ? "  access " + DescribeAccess(block.bytes) : ""));
    }
    entry["blocks"] = blocks;
    if (!sector.failed_step.empty()) {
      entry["step"] = sector.failed_step;
      entry["status"] = sector.failed_status;
      entry["status_hex"] = StatusHex(sector.failed_status);
      char line[80];
      std::snprintf(line, sizeof line, "%6d      -  %s failed (status %s)", sector.number,
                    sector.failed_step.c_str(), StatusHex(sector.failed_status).c_str());
      s.out().Line(line);
    }
    sectors.push_back(entry);
  }
  if (dump.stopped_at_sector) {
    s.out().Line("(stopped at sector " + std::to_string(*dump.stopped_at_sector) + ": " +
                 dump.stopped_because + ")");
    s.out().JsonOnly("stopped_at_sector", *dump.stopped_at_sector);
  }
  if (dump.sectors_planned == 15) s.out().Line("sector 15 is out of the display edition's reach");
  int failed = 0;
  for (const DumpSector& sector : dump.sectors) failed += sector.failed_step.empty() ? 0 : 1;
  s.out().JsonOnly("sectors", sectors);
  s.out().JsonOnly("sectors_failed", failed);
  s.out().JsonOnly("complete", !dump.stopped_at_sector.has_value());
}

void Dump(Session& s, const MifareKey& key) {
  const EditionLibrary& lib = s.lib();
  MifareDump dump;
  // The display edition sends the sector modulo 15: its sector 15 would read sector 0.
  dump.sectors_planned = lib.edition() == Edition::kDisplay ? 15 : 16;
  const std::string key_hex = HexOf(key.bytes.data(), 6);
  char atqa[5] = {}, uid[9] = {};
  Message message;
  s.Check("card_request", lib.REQ_14443_CARD(s.reader(), 1, atqa, uid, message.text), message.text);
  dump.atqa = atqa;
  dump.uid = uid;
  s.out().Field("uid", uid);
  s.out().Field("key", std::string(key.type == 0 ? "A " : "B ") + key_hex);
  s.out().Line("sector  block  data");

  const Progress progress(dump.sectors_planned);
  try {
    for (int number = 0; number < dump.sectors_planned; ++number) {
      progress.Show(number);
      DumpSector& sector = dump.sectors.emplace_back();
      sector.number = number;
      s.Checkpoint("sector " + std::to_string(number));
      Message auth;
      const int auth_result =
          lib.MIFS_AUTH(s.reader(), number, key.type, key_hex.c_str(), auth.text);
      if (!s.Call("auth", auth_result, auth.text)) {
        sector.failed_step = "auth";
        sector.failed_status = auth_result;
        // A card that failed an authentication wants selecting again before the next one.
        s.Checkpoint("sector " + std::to_string(number + 1));
        Message again;
        s.Call("card_request", lib.REQ_14443_CARD(s.reader(), 1, atqa, uid, again.text),
               again.text);
        continue;
      }
      sector.key = key;
      const int blocks = number < 32 ? 4 : 16;
      for (int b = 0; b < blocks; ++b) {
        s.Checkpoint("sector " + std::to_string(number) + " block " + std::to_string(b));
        char data[33] = {};
        Message read;
        const int result = lib.MIFS_READ(s.reader(), number, b, data, read.text);
        if (!s.Call("read", result, read.text)) {
          sector.failed_step = "read";
          sector.failed_status = result;
          break;
        }
        DumpBlock& block = sector.blocks.emplace_back();
        block.number = b;
        block.bytes = BlockOf(data);
        block.known.fill(true);
        if (KindOf(number, b) == BlockKind::kTrailer) MarkTrailerBytes(key, block);
      }
    }
  } catch (const Stopped& stop) {
    // The sector it was in is kept with what it had, so the partial dump says where it ends.
    dump.stopped_at_sector = dump.sectors.empty() ? 0 : dump.sectors.back().number;
    dump.stopped_because = stop.signal != 0 ? "interrupted" : "the reader stopped answering";
    Report(s, dump);
    throw;
  }
  progress.Show(dump.sectors_planned);
  Report(s, dump);
  for (const DumpSector& sector : dump.sectors) {
    if (!sector.failed_step.empty()) {
      s.last_failure() =
          CommandFailed{sector.failed_step, sector.failed_status, "",
                        sector.failed_step + " of sector " + std::to_string(sector.number) +
                            " failed (status 0x" + StatusHex(sector.failed_status) +
                            "); the other sectors are shown",
                        "another key may open it: --key HEX, --key-type B"};
      s.Fail();
    }
  }
}

}  // namespace

void MarkTrailerBytes(const MifareKey& key, DumpBlock& block) {
  const auto conditions = AccessConditionsOf(block.bytes);
  const bool key_b_readable = conditions && KeyBReadable((*conditions)[3]);
  for (int i = 0; i < 6; ++i) {
    block.known[static_cast<std::size_t>(i)] = key.type == 0;
    block.known[static_cast<std::size_t>(10 + i)] = key_b_readable || key.type == 1;
  }
  std::copy(key.bytes.begin(), key.bytes.end(), block.bytes.begin() + (key.type == 0 ? 0 : 10));
}

int RequestUntilAnswered(Session&, double seconds, const std::function<int()>& request) {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
  for (;;) {
    const int result = request();
    // A card answered, or the reader did not (that is for the diagnosis, not for waiting).
    if (result == 0 || result == 1 || PendingSignal() != 0) return result;
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::milliseconds(0)) return result;
    const auto pause =
        std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(100));
    if (!SleepUnlessSignalled(std::chrono::duration_cast<std::chrono::milliseconds>(pause))) {
      return result;
    }
  }
}

void AddMifareCommands(CLI::App& app, Registry& registry) {
  struct RequestArgs {
    bool all = false;
    std::string wait;
  };
  auto r = std::make_shared<RequestArgs>();
  CLI::App* request = app.add_subcommand("card-request", "look for an ISO 14443-A card");
  request->add_flag("--all", r->all, "wake a halted card too (request mode 1)");
  request
      ->add_option("--wait", r->wait,
                   "repeat the request (every 100 ms) until a card answers, at most "
                   "SECONDS (default 10)")
      ->expected(0, 1)
      ->type_name("[SECONDS]");
  registry.Add(request, [r, request](Session& s) {
    const bool waiting = request->count("--wait") > 0;
    const double seconds =
        r->wait.empty() ? 10.0 : static_cast<double>(ParseNumber(r->wait, 0, 86400, "--wait"));
    s.Open();
    char atqa[5] = {}, uid[9] = {};
    Message message;
    const int mode = r->all ? 1 : 0;
    const auto once = [&] {
      std::memset(message.text, 0, sizeof message.text);
      return s.lib().REQ_14443_CARD(s.reader(), mode, atqa, uid, message.text);
    };
    const int result = waiting ? RequestUntilAnswered(s, seconds, once) : once();
    if (!s.Call("card_request", result, message.text)) {
      if (waiting && PendingSignal() == 0) {
        s.last_failure().explanation =
            "no card within " + std::to_string(static_cast<int>(seconds)) +
            " s (the last request gave status 0x" + StatusHex(result) + ")";
        s.last_failure().hint = "";
      }
      if (PendingSignal() != 0)
        throw Stopped{PendingSignal(), "card_request", "interrupted while waiting for a card"};
      s.Fail();
    }
    s.out().Field("atqa", atqa);
    s.out().Field("uid", uid);
  });

  registry.Add(
      app.add_subcommand("ats", "the card's answer to select (ISO 14443-4 cards)"), [](Session& s) {
        s.Open();
        char ats[VORLEX_ATS_TEXT_SIZE] = {};
        Message message;
        s.Check("ats", s.lib().ATS_14443_CARD(s.reader(), ats, message.text), message.text);
        s.out().Field("ats", ats);
      });

  struct AuthArgs {
    std::string sector;
    KeyArgs key;
  };
  auto a = std::make_shared<AuthArgs>();
  CLI::App* auth = app.add_subcommand("auth", "authenticate a Mifare sector with a key");
  auth->add_option("sector", a->sector, "the sector, 0-255 (display edition 0-14)")->required();
  a->key.AddTo(auth);
  registry.Add(auth, [a](Session& s) {
    const MifareKey key = a->key.Parse();
    s.Open();
    const int sector = AddressOf(s, a->sector, "0").sector;
    const std::string hex = HexOf(key.bytes.data(), 6);
    Message message;
    s.Check("auth", s.lib().MIFS_AUTH(s.reader(), sector, key.type, hex.c_str(), message.text),
            message.text);
    s.out().Field("sector", sector, std::to_string(sector));
    s.out().Field("key_type", key.type == 0 ? "A" : "B");
  });

  struct BlockArgs {
    std::string sector, block;
    std::vector<std::string> data;
    WriteAllowance allowed;
  };
  auto rd = std::make_shared<BlockArgs>();
  CLI::App* read = app.add_subcommand("read", "read a 16-byte block of an authenticated sector");
  read->add_option("sector", rd->sector, "the sector, 0-255 (display edition 0-14)")->required();
  read->add_option("block", rd->block, "the block in the sector, 0-15 (display edition 0-3)")
      ->required();
  registry.Add(read, [rd](Session& s) {
    s.Open();
    const Address at = AddressOf(s, rd->sector, rd->block);
    char data[33] = {};
    Message message;
    s.Check("read", s.lib().MIFS_READ(s.reader(), at.sector, at.block, data, message.text),
            message.text);
    s.out().Field("sector", at.sector, std::to_string(at.sector));
    s.out().Field("block", at.block, std::to_string(at.block));
    s.out().Field("data", data);
    if (KindOf(at.sector, at.block) == BlockKind::kTrailer) {
      s.out().Field("access", DescribeAccess(BlockOf(data)));
    }
  });

  auto w = std::make_shared<BlockArgs>();
  CLI::App* write = app.add_subcommand(
      "write", "write a 16-byte block (trailers and block 0 only with their --allow options)");
  write->add_option("sector", w->sector, "the sector, 0-255 (display edition 0-14)")->required();
  write->add_option("block", w->block, "the block in the sector, 0-15 (display edition 0-3)")
      ->required();
  write->add_option("data", w->data, "16 bytes in hex, unbroken or separated by spaces or colons")
      ->required()
      ->expected(1, -1);
  write->add_flag("--allow-trailer", w->allowed.trailer,
                  "allow writing a sector trailer (keys and access bits), if its access bits "
                  "are valid and keep the trailer changeable");
  write->add_flag("--allow-permanent-lock", w->allowed.permanent_lock,
                  "with --allow-trailer: allow access bits that fix the sector for good");
  write->add_flag("--allow-block0", w->allowed.block0,
                  "allow writing block 0 of sector 0 (the manufacturer block), if its check "
                  "byte is right");
  registry.Add(write, [w](Session& s) {
    const std::string data = ParseHexBytes(Joined(w->data), 16, "DATA");
    s.Open();
    const Address at = AddressOf(s, w->sector, w->block);
    if (const std::string refused = CheckBlockWrite(at.sector, at.block, BlockOf(data), w->allowed);
        !refused.empty()) {
      throw UsageError("nothing written: " + refused);
    }
    Message message;
    s.Check("write",
            s.lib().MIFS_WRITE(s.reader(), at.sector, at.block, data.c_str(), message.text),
            message.text);
    s.out().Field("sector", at.sector, std::to_string(at.sector));
    s.out().Field("block", at.block, std::to_string(at.block));
    s.out().Field("data", data);
  });

  registry.Add(app.add_subcommand("halt", "halt the card"), [](Session& s) {
    s.Open();
    Message message;
    s.Check("halt", s.lib().MIFS_HALT(s.reader(), message.text), message.text);
  });

  auto k = std::make_shared<KeyArgs>();
  CLI::App* dump = app.add_subcommand(
      "dump", "request the card, then authenticate and read every sector of a 1K card");
  k->AddTo(dump);
  registry.Add(dump, [k](Session& s) {
    const MifareKey key = k->Parse();
    s.Open();
    Dump(s, key);
  });
}

}  // namespace vorlex::cli
