// Dump and restore of a Mifare Classic card over the reader's card request, authenticate, read
// and write calls, with a key list tried per sector. The calls come in as functions, so this
// knows nothing of the library, the port or the output.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "card_image.h"

namespace vorlex::cli::card {

enum KeyType { kKeyA = 0, kKeyB = 1 };

// One reader exchange each; the library's result (0 success, 1 no valid answer, else the
// reader's status word). `block` counts within the sector.
struct MifareCalls {
  std::function<int(Bytes& atqa, Bytes& uid)> request;
  std::function<int(int sector, KeyType type, const Key& key)> auth;
  std::function<int(int sector, int block, Block& data)> read;
  std::function<int(int sector, int block, const Block& data)> write;
  std::function<bool()> interrupted;  // checked between exchanges
  // Called before each sector and each key tried: sector, keys tried in it so far.
  std::function<void(int sector, int tried)> progress;
};

// Why a dump or restore stopped early (the card image / reports keep what was done).
struct Stop {
  // kCardLost: a card request found no card; kCardChanged: it found another card (by UID).
  enum Reason { kNone, kInterrupted, kNoAnswer, kCardLost, kCardChanged } reason = kNone;
  int sector = 0;  // the sector under way when it stopped
  int result = 0;  // the call's result for kNoAnswer / kCardLost
  std::string step;
  Bytes found_uid;  // kCardChanged: the other card's UID
};

struct Counters {
  int requests = 0, auths = 0, reads = 0, writes = 0;
  int exchanges() const { return requests + auths + reads + writes; }
};

struct SectorKey {
  KeyType type;
  Key key;
};

class MifareSession {
 public:
  // `keys`: tried in order, after those that already opened a sector of this card.
  // `sector_limit`: sectors the edition can address (the display edition reaches 0-14).
  MifareSession(MifareCalls calls, std::vector<Key> keys, int sector_limit);

  // Keys of the other type are then never tried.
  void OnlyKeyType(KeyType type) { only_type_ = type; }

  // Card request; its result (0: the card answered). The first card that answers binds the
  // session: its atqa / uid stay. A later request that finds another card stops the session
  // (kCardChanged, result kOtherCard), one that finds none too (kCardLost): nothing more is sent.
  int Request();
  static constexpr int kOtherCard = -2;
  const Bytes& atqa() const { return atqa_; }
  const Bytes& uid() const { return uid_; }

  // Tries every key as key `type` until one opens `sector`; requests the card again after
  // each failed attempt, as a card that failed an authentication no longer answers. Keys come
  // in this order, each once: `first` (from a dump file), those that opened a sector of this
  // card, the list. Nothing when no key opened it or the session stopped.
  std::optional<Key> Find(int sector, KeyType type, const std::vector<Key>& first = {});
  // Key A, else key B: the first key that opens `sector`.
  std::optional<SectorKey> Open(int sector);

  // Reads every sector into a card image with both keys where the list holds them; blocks key
  // A may not read are read with key B; sectors no key opened stay unknown.
  CardImage Dump();

  struct Report {
    int sector;
    enum Outcome { kWritten, kPlanned, kSkipped, kRefused, kFailed, kStopped } outcome;
    std::vector<int> planned;        // blocks of the card a dry run would write
    std::vector<int> written;        // blocks the card took
    std::vector<int> verified;       // of those, blocks read back alike (readable bytes)
    std::vector<std::string> notes;  // per block: why skipped, refused or failed
    std::optional<Key> key_a, key_b;
  };
  struct Verdict {
    bool refused;  // false: skipped, as the options ask
    std::string reason;
  };
  struct RestoreOptions {
    bool dry_run = false;
    // Why not to write `block` (card numbering) with `data`, or nothing: block 0 and the
    // trailers are skipped unless allowed, and then refused unless they pass the checks.
    std::function<std::optional<Verdict>(int block, const Block& data)> verdict;
  };
  // Writes every block of `file` whose bytes it knows, sector by sector: opens the sector,
  // reads its access bits from the card, writes each block with a key they allow (data blocks
  // first, the trailer last) and reads it back. A trailer byte the file does not know (a key)
  // comes from the card, verified by authentication, or the trailer is refused.
  std::vector<Report> Restore(const CardImage& file, const RestoreOptions& options);

  const Stop& stop() const { return stop_; }
  const Counters& counters() const { return counters_; }
  int sectors_on_card() const { return sectors_on_card_; }
  // Authentications tried per sector (keys that failed and the one that opened it).
  const std::vector<int>& keys_tried() const { return keys_tried_; }
  // The first sector the card said it does not have (a Mini's 5, ...), or nothing.
  std::optional<int> card_ends_at() const { return card_ends_at_; }

 private:
  bool Stopped();
  // Records a failed call that ends the session (no answer, card gone); true when it does.
  bool Fatal(int result, const char* step);
  // After a refused read or write the card no longer answers: request it and authenticate
  // again. False when that failed.
  bool Reopen(int sector, KeyType type, const Key& key);
  bool Auth(int sector, KeyType type, const Key& key);
  void Remember(const Key& key);
  void CountKey(int sector);

  MifareCalls calls_;
  std::vector<Key> keys_;
  std::vector<Key> found_;  // keys that opened a sector, most recent first
  int sector_limit_;
  std::optional<KeyType> only_type_;
  int sectors_on_card_ = 16;
  std::optional<int> card_ends_at_;
  Bytes atqa_, uid_;
  bool bound_ = false;
  Stop stop_;
  int sector_ = 0;  // under way
  Counters counters_;
  std::vector<int> keys_tried_;
};

// "4-6, 9": the block list of a report.
std::string BlockList(const std::vector<int>& blocks);

}  // namespace vorlex::cli::card
