// ISO 14443-A cards and Mifare Classic memory: card-request, ats, auth, read, write, halt.
// (dump and restore are with the other card files, in cmd_card_files.cpp.)
#include <array>
#include <chrono>
#include <cstring>
#include <memory>

#include "commands.h"
#include "interrupt.h"
#include "mifare_safety.h"
#include "numbers.h"

namespace vorlex::cli {
namespace {

constexpr char kDefaultKey[] = "FFFFFFFFFFFF";

struct Address {
  int sector = 0, block = 0;
};

// The display edition sends the sector modulo 15 and the block modulo 4: outside those ranges
// a command would reach another block than the one named, so it is refused. The e-purse
// edition sends them as they are; a Mifare Classic card has at most 40 sectors (4K), 0-31 of
// 4 blocks and 32-39 of 16, and a block past its sector's end is refused here, not left to
// the reader.
Address AddressOf(const Session& s, const std::string& sector, const std::string& block) {
  if (s.edition() == Edition::kDisplay) {
    const std::string note = " in the display edition (it sends sector mod 15, block mod 4)";
    return {static_cast<int>(ParseNumber(sector, 0, 14, "SECTOR" + note)),
            static_cast<int>(ParseNumber(block, 0, 3, "BLOCK" + note))};
  }
  const int at = static_cast<int>(ParseNumber(sector, 0, 39, "SECTOR"));
  const int blocks = at < 32 ? 4 : 16;
  return {at, static_cast<int>(ParseNumber(block, 0, blocks - 1,
                                           "BLOCK (sector " + std::to_string(at) + " has " +
                                               std::to_string(blocks) + " blocks)"))};
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

struct MifareKey {
  int type = 0;  // 0: key A, 1: key B
  std::array<std::uint8_t, 6> bytes{};
};

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

int RequestUntilAnswered(double seconds, const std::function<int()>& request) {
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

}  // namespace

void AddCardRequestCommand(CLI::App& app, Registry& registry, const char* name,
                           const char* description, const char* step,
                           std::function<int(Session&, int mode, char* message)> request,
                           std::function<void(Session&)> show) {
  struct RequestArgs {
    bool all = false;
    std::string wait;
  };
  auto r = std::make_shared<RequestArgs>();
  CLI::App* command = app.add_subcommand(name, description);
  command->add_flag("--all", r->all, "wake a halted card too (request mode 1)");
  command
      ->add_option("--wait", r->wait,
                   "repeat the request (every 100 ms) until a card answers, at most "
                   "SECONDS (default 10)")
      ->expected(0, 1)
      ->type_name("[SECONDS]");
  registry.Add(command, [r, command, step, request, show](Session& s) {
    const bool waiting = command->count("--wait") > 0;
    const double seconds =
        r->wait.empty() ? 10.0 : static_cast<double>(ParseNumber(r->wait, 0, 86400, "--wait"));
    s.Open();
    Message message;
    const auto once = [&] {
      std::memset(message.text, 0, sizeof message.text);
      return request(s, r->all ? 1 : 0, message.text);
    };
    const int result = waiting ? RequestUntilAnswered(seconds, once) : once();
    if (!s.Call(step, result, message.text)) {
      if (PendingSignal() != 0) {
        throw Stopped{PendingSignal(), step, "interrupted while waiting for a card"};
      }
      if (waiting) {
        s.last_failure().explanation =
            "no card within " + std::to_string(static_cast<int>(seconds)) +
            " s (the last request gave status 0x" + StatusHex(result) + ")";
        s.last_failure().hint = "";
      }
      s.Fail();
    }
    show(s);
  });
}

void AddMifareCommands(CLI::App& app, Registry& registry) {
  auto card = std::make_shared<std::pair<std::array<char, 5>, std::array<char, 9>>>();
  AddCardRequestCommand(
      app, registry, "card-request", "look for an ISO 14443-A card", "card_request",
      [card](Session& s, int mode, char* message) {
        *card = {};
        return s.lib().REQ_14443_CARD(s.reader(), mode, card->first.data(), card->second.data(),
                                      message);
      },
      [card](Session& s) {
        s.out().Field("atqa", card->first.data());
        s.out().Field("uid", card->second.data());
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
    std::vector<std::string> key_files;
  };
  auto a = std::make_shared<AuthArgs>();
  CLI::App* auth = app.add_subcommand(
      "auth",
      "authenticate a Mifare sector with a key, or with the first key of a list that opens it");
  auth->add_option("sector", a->sector, "the sector, 0-39 (display edition 0-14)")->required();
  a->key.AddTo(auth);
  auth->add_option("--keys", a->key_files,
                   "a key-list file (repeatable): try key A with each key, then key B, with a "
                   "card request after each failure");
  registry.Add(auth, [a, auth](Session& s) {
    if (!a->key_files.empty()) {
      s.Open();
      const int sector = AddressOf(s, a->sector, "0").sector;
      const std::vector<std::string> keys = auth->count("--key") > 0
                                                ? std::vector<std::string>{a->key.key}
                                                : std::vector<std::string>{};
      AuthWithKeyList(s, sector, keys, a->key_files,
                      auth->count("--key-type") > 0 ? a->key.type : "");
      return;
    }
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
  read->add_option("sector", rd->sector, "the sector, 0-39 (display edition 0-14)")->required();
  read->add_option("block", rd->block, "the block, 0-3 (sectors 32-39: 0-15; display edition 0-3)")
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
  write->add_option("sector", w->sector, "the sector, 0-39 (display edition 0-14)")->required();
  write->add_option("block", w->block, "the block, 0-3 (sectors 32-39: 0-15; display edition 0-3)")
      ->required();
  write->add_option("data", w->data, "16 bytes in hex, unbroken or separated by spaces or colons")
      ->required()
      ->expected(1, -1);
  w->allowed.AddTo(write);
  registry.Add(write, [w](Session& s) {
    const std::string data = ParseHexBytes(Joined(w->data), 16, "DATA");
    s.Open();
    const Address at = AddressOf(s, w->sector, w->block);
    const BlockBytes bytes = BlockOf(data);
    if (const std::string refused = CheckBlockWrite(at.sector, at.block, bytes, w->allowed);
        !refused.empty()) {
      // Refused for the same reason whatever is allowed: the bytes are at fault.
      const bool bytes_at_fault =
          refused == CheckBlockWrite(at.sector, at.block, bytes, WriteAllowance{true, true, true});
      throw UsageError("nothing written: " + std::string(bytes_at_fault ? "DATA: " : "") + refused);
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
}

}  // namespace vorlex::cli
