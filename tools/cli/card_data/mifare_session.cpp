#include "mifare_session.h"

#include <algorithm>
#include <array>
#include <utility>

#include "mifare_safety.h"

namespace vorlex::cli::card {
namespace {

constexpr int kNoAnswer = 1;
// The reader's answer to a sector the card does not have.
constexpr int kBadAddress = 0x0304;
using Conditions = std::array<int, 4>;

std::string HexStatus(int result) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(result) & 0xFFFF);
  return text;
}

std::uint8_t MaskOf(KeyType type) { return type == kKeyA ? kMayKeyA : kMayKeyB; }
char NameOf(KeyType type) { return type == kKeyA ? 'A' : 'B'; }

// The access group of block `i` of a sector of `count` blocks: a 16-block sector shares each
// data condition among five blocks.
int GroupOf(int i, int count) { return i == count - 1 ? 3 : count == 4 ? i : i / 5; }

std::string BitsOf(int condition) {
  return {static_cast<char>('0' + (condition >> 2 & 1)),
          static_cast<char>('0' + (condition >> 1 & 1)), static_cast<char>('0' + (condition & 1))};
}

bool SameKeyBytes(const Block& data, int at, const Key& key) {
  return std::equal(key.begin(), key.end(), data.begin() + at);
}

}  // namespace

MifareSession::MifareSession(MifareCalls calls, std::vector<Key> keys, int sector_limit)
    : calls_(std::move(calls)), keys_(std::move(keys)), sector_limit_(sector_limit) {}

bool MifareSession::Stopped() {
  if (stop_.reason == Stop::kNone && calls_.interrupted && calls_.interrupted()) {
    stop_ = {Stop::kInterrupted, sector_, 0, "", {}};
  }
  return stop_.reason != Stop::kNone;
}

bool MifareSession::Fatal(int result, const char* step) {
  if (result != kNoAnswer) return false;
  if (stop_.reason == Stop::kNone) stop_ = {Stop::kNoAnswer, sector_, result, step, {}};
  return true;
}

int MifareSession::Request() {
  ++counters_.requests;
  Bytes atqa, uid;
  const int result = calls_.request(atqa, uid);
  if (result != 0) {
    // The bound card is gone: the session ends whatever the caller makes of it.
    if (bound_ && !Fatal(result, "card-request") && stop_.reason == Stop::kNone) {
      stop_ = {Stop::kCardLost, sector_, result, "card-request", {}};
    }
    return result;
  }
  if (!bound_) {
    atqa_ = std::move(atqa);
    uid_ = std::move(uid);
    bound_ = true;
    return 0;
  }
  if (uid == uid_) return 0;
  // Another card: never adopted, never sent anything more.
  if (stop_.reason == Stop::kNone) {
    stop_ = {Stop::kCardChanged, sector_, kOtherCard, "card-request", std::move(uid)};
  }
  return kOtherCard;
}

void MifareSession::Remember(const Key& key) {
  found_.erase(std::remove(found_.begin(), found_.end(), key), found_.end());
  found_.insert(found_.begin(), key);
}

void MifareSession::CountKey(int sector) {
  if (keys_tried_.size() <= static_cast<std::size_t>(sector)) {
    keys_tried_.resize(static_cast<std::size_t>(sector) + 1, 0);
  }
  ++keys_tried_[sector];
}

bool MifareSession::Auth(int sector, KeyType type, const Key& key) {
  if (Stopped()) return false;
  ++counters_.auths;
  const int result = calls_.auth(sector, type, key);
  if (result == 0) return true;
  Fatal(result, "auth");
  return false;
}

bool MifareSession::Reopen(int sector, KeyType type, const Key& key) {
  if (Stopped()) return false;
  const int again = Request();
  if (again != 0) {
    if (!Fatal(again, "card-request") && stop_.reason == Stop::kNone) {
      stop_ = {Stop::kCardLost, sector_, again, "card-request", {}};
    }
    return false;
  }
  return Auth(sector, type, key);
}

std::optional<Key> MifareSession::Find(int sector, KeyType type, const std::vector<Key>& first) {
  if (only_type_ && type != *only_type_) return std::nullopt;
  std::vector<Key> candidates;
  const auto add = [&](const Key& key) {
    if (std::find(candidates.begin(), candidates.end(), key) == candidates.end()) {
      candidates.push_back(key);
    }
  };
  for (const Key& key : first) add(key);
  for (const Key& key : found_) add(key);
  for (const Key& key : keys_) add(key);
  for (const Key& key : candidates) {
    if (Stopped()) return std::nullopt;
    if (calls_.progress) {
      calls_.progress(
          sector, static_cast<std::size_t>(sector) < keys_tried_.size() ? keys_tried_[sector] : 0);
    }
    CountKey(sector);
    ++counters_.auths;
    const int result = calls_.auth(sector, type, key);
    if (result == 0) {
      Remember(key);
      return key;
    }
    if (Fatal(result, "auth")) return std::nullopt;
    if (result == kBadAddress) {
      // No key opens a sector the card does not have (a Mini ends at sector 5): none is tried.
      if (!card_ends_at_ || sector < *card_ends_at_) card_ends_at_ = sector;
      const int again = Request();
      if (again != 0 && stop_.reason == Stop::kNone && !Fatal(again, "card-request")) {
        stop_ = {Stop::kCardLost, sector_, again, "card-request", {}};
      }
      return std::nullopt;
    }
    const int again = Request();
    if (again != 0) {
      if (!Fatal(again, "card-request") && stop_.reason == Stop::kNone) {
        stop_ = {Stop::kCardLost, sector_, again, "card-request", {}};
      }
      return std::nullopt;
    }
  }
  return std::nullopt;
}

std::optional<SectorKey> MifareSession::Open(int sector) {
  sector_ = sector;
  if (const auto a = Find(sector, kKeyA)) return SectorKey{kKeyA, *a};
  if (Stopped()) return std::nullopt;
  if (const auto b = Find(sector, kKeyB)) return SectorKey{kKeyB, *b};
  return std::nullopt;
}

CardImage MifareSession::Dump() {
  CardImage card(atqa_.size() == 2 ? BlocksOfAtqa({atqa_[0], atqa_[1]}) : 64);
  keys_tried_.assign(static_cast<std::size_t>(card.sector_count()), 0);
  for (int s = 0; s < card.sector_count() && s < sector_limit_; ++s) {
    sector_ = s;
    if (calls_.progress) calls_.progress(s, 0);
    const int first = card.FirstBlock(s), count = card.BlocksIn(s);
    std::vector<std::optional<Block>> read(static_cast<std::size_t>(count));
    std::optional<Conditions> conditions;
    std::optional<Block> trailer;  // as read with the key that could see the access bits
    bool key_b_is_data = false;
    // Reads what `type` may read (everything while the access bits are unknown), the trailer
    // first for them. False when the card was lost or the session stopped.
    const auto read_with = [&](KeyType type, const Key& key) {
      for (int n = 0; n < count; ++n) {
        const int i = n == 0 ? count - 1 : n - 1;
        if (read[i] || Stopped()) continue;
        const bool is_trailer = i == count - 1;
        if (!is_trailer && conditions &&
            (DataRightsOf((*conditions)[GroupOf(i, count)]).read & MaskOf(type)) == 0) {
          continue;
        }
        Block data{};
        ++counters_.reads;
        const int result = calls_.read(s, i, data);
        if (result != 0) {
          if (Fatal(result, "read") || !Reopen(s, type, key)) return false;
          continue;
        }
        if (!is_trailer) {
          read[i] = data;
          continue;
        }
        // Where this key may not see the access bits they read as zeros, which do not decode.
        conditions = AccessConditionsOf(data);
        if (conditions) {
          read[i] = data;
          trailer = data;
          key_b_is_data = type == kKeyA && KeyBReadable((*conditions)[3]);
        }
      }
      return true;
    };
    const std::optional<Key> key_a = Find(s, kKeyA);
    if (key_a) read_with(kKeyA, *key_a);
    std::optional<Key> key_b;
    // A readable key B is data, and opens nothing.
    if (!key_b_is_data && !Stopped() && !(card_ends_at_ && *card_ends_at_ <= s)) {
      key_b = Find(s, kKeyB);
    }
    if (key_b) read_with(kKeyB, *key_b);

    for (int i = 0; i + 1 < count; ++i) {
      if (read[i]) card.SetBlock(first + i, *read[i]);
    }
    const int at = card.TrailerOf(s);
    if (trailer) {
      for (int i = 6; i < 10; ++i) card.SetByte(at, i, (*trailer)[i]);
      if (key_b_is_data) {
        for (int i = 10; i < 16; ++i) card.SetByte(at, i, (*trailer)[i]);
      }
    }
    if (key_a) {
      for (int i = 0; i < 6; ++i) card.SetByte(at, i, (*key_a)[i]);
      card.key_a[s] = key_a;
    }
    if (key_b) {
      for (int i = 0; i < 6; ++i) card.SetByte(at, 10 + i, (*key_b)[i]);
      card.key_b[s] = key_b;
    }
    if (s == 0 && card.BlockKnown(0)) {
      // Block 0 tells the card's size by its SAK better than the ATQA does.
      const auto blocks = BlocksOfSak(card.blocks[0][5]);
      if (blocks && *blocks != card.block_count()) {
        CardImage sized(*blocks);
        for (int b = 0; b < 4; ++b) {
          sized.blocks[b] = card.blocks[b];
          sized.known[b] = card.known[b];
        }
        sized.key_a[0] = card.key_a[0];
        sized.key_b[0] = card.key_b[0];
        card = std::move(sized);
        keys_tried_.resize(static_cast<std::size_t>(card.sector_count()), 0);
      }
    }
    if (Stopped()) break;
    if (card_ends_at_ && *card_ends_at_ <= s) break;
  }
  // A card that ended before its ATQA's size (sector 0 unread, so no SAK said so): a Mini has
  // 5 sectors, a 2K 32.
  if (card_ends_at_ && *card_ends_at_ < card.sector_count()) {
    const int blocks = *card_ends_at_ == 5 ? 20 : *card_ends_at_ == 32 ? 128 : 0;
    if (blocks != 0) {
      CardImage sized(blocks);
      for (int b = 0; b < blocks; ++b) {
        sized.blocks[b] = card.blocks[b];
        sized.known[b] = card.known[b];
      }
      for (int sector = 0; sector < sized.sector_count(); ++sector) {
        sized.key_a[sector] = card.key_a[sector];
        sized.key_b[sector] = card.key_b[sector];
      }
      card = std::move(sized);
    }
  }
  sectors_on_card_ = card.sector_count();
  keys_tried_.resize(static_cast<std::size_t>(std::min(card.sector_count(), sector_limit_)), 0);
  card.uid = uid_;
  if (atqa_.size() == 2) card.atqa = Atqa{atqa_[0], atqa_[1]};
  return card;
}

std::vector<MifareSession::Report> MifareSession::Restore(const CardImage& file,
                                                          const RestoreOptions& options) {
  std::vector<Report> reports;
  sectors_on_card_ =
      CardImage(atqa_.size() == 2 ? BlocksOfAtqa({atqa_[0], atqa_[1]}) : 64).sector_count();
  keys_tried_.assign(static_cast<std::size_t>(std::min(sectors_on_card_, sector_limit_)), 0);
  for (int s = 0; s < file.sector_count(); ++s) {
    sector_ = s;
    Report report{s, Report::kSkipped, {}, {}, {}, {}, {}, {}};
    const int first = file.FirstBlock(s), count = file.BlocksIn(s), trailer_at = count - 1;
    const bool in_file = !file.SectorUnknown(s);
    if (s >= sectors_on_card_ || s >= sector_limit_) {
      if (in_file) {
        report.notes.push_back(s >= sector_limit_ ? "out of this edition's reach"
                                                  : "not on this card");
        reports.push_back(std::move(report));
      }
      continue;
    }
    if (!in_file) {
      report.notes.push_back("not in the dump");
      reports.push_back(std::move(report));
      continue;
    }
    if (calls_.progress) calls_.progress(s, 0);

    std::vector<int> plan;  // blocks within the sector, the trailer last
    bool refused = false, failed = false;
    const auto note = [&](int i, const std::string& text) {
      report.notes.push_back("block " + std::to_string(first + i) + ": " + text);
    };
    for (int i = 0; i < count; ++i) {
      const int b = first + i;
      if (file.BlockUnknown(b)) continue;
      if (i != trailer_at && !file.BlockKnown(b)) {
        note(i, "unknown bytes in the file, not written");
        continue;
      }
      if (i == trailer_at && !file.AccessBytes(s)) {
        note(i, "its access bits are not in the file, not written");
        continue;
      }
      if (const auto verdict = options.verdict(b, file.blocks[b])) {
        note(i, verdict->reason);
        refused |= verdict->refused;
        continue;
      }
      plan.push_back(i);
    }
    if (plan.empty()) {
      if (refused) report.outcome = Report::kRefused;
      reports.push_back(std::move(report));
      continue;
    }
    const bool trailer_planned = plan.back() == trailer_at;
    const Block& file_trailer = file.blocks[first + trailer_at];

    // Open the sector and learn the card's access bits (key A may always read them).
    const auto file_key = [](const std::optional<Key>& key) {
      return key ? std::vector<Key>{*key} : std::vector<Key>{};
    };
    std::optional<Conditions> card_conditions;
    std::optional<Block> card_trailer;
    std::optional<KeyType> authed;
    const auto read_trailer = [&](KeyType type, const Key& key) {
      Block data{};
      ++counters_.reads;
      const int result = calls_.read(s, trailer_at, data);
      if (result == 0) {
        card_conditions = AccessConditionsOf(data);
        if (card_conditions) card_trailer = data;
        return;
      }
      authed.reset();
      if (!Fatal(result, "read") && Reopen(s, type, key)) authed = type;
    };
    report.key_a = Find(s, kKeyA, file_key(file.KeyA(s)));
    if (card_ends_at_ && s >= *card_ends_at_) {
      // The card has no such sector (a Mini's 5 and up): nor any after it.
      sectors_on_card_ = *card_ends_at_;
      report.notes = {"not on this card"};
      reports.push_back(std::move(report));
      continue;
    }
    if (report.key_a) {
      authed = kKeyA;
      read_trailer(kKeyA, *report.key_a);
    }
    // The keys that may write block `i` (all parts of a trailer), by the card's access bits.
    const auto needs = [&](int i) -> std::uint8_t {
      if (!card_conditions) return kMayKeyA | kMayKeyB;
      if (i != trailer_at) return DataRightsOf((*card_conditions)[GroupOf(i, count)]).write;
      const TrailerRights rights = TrailerRightsOf((*card_conditions)[3]);
      return rights.key_a_write & rights.access_write & rights.key_b_write;
    };
    const bool card_key_b_is_data =
        card_conditions && card_trailer && KeyBReadable((*card_conditions)[3]);
    bool want_b = !report.key_a;
    for (const int i : plan) want_b |= (needs(i) & kMayKeyA) == 0;
    // The trailer's hidden key B must come from the card.
    if (trailer_planned && !card_key_b_is_data) {
      for (int i = 10; i < 16; ++i) want_b |= !file.ByteKnown(first + trailer_at, i);
    }
    // A key B that key A may read is data, and opens nothing.
    if (want_b && !card_key_b_is_data && !Stopped()) {
      report.key_b = Find(s, kKeyB, file_key(file.KeyB(s)));
      authed.reset();  // a key B that failed left the card unauthenticated
      if (report.key_b) {
        authed = kKeyB;
        if (!card_conditions) read_trailer(kKeyB, *report.key_b);
      }
    }
    if (Stopped()) {
      report.outcome = Report::kStopped;
      reports.push_back(std::move(report));
      break;
    }
    if (!report.key_a && !report.key_b) {
      report.outcome = Report::kFailed;
      report.notes.push_back("no key opened the sector");
      reports.push_back(std::move(report));
      continue;
    }

    // The trailer as it will be written: bytes the file does not know are the card's keys.
    Block trailer_data = file_trailer;
    if (trailer_planned) {
      std::string missing;
      bool key_a_known = true, key_b_known = true;
      for (int i = 0; i < 6; ++i) {
        key_a_known &= file.ByteKnown(first + trailer_at, i);
        key_b_known &= file.ByteKnown(first + trailer_at, 10 + i);
      }
      if (!key_a_known) {
        if (report.key_a) {
          std::copy(report.key_a->begin(), report.key_a->end(), trailer_data.begin());
        } else {
          missing = "key A is not in the dump and no key A opened the sector (--key, --keys)";
        }
      }
      if (!key_b_known) {
        if (card_key_b_is_data) {
          std::copy(card_trailer->begin() + 10, card_trailer->end(), trailer_data.begin() + 10);
        } else if (report.key_b) {
          std::copy(report.key_b->begin(), report.key_b->end(), trailer_data.begin() + 10);
        } else {
          missing =
              "key B is not in the dump (the access bits hide it) and none of the keys "
              "opened key B on the card (--key, --keys)";
        }
      }
      if (!missing.empty()) {
        note(trailer_at, "refused: " + missing);
        refused = true;
        plan.pop_back();
      }
    }
    // The key each block is written with, or why none may write it.
    const auto writer = [&](int i) -> std::pair<std::optional<KeyType>, std::string> {
      std::uint8_t may = needs(i);
      if (i == trailer_at && card_conditions) {
        // Parts that keep their value need no right.
        const TrailerRights r = TrailerRightsOf((*card_conditions)[3]);
        may = kMayKeyA | kMayKeyB;
        if (!report.key_a || !SameKeyBytes(trailer_data, 0, *report.key_a)) may &= r.key_a_write;
        if (!card_trailer || !std::equal(&trailer_data[6], &trailer_data[10], &(*card_trailer)[6]))
          may &= r.access_write;
        const std::optional<Key> card_b =
            card_key_b_is_data
                ? std::optional(Key{(*card_trailer)[10], (*card_trailer)[11], (*card_trailer)[12],
                                    (*card_trailer)[13], (*card_trailer)[14], (*card_trailer)[15]})
                : report.key_b;
        if (!card_b || !SameKeyBytes(trailer_data, 10, *card_b)) may &= r.key_b_write;
        may &= r.key_a_write | r.access_write | r.key_b_write;  // the card refuses a key with none
      }
      if ((may & kMayKeyA) && report.key_a) return {kKeyA, ""};
      if ((may & kMayKeyB) && report.key_b) return {kKeyB, ""};
      if (!card_conditions) return {std::nullopt, "no key opened the sector"};
      const std::string bits =
          "the card's access bits (" + BitsOf((*card_conditions)[GroupOf(i, count)]) + ") let ";
      if (may == 0) return {std::nullopt, bits + "no key write it"};
      return {std::nullopt, bits + "only key " + ((may & kMayKeyA) ? "A" : "B") +
                                " write it, and no key " + ((may & kMayKeyA) ? "A" : "B") +
                                " opened the sector"};
    };
    const auto key_of = [&](KeyType type) { return type == kKeyA ? *report.key_a : *report.key_b; };
    const auto use = [&](KeyType type) {
      if (authed == type) return true;
      authed.reset();
      if (Auth(s, type, key_of(type)) || (!Stopped() && Reopen(s, type, key_of(type)))) {
        authed = type;
      }
      return authed.has_value();
    };

    for (const int i : plan) {
      if (Stopped()) break;
      const int b = first + i;
      const auto [type, why_not] = writer(i);
      if (!type) {
        note(i, (options.dry_run ? "would fail: " : "not written: ") + why_not);
        failed = true;
        continue;
      }
      if (options.dry_run) {
        report.planned.push_back(b);
        continue;
      }
      if (!use(*type)) {
        failed = true;
        note(i, std::string("not written: key ") + NameOf(*type) + " no longer opens the sector");
        break;
      }
      const Block& data = i == trailer_at ? trailer_data : file.blocks[b];
      ++counters_.writes;
      const int result = calls_.write(s, i, data);
      // After a failed write or read-back the card is selected again at once: the same card
      // goes on, another card (or none) stops the restore before anything else is sent.
      // (A copy: older compilers cannot capture a structured binding.)
      const auto key_type = *type;
      const auto reselect = [&] {
        authed.reset();
        if (!Stopped() && Reopen(s, key_type, key_of(key_type))) authed = key_type;
      };
      if (result != 0) {
        failed = true;
        note(i, "write failed (status " + HexStatus(result) + ")");
        authed.reset();
        if (Fatal(result, "write")) break;
        reselect();
        continue;
      }
      report.written.push_back(b);
      // Read back every byte this key may read: a trailer by the access bits just written.
      std::vector<int> readable;
      if (i != trailer_at) {
        const auto group = card_conditions ? (*card_conditions)[GroupOf(i, count)] : 0;
        if (!card_conditions || (DataRightsOf(group).read & MaskOf(*type)) != 0) {
          for (int n = 0; n < kBlockBytes; ++n) readable.push_back(n);
        }
      } else if (const auto written = AccessConditionsOf(data)) {
        const TrailerRights r = TrailerRightsOf((*written)[3]);
        if (r.access_read & MaskOf(*type)) {
          for (int n = 6; n < 10; ++n) readable.push_back(n);
        }
        if (r.key_b_read & MaskOf(*type)) {
          for (int n = 10; n < 16; ++n) readable.push_back(n);
        }
      }
      if (readable.empty()) {
        note(i, std::string("written; key ") + NameOf(*type) + " may not read it back");
        continue;
      }
      if (Stopped()) break;
      Block back{};
      ++counters_.reads;
      const int read = calls_.read(s, i, back);
      const bool same = read == 0 && std::all_of(readable.begin(), readable.end(),
                                                 [&](int n) { return back[n] == data[n]; });
      if (same) {
        report.verified.push_back(b);
        continue;
      }
      failed = true;
      note(i, read == 0 ? "reads back different data"
                        : "read back failed (status " + HexStatus(read) + ")");
      authed.reset();
      if (Fatal(read, "read")) break;
      if (read != 0) reselect();
    }
    report.outcome = stop_.reason != Stop::kNone ? Report::kStopped
                     : failed                    ? Report::kFailed
                     : refused                   ? Report::kRefused
                     : options.dry_run           ? Report::kPlanned
                     : report.written.empty()    ? Report::kSkipped
                                                 : Report::kWritten;
    reports.push_back(std::move(report));
    if (stop_.reason != Stop::kNone) break;
  }
  return reports;
}

std::string BlockList(const std::vector<int>& blocks) {
  std::string out;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    std::size_t j = i;
    while (j + 1 < blocks.size() && blocks[j + 1] == blocks[j] + 1) ++j;
    if (!out.empty()) out += ", ";
    out += std::to_string(blocks[i]);
    if (j > i) out.append(1, '-').append(std::to_string(blocks[j]));
    i = j;
  }
  return out;
}

}  // namespace vorlex::cli::card
