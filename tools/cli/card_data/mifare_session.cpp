#include "mifare_session.h"

#include <algorithm>
#include <utility>

#include "mifare_safety.h"

namespace vorlex::cli::card {
namespace {

constexpr std::uint8_t kSak4K = 0x18, kSakMini = 0x09;
constexpr int kNoAnswer = 1;

std::string HexStatus(int result) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(result) & 0xFFFF);
  return text;
}

}  // namespace

MifareSession::MifareSession(MifareCalls calls, std::vector<Key> keys, int sector_limit)
    : calls_(std::move(calls)), keys_(std::move(keys)), sector_limit_(sector_limit) {}

bool MifareSession::Stopped() {
  if (stop_.reason == Stop::kNone && calls_.interrupted && calls_.interrupted()) {
    stop_.reason = Stop::kInterrupted;
  }
  return stop_.reason != Stop::kNone;
}

bool MifareSession::Fatal(int result, const char* step, int sector) {
  if (result != kNoAnswer) return false;
  stop_ = {Stop::kNoAnswer, sector, result, step};
  return true;
}

int MifareSession::Request() {
  ++counters_.requests;
  Bytes atqa, uid;
  const int result = calls_.request(atqa, uid);
  if (result == 0) {
    atqa_ = std::move(atqa);
    uid_ = std::move(uid);
  }
  return result;
}

void MifareSession::Remember(const SectorKey& key) {
  found_.erase(std::remove(found_.begin(), found_.end(), key.key), found_.end());
  found_.insert(found_.begin(), key.key);
}

std::optional<SectorKey> MifareSession::Open(int sector, const std::vector<SectorKey>& first,
                                             std::optional<KeyType> only) {
  int tried = 0;
  for (const KeyType type : {kKeyA, kKeyB}) {
    if ((only && type != *only) || (only_type_ && type != *only_type_)) continue;
    // The file's keys, then those that opened other sectors, then the list; each once.
    std::vector<Key> candidates;
    const auto add = [&](const Key& key) {
      if (std::find(candidates.begin(), candidates.end(), key) == candidates.end()) {
        candidates.push_back(key);
      }
    };
    for (const SectorKey& key : first) {
      if (key.type == type) add(key.key);
    }
    for (const Key& key : found_) add(key);
    for (const Key& key : keys_) add(key);
    for (const Key& key : candidates) {
      if (Stopped()) return std::nullopt;
      if (calls_.progress) calls_.progress(sector, tried);
      ++tried;
      ++counters_.auths;
      const int result = calls_.auth(sector, type, key);
      if (result == 0) {
        Remember({type, key});
        return SectorKey{type, key};
      }
      if (Fatal(result, "auth", sector)) return std::nullopt;
      const int again = Request();
      if (again != 0) {
        if (!Fatal(again, "card-request", sector))
          stop_ = {Stop::kCardLost, sector, again, "card-request"};
        return std::nullopt;
      }
    }
  }
  return std::nullopt;
}

CardImage MifareSession::Dump() {
  CardImage card(64);
  for (int s = 0; s < card.sector_count() && s < sector_limit_; ++s) {
    if (calls_.progress) calls_.progress(s, 0);
    const std::optional<SectorKey> key = Open(s);
    if (!key) {
      if (Stopped()) break;
      continue;
    }
    const int first = card.FirstBlock(s);
    bool lost = false;
    for (int b = 0; b < card.BlocksIn(s) && !lost; ++b) {
      if (Stopped()) break;
      Block data{};
      ++counters_.reads;
      const int result = calls_.read(s, b, data);
      if (result == 0) {
        card.SetBlock(first + b, data);
        continue;
      }
      if (Fatal(result, "read", s)) break;
      // A refused read leaves the card as a failed authentication does.
      lost = Request() != 0;
      if (!lost) {
        ++counters_.auths;
        lost = calls_.auth(s, key->type, key->key) != 0;
      }
    }
    const int trailer = card.TrailerOf(s);
    if (card.ByteKnown(trailer, 6)) {
      Block& t = card.blocks[trailer];
      const auto conditions = AccessConditionsOf(t);
      // Where key A may read key B, key B is data and reads back as it is.
      const bool key_b_is_data = key->type == kKeyA && conditions && KeyBReadable((*conditions)[3]);
      card.known[trailer] = 0;
      if (conditions) {
        for (int i = 6; i < 10; ++i) card.SetByte(trailer, i, t[i]);
      }
      const int key_at = key->type == kKeyA ? 0 : 10;
      for (int i = 0; i < 6; ++i) card.SetByte(trailer, key_at + i, key->key[i]);
      if (key_b_is_data) {
        for (int i = 10; i < 16; ++i) card.SetByte(trailer, i, t[i]);
      }
    }
    (key->type == kKeyA ? card.key_a : card.key_b)[s] = key->key;
    if (s == 0 && card.BlockKnown(0) && card.block_count() == 64) {
      // Block 0 tells the card's size by its SAK.
      const std::uint8_t sak = card.blocks[0][5];
      const int blocks = sak == kSak4K ? 256 : sak == kSakMini ? 20 : 64;
      if (blocks != 64) {
        CardImage sized(blocks);
        for (int b = 0; b < 4; ++b) {
          sized.blocks[b] = card.blocks[b];
          sized.known[b] = card.known[b];
        }
        sized.key_a[0] = card.key_a[0];
        sized.key_b[0] = card.key_b[0];
        card = std::move(sized);
      }
    }
    if (Stopped()) break;
  }
  sectors_on_card_ = card.sector_count();
  card.uid = uid_;
  if (atqa_.size() == 2) card.atqa = std::array<std::uint8_t, 2>{atqa_[0], atqa_[1]};
  return card;
}

std::vector<MifareSession::Report> MifareSession::Restore(const CardImage& file,
                                                          const RestoreOptions& options) {
  std::vector<Report> reports;
  const auto sak = file.CardSak();
  sectors_on_card_ = sak == kSak4K ? 40 : sak == kSakMini ? 5 : 16;
  for (int s = 0; s < file.sector_count(); ++s) {
    Report report{s, Report::kSkipped, {}, {}, {}};
    const int first = file.FirstBlock(s);
    if (s >= sectors_on_card_ || s >= sector_limit_) {
      bool data = false;
      for (int b = first; b < file.TrailerOf(s); ++b) {
        data |= !file.BlockUnknown(b) && file.blocks[b] != Block{};
      }
      if (data) {
        report.notes.push_back(s >= sector_limit_ ? "out of this edition's reach"
                                                  : "not on this card");
        reports.push_back(std::move(report));
      }
      continue;
    }
    std::vector<int> plan;  // blocks within the sector
    bool refused = false;
    for (int i = 0; i < file.BlocksIn(s); ++i) {
      const int b = first + i;
      if (file.BlockUnknown(b)) continue;
      if (!file.BlockKnown(b)) {
        report.notes.push_back("block " + std::to_string(b) + ": unknown bytes in the file");
        continue;
      }
      if (const auto verdict = options.verdict(b, file.blocks[b])) {
        report.notes.push_back("block " + std::to_string(b) + ": " + verdict->reason);
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
    std::vector<SectorKey> file_keys;
    if (const auto a = file.KeyA(s)) file_keys.push_back({kKeyA, *a});
    if (const auto b = file.KeyB(s)) file_keys.push_back({kKeyB, *b});
    report.key = Open(s, file_keys);
    if (!report.key) {
      if (Stopped()) break;
      report.outcome = Report::kFailed;
      report.notes.push_back("no key opened the sector");
      reports.push_back(std::move(report));
      continue;
    }
    if (options.dry_run) {
      report.outcome = Report::kPlanned;
      for (const int i : plan) report.written.push_back(first + i);
      reports.push_back(std::move(report));
      continue;
    }
    bool failed = false;
    std::vector<int> sent;
    for (const int i : plan) {
      if (Stopped()) break;
      const Block& data = file.blocks[first + i];
      ++counters_.writes;
      int result = calls_.write(s, i, data);
      if (result != 0 && !Fatal(result, "write", s) && report.key->type == kKeyA) {
        // The access conditions may leave writing to key B.
        if (Request() == 0) {
          if (const auto b = Open(s, file_keys, kKeyB)) {
            report.key = b;
            ++counters_.writes;
            result = calls_.write(s, i, data);
          }
        }
      }
      if (result != 0) {
        failed = true;
        report.notes.push_back("block " + std::to_string(first + i) + ": write failed (status " +
                               HexStatus(result) + ")");
        if (Stopped() || stop_.reason != Stop::kNone) break;
        if (Request() != 0 || !Open(s, {*report.key})) break;
        continue;
      }
      sent.push_back(i);
    }
    for (const int i : sent) {
      if (Stopped()) break;
      Block back{};
      ++counters_.reads;
      const int result = calls_.read(s, i, back);
      const Block& data = file.blocks[first + i];
      const bool trailer = first + i == file.TrailerOf(s);
      // Key A never reads back and key B only under some conditions: a trailer is checked by
      // its access bytes.
      const bool same =
          result == 0 && (trailer ? std::equal(&data[6], &data[10], &back[6]) : back == data);
      if (same) {
        report.written.push_back(first + i);
        continue;
      }
      failed = true;
      report.notes.push_back("block " + std::to_string(first + i) +
                             (result == 0
                                  ? ": reads back different data"
                                  : ": read back failed (status " + HexStatus(result) + ")"));
      if (Fatal(result, "read", s)) break;
    }
    report.outcome = failed ? Report::kFailed : Report::kWritten;
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
