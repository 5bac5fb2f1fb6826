#include "dump_formats.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "mifare_safety.h"

namespace vorlex::cli::card {
namespace {

using nlohmann::ordered_json;

constexpr char kCreatedBy[] = "vorlex";
constexpr int kMaxBlocks = 256;

[[noreturn]] void Fail(const std::string& where, const std::string& what) {
  throw FormatError(where + ": " + what);
}

std::string LineAt(int line) { return "line " + std::to_string(line); }

std::string Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return "";
  return std::string(text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1));
}

std::vector<std::string> Lines(const std::string& content) {
  std::vector<std::string> lines;
  std::istringstream in(content);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The smallest card that holds `blocks` blocks.
int CardSizeFor(int blocks) {
  for (const int size : {64, 128, 256}) {
    if (blocks <= size) return size;
  }
  return kMaxBlocks;
}

// One block's 16 bytes from hex text, "??" for an unknown byte; `separated`: bytes come as
// space-separated pairs. False when the text is not that.
bool ParseBlock(const std::string& text, bool separated, CardImage& card, int block) {
  const std::size_t step = separated ? 3 : 2;
  if (text.size() != kBlockBytes * step - (separated ? 1 : 0)) return false;
  for (int i = 0; i < kBlockBytes; ++i) {
    const char high = text[i * step], low = text[i * step + 1];
    if (separated && i != 0 && text[i * step - 1] != ' ') return false;
    if (high == '?' && low == '?') continue;
    const auto byte = HexByte(high, low);
    if (!byte) return false;
    card.SetByte(block, i, *byte);
  }
  return true;
}

std::string BlockText(const CardImage& card, int block, const char* separator) {
  std::string out;
  for (int i = 0; i < kBlockBytes; ++i) {
    if (i != 0) out += separator;
    out += card.ByteKnown(block, i) ? HexOf(&card.blocks[block][i], 1) : "??";
  }
  return out;
}

// Unknown bytes as zeros: the raw formats have no way to mark them.
Block ZeroFilled(const CardImage& card, int block) {
  Block data = card.blocks[block];
  for (int i = 0; i < kBlockBytes; ++i) {
    if (!card.ByteKnown(block, i)) data[i] = 0;
  }
  return data;
}

// The card as a raw image holds it. Reading one back, a sector whose trailer has valid access
// bits counts as known (except what those bits hide from key A); zeros there would pass for card
// data and a restore would write them. So a sector with unknown bytes a reader would take as
// known (a sector stopped half-way, a key A not found) is written all zeros, trailer included:
// read back, the whole sector is unknown.
CardImage RawImage(const CardImage& card) {
  CardImage raw(card.block_count());
  for (int b = 0; b < card.block_count(); ++b) raw.SetBlock(b, ZeroFilled(card, b));
  CardImage as_read = raw;
  as_read.ForgetWhatRawImagesCannotTell();
  for (int s = 0; s < card.sector_count(); ++s) {
    bool passes_for_data = false;
    for (int b = card.FirstBlock(s); b <= card.TrailerOf(s); ++b) {
      for (int i = 0; i < kBlockBytes; ++i) {
        passes_for_data |= as_read.ByteKnown(b, i) && !card.ByteKnown(b, i);
      }
    }
    if (!passes_for_data) continue;
    for (int b = card.FirstBlock(s); b <= card.TrailerOf(s); ++b) raw.SetBlock(b, Block{});
  }
  return raw;
}

std::string BlockBytes(const CardImage& raw, int block) {
  return std::string(raw.blocks[block].begin(), raw.blocks[block].end());
}

// ---- bin: 16 bytes per block, block n at offset 16 n ----------------------------------------

std::string WriteBin(const CardImage& card) {
  const CardImage raw = RawImage(card);
  std::string out;
  for (int b = 0; b < card.block_count(); ++b) out += BlockBytes(raw, b);
  return out;
}

CardImage ReadBin(const std::string& content) {
  const std::size_t size = content.size();
  if (size % kBlockBytes != 0) {
    Fail("offset " + std::to_string(size - size % kBlockBytes),
         "the image ends inside a block (" + std::to_string(size) + " bytes)");
  }
  if (!ValidBlockCount(static_cast<int>(size / kBlockBytes))) {
    Fail("offset " + std::to_string(size),
         "an image has 320, 1024, 2048 or 4096 bytes, not " + std::to_string(size));
  }
  CardImage card(static_cast<int>(size / kBlockBytes));
  for (int b = 0; b < card.block_count(); ++b) {
    Block block{};
    std::copy_n(content.begin() + b * kBlockBytes, kBlockBytes, block.begin());
    card.SetBlock(b, block);
  }
  card.ForgetWhatRawImagesCannotTell();
  return card;
}

// ---- eml: one block per line, 32 hex digits, # comment lines -------------------------------

std::string WriteEml(const CardImage& card) {
  const CardImage raw = RawImage(card);
  std::string out;
  for (int b = 0; b < card.block_count(); ++b) {
    out += HexOf(raw.blocks[b].data(), raw.blocks[b].size()) + "\n";
  }
  return out;
}

CardImage ReadEml(const std::string& content) {
  std::vector<std::pair<int, std::string>> rows;  // line number, text
  const std::vector<std::string> lines = Lines(content);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string row = Trim(lines[i]);
    if (!row.empty() && row[0] != '#') rows.emplace_back(static_cast<int>(i) + 1, std::move(row));
  }
  if (!ValidBlockCount(static_cast<int>(rows.size()))) {
    Fail(LineAt(static_cast<int>(lines.size())),
         "an eml file has 20, 64, 128 or 256 blocks, not " + std::to_string(rows.size()));
  }
  CardImage card(static_cast<int>(rows.size()));
  for (int b = 0; b < card.block_count(); ++b) {
    std::replace(rows[b].second.begin(), rows[b].second.end(), '-', '?');
    if (!ParseBlock(rows[b].second, false, card, b)) {
      Fail(LineAt(rows[b].first), "a block is 32 hex digits, not \"" + rows[b].second + "\"");
    }
  }
  card.ForgetWhatRawImagesCannotTell();
  return card;
}

// ---- nfc: the handheld tool's text file ---------------------------------------------------------

constexpr char kNfcFiletype[] = "Flipper NFC device";

std::string WriteNfc(const CardImage& card) {
  std::ostringstream out;
  out << "Filetype: " << kNfcFiletype << "\nVersion: 4\n"
      << "# Device type can be ISO14443-3A, ISO14443-3B, ISO14443-4A, NTAG/Ultralight, "
         "Mifare Classic, Mifare DESFire\n"
      << "Device type: Mifare Classic\n# UID is common for all formats\n";
  const Bytes uid = card.CardUid();
  out << "UID: " << HexOf(uid.data(), uid.size(), " ") << "\n# ISO14443-3A specific data\n";
  if (const auto atqa = card.CardAtqa()) out << "ATQA: " << HexOf(atqa->data(), 2, " ") << "\n";
  if (const auto sak = card.CardSak()) out << "SAK: " << HexOf(&*sak, 1) << "\n";
  out << "# Mifare Classic specific data\nMifare Classic type: " << TypeName(card.block_count())
      << "\nData format version: 2\n# Mifare Classic blocks, '?\?' means unknown data\n";
  for (int b = 0; b < card.block_count(); ++b) {
    out << "Block " << b << ": " << BlockText(card, b, " ") << "\n";
  }
  return out.str();
}

Bytes ParseSpacedHex(const std::string& text, const std::string& where) {
  Bytes out;
  std::istringstream in(text);
  for (std::string pair; in >> pair;) {
    const auto byte = pair.size() == 2 ? HexByte(pair[0], pair[1]) : std::nullopt;
    if (!byte) Fail(where, "\"" + pair + "\" is not a hex byte");
    out.push_back(*byte);
  }
  return out;
}

// The file versions and Mifare Classic data formats the handheld tool loads. Data format 1
// marks no byte unknown: its key maps (bit n: the key of sector n was found) tell which
// sectors were read.
constexpr int kNfcOldestVersion = 2, kNfcNewestVersion = 4;
constexpr int kNfcKeyMapsFormat = 1, kNfcUnknownMarksFormat = 2;

std::optional<std::uint64_t> KeyMap(const std::string& value) {
  std::string digits;
  for (const char c : value) {
    if (c != ' ') digits += c;
  }
  if (digits.empty() || digits.size() > 16) return std::nullopt;
  std::uint64_t map = 0;
  for (const char c : digits) {
    const auto nibble = HexByte('0', c);
    if (!nibble) return std::nullopt;
    map = map << 4 | *nibble;
  }
  return map;
}

int NumberField(const std::string& value, const std::string& where, const std::string& name) {
  if (value.empty() || value.size() > 3 ||
      !std::all_of(value.begin(), value.end(), [](unsigned char c) { return std::isdigit(c); })) {
    Fail(where, name + ": \"" + value + "\" is not a number");
  }
  return std::stoi(value);
}

CardImage ReadNfc(const std::string& content) {
  const std::vector<std::string> lines = Lines(content);
  std::optional<int> type_blocks, version, data_format;
  std::optional<std::uint64_t> key_a_map, key_b_map;
  std::string data_format_where;
  Bytes uid;
  std::optional<Bytes> atqa, sak;
  std::map<int, std::pair<int, std::string>> block_rows;  // block -> line number, text
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string line = Trim(lines[i]), where = LineAt(static_cast<int>(i) + 1);
    if (line.empty() || line[0] == '#') continue;
    const auto colon = line.find(':');
    if (colon == std::string::npos) Fail(where, "\"Name: value\" expected");
    const std::string name = Trim(std::string_view(line).substr(0, colon)),
                      value = Trim(std::string_view(line).substr(colon + 1));
    if (name == "Filetype" && value != kNfcFiletype) {
      Fail(where, "not an NFC device file (\"" + value + "\")");
    } else if (name == "Version") {
      version = NumberField(value, where, name);
      if (*version < kNfcOldestVersion || *version > kNfcNewestVersion) {
        Fail(where, "Version " + value + ": files of version " + std::to_string(kNfcOldestVersion) +
                        " to " + std::to_string(kNfcNewestVersion) + " are read");
      }
    } else if (name == "Device type" && value != "Mifare Classic") {
      Fail(where, "Device type: a " + value + " file, not Mifare Classic");
    } else if (name == "Mifare Classic type") {
      type_blocks = BlocksOfType(value);
      if (!type_blocks) Fail(where, "unknown Mifare Classic type \"" + value + "\"");
    } else if (name == "Data format version") {
      data_format = NumberField(value, where, name);
      data_format_where = where;
      if (*data_format != kNfcKeyMapsFormat && *data_format != kNfcUnknownMarksFormat) {
        Fail(where, "Data format version " + value + ": data formats 1 and 2 are read");
      }
    } else if (name == "Key A map" || name == "Key B map") {
      const auto map = KeyMap(value);
      if (!map) Fail(where, name + ": \"" + value + "\" is not a hex bit map");
      (name == "Key A map" ? key_a_map : key_b_map) = map;
    } else if (name == "UID") {
      uid = ParseSpacedHex(value, where);
      if (uid.size() != 4 && uid.size() != 7 && uid.size() != 10)
        Fail(where, "a UID of 4/7/10 bytes");
    } else if (name == "ATQA" || name == "SAK") {
      Bytes bytes = ParseSpacedHex(value, where);
      if (bytes.size() != (name == "ATQA" ? 2u : 1u)) Fail(where, "wrong length of " + name);
      (name == "ATQA" ? atqa : sak) = std::move(bytes);
    } else if (name.rfind("Block ", 0) == 0) {
      const std::string number = name.substr(6);
      if (number.empty() || number.size() > 3 ||
          !std::all_of(number.begin(), number.end(),
                       [](unsigned char c) { return std::isdigit(c); }) ||
          std::stoi(number) >= kMaxBlocks) {
        Fail(where, "bad block number \"" + number + "\"");
      }
      block_rows[std::stoi(number)] = {static_cast<int>(i) + 1, value};
    }
  }
  if (!version) Fail("line 1", "Version: absent; an NFC device file names its version");
  if (!data_format) {
    Fail("line " + std::to_string(lines.size()),
         "Data format version: absent; a Mifare Classic file names it (1 or 2)");
  }
  if (*data_format == kNfcKeyMapsFormat && (!key_a_map || !key_b_map)) {
    Fail(data_format_where, std::string("Data format version 1 without \"") +
                                (key_a_map ? "Key B map" : "Key A map") +
                                "\": nothing in the file says which sectors were read");
  }
  int blocks = type_blocks.value_or(64);
  if (!block_rows.empty() && block_rows.rbegin()->first >= blocks) {
    Fail(LineAt(block_rows.rbegin()->second.first),
         "block beyond a " + std::string(TypeName(blocks)) + " card");
  }
  CardImage card(blocks);
  for (const auto& [block, row] : block_rows) {
    if (!ParseBlock(row.second, true, card, block)) {
      Fail(LineAt(row.first), "a block is 16 hex bytes or ?? separated by spaces");
    }
  }
  if (*data_format == kNfcKeyMapsFormat) {
    for (int s = 0; s < card.sector_count(); ++s) {
      const bool a = s < 64 && (*key_a_map >> s & 1), b = s < 64 && (*key_b_map >> s & 1);
      const int trailer = card.TrailerOf(s);
      if (!a && !b) {
        for (int n = card.FirstBlock(s); n <= trailer; ++n) card.known[n] = 0;
        continue;
      }
      if (!a) card.known[trailer] &= 0xFFC0;
      if (!b) card.known[trailer] &= 0x03FF;
    }
  }
  card.uid = uid;
  // Version 2 files hold the ATQA low byte first, as the card sends it; later versions high
  // byte first, as this tool shows it.
  if (atqa) {
    card.atqa = *version == kNfcOldestVersion ? Atqa{(*atqa)[1], (*atqa)[0]}
                                              : Atqa{(*atqa)[0], (*atqa)[1]};
  }
  if (sak) card.sak = (*sak)[0];
  return card;
}

// ---- json: the research tools' dump ------------------------------------------------------------

std::string WriteJson(const CardImage& card) {
  ordered_json out;
  out["Created"] = kCreatedBy;
  out["FileType"] = "mfc v2";
  ordered_json& info = out["Card"];
  const Bytes uid = card.CardUid();
  info["UID"] = HexOf(uid.data(), uid.size());
  // As the card sends it (and block 0 holds it): low byte first.
  if (const auto atqa = card.CardAtqa()) {
    const Atqa sent{(*atqa)[1], (*atqa)[0]};
    info["ATQA"] = HexOf(sent.data(), 2);
  }
  if (const auto sak = card.CardSak()) info["SAK"] = HexOf(&*sak, 1);
  ordered_json& blocks = out["blocks"];
  blocks = ordered_json::object();
  for (int b = 0; b < card.block_count(); ++b) {
    if (!card.BlockUnknown(b)) blocks[std::to_string(b)] = BlockText(card, b, "");
  }
  ordered_json& keys = out["SectorKeys"];
  keys = ordered_json::object();
  for (int s = 0; s < card.sector_count(); ++s) {
    const auto key_a = card.KeyA(s), key_b = card.KeyB(s);
    const auto access = card.AccessBytes(s);
    if (!key_a && !key_b && !access) continue;
    ordered_json& sector = keys[std::to_string(s)];
    if (key_a) sector["KeyA"] = HexOf(key_a->data(), 6);
    if (key_b) sector["KeyB"] = HexOf(key_b->data(), 6);
    if (access) {
      sector["AccessConditions"] = HexOf(access->data(), 4);
      ordered_json& text = sector["AccessConditionsText"];
      for (const auto& [name, value] : AccessConditionsText(card, s)) text[name] = value;
    }
  }
  return out.dump(2) + "\n";
}

// Hex text of `bytes` bytes at `path` in the document, or nothing when it is absent.
std::optional<std::string> HexField(const ordered_json& object, const char* name, std::size_t bytes,
                                    const std::string& path) {
  if (!object.is_object() || !object.contains(name)) return std::nullopt;
  const ordered_json& value = object[name];
  const std::string where = path + "." + name;
  if (!value.is_string()) Fail(where, "a hex string expected");
  const std::string text = value.get<std::string>();
  if (bytes != 0 && text.size() != bytes * 2) {
    Fail(where, std::to_string(bytes * 2) + " hex digits expected, not \"" + text + "\"");
  }
  return text;
}

Bytes HexBytes(const std::string& text, const std::string& where) {
  if (text.size() % 2 != 0) Fail(where, "an odd number of hex digits");
  Bytes out;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const auto byte = HexByte(text[i], text[i + 1]);
    if (!byte) Fail(where, "\"" + text + "\" is not hex");
    out.push_back(*byte);
  }
  return out;
}

std::optional<Key> KeyField(const ordered_json& sector, const char* name, const std::string& path) {
  const auto text = HexField(sector, name, 6, path);
  if (!text) return std::nullopt;
  const Bytes bytes = HexBytes(*text, path + "." + name);
  Key key{};
  std::copy(bytes.begin(), bytes.end(), key.begin());
  return key;
}

int IndexOf(const std::string& name, int limit, const std::string& where) {
  if (name.empty() || name.size() > 3 ||
      !std::all_of(name.begin(), name.end(), [](unsigned char c) { return std::isdigit(c); }) ||
      std::stoi(name) >= limit) {
    Fail(where, "\"" + name + "\" is not a number below " + std::to_string(limit));
  }
  return std::stoi(name);
}

CardImage ReadJson(const std::string& content) {
  ordered_json doc;
  try {
    doc = ordered_json::parse(content);
  } catch (const nlohmann::json::parse_error& error) {
    const auto offset = static_cast<std::ptrdiff_t>(std::min(error.byte, content.size()));
    const int line =
        1 + static_cast<int>(std::count(content.begin(), content.begin() + offset, '\n'));
    Fail(LineAt(line) + " (offset " + std::to_string(error.byte) + ")", "not valid JSON");
  } catch (const nlohmann::json::exception& error) {  // a number too large, ...
    Fail("offset 0", std::string("not valid JSON: ") + error.what());
  }
  if (!doc.is_object()) Fail("offset 0", "a JSON dump is an object");
  const auto type = doc.find("FileType");
  if (type == doc.end() || !type->is_string()) {
    Fail("\"FileType\"", "absent; a Mifare Classic dump says \"mfc v2\" or \"mfcard\"");
  }
  if (*type != "mfc v2" && *type != "mfcard") {
    Fail("\"FileType\"", "\"" + type->get<std::string>() +
                             "\" is not a Mifare Classic dump (\"mfc v2\" or \"mfcard\")");
  }
  if (!doc.contains("blocks") || !doc["blocks"].is_object()) {
    Fail("\"blocks\"", "a JSON dump has an object \"blocks\"");
  }
  int highest = -1;
  std::map<int, std::string> names;  // "5" and "05" are the same block: the last would win
  for (const auto& [name, value] : doc["blocks"].items()) {
    const int block = IndexOf(name, kMaxBlocks, "blocks." + name);
    if (const auto [at, added] = names.emplace(block, name); !added) {
      Fail("blocks." + name, "block " + std::to_string(block) + " is given twice (as \"" +
                                 at->second + "\" and \"" + name + "\")");
    }
    highest = std::max(highest, block);
  }
  // A file that names its card by SAK holds no block past that card's (they would be dropped).
  const std::map<std::string, int> kBlocksOfSak = {{"09", 20},  {"08", 64},  {"88", 64},
                                                   {"19", 128}, {"18", 256}, {"98", 256}};
  if (doc.contains("Card") && doc["Card"].is_object() && doc["Card"].contains("SAK") &&
      doc["Card"]["SAK"].is_string()) {
    const std::string sak = doc["Card"]["SAK"].get<std::string>();
    const auto known = kBlocksOfSak.find(sak);
    if (known != kBlocksOfSak.end() && highest >= known->second) {
      Fail("blocks." + names[highest], "block " + std::to_string(highest) + " is beyond a " +
                                           TypeName(known->second) + " card (Card.SAK " + sak +
                                           ")");
    }
  }
  CardImage card(CardSizeFor(highest + 1));
  for (const auto& [name, value] : doc["blocks"].items()) {
    const std::string where = "blocks." + name;
    if (!value.is_string() || !ParseBlock(value.get<std::string>(), false, card, std::stoi(name))) {
      Fail(where, "a block is 32 hex digits (?? for an unknown byte)");
    }
  }
  if (doc.contains("Card")) {
    const ordered_json& info = doc["Card"];
    if (const auto uid = HexField(info, "UID", 0, "Card")) card.uid = HexBytes(*uid, "Card.UID");
    if (const auto atqa = HexField(info, "ATQA", 2, "Card")) {
      const Bytes bytes = HexBytes(*atqa, "Card.ATQA");
      card.atqa = Atqa{bytes[1], bytes[0]};  // low byte first in the file
    }
    if (const auto sak = HexField(info, "SAK", 1, "Card")) card.sak = HexBytes(*sak, "Card.SAK")[0];
  }
  if (doc.contains("SectorKeys") && doc["SectorKeys"].is_object()) {
    for (const auto& [name, sector] : doc["SectorKeys"].items()) {
      const std::string where = "SectorKeys." + name;
      const int s = IndexOf(name, card.sector_count(), where);
      card.key_a[s] = KeyField(sector, "KeyA", where);
      card.key_b[s] = KeyField(sector, "KeyB", where);
    }
  }
  return card;
}

// ---- text: the table for people -----------------------------------------------------------------

constexpr char kTextHeading[] = "sector  block  data";

std::string WriteText(const CardImage& card) {
  std::ostringstream out;
  const Bytes uid = card.CardUid();
  out << "uid   " << HexOf(uid.data(), uid.size()) << "\n";
  if (const auto atqa = card.CardAtqa()) out << "atqa  " << HexOf(atqa->data(), 2) << "\n";
  if (const auto sak = card.CardSak()) out << "sak   " << HexOf(&*sak, 1) << "\n";
  out << kTextHeading << "\n";
  for (int s = 0; s < card.sector_count(); ++s) {
    char head[32];
    if (card.SectorUnknown(s)) {
      std::snprintf(head, sizeof head, "%6d      -  ", s);
      const auto stop = card.stopped_at_sector;
      out << head
          << (stop && s > *stop    ? "not read: the dump stopped before this sector\n"
              : stop && s == *stop ? "not read: the dump stopped in this sector\n"
                                   : "no key opened this sector\n");
      continue;
    }
    for (int b = card.FirstBlock(s); b <= card.TrailerOf(s); ++b) {
      std::snprintf(head, sizeof head, "%6d  %5d  ", s, b - card.FirstBlock(s));
      out << head << BlockText(card, b, "");
      if (b == card.TrailerOf(s) && card.AccessBytes(s)) {
        out << "  access " << DescribeAccess(card.blocks[b]);
      }
      out << "\n";
    }
  }
  return out.str();
}

// The table as WriteText writes it, or as the tool shows it on a terminal (other lines before
// the table, the tool's report after it): "uid", "atqa" and "sak" lines, then the heading, then
// one row per block, "SECTOR - text" for a sector not read.
CardImage ReadText(const std::string& content) {
  const std::vector<std::string> lines = Lines(content);
  Bytes uid;
  std::optional<Bytes> atqa, sak;
  std::size_t i = 0;
  for (; i < lines.size() && Trim(lines[i]) != kTextHeading; ++i) {
    std::istringstream words(lines[i]);
    std::string name, value;
    words >> name >> value;
    const std::string where = LineAt(static_cast<int>(i) + 1);
    if (name == "uid") uid = HexBytes(value, where);
    if (name == "atqa" || name == "sak") (name == "atqa" ? atqa : sak) = HexBytes(value, where);
  }
  if (i == lines.size()) Fail("line 1", "no \"" + std::string(kTextHeading) + "\" heading");
  std::vector<std::pair<int, std::string>> rows;  // line number, text
  int sectors = 0;
  for (++i; i < lines.size(); ++i) {
    const std::string row = Trim(lines[i]);
    if (row.empty() || !std::isdigit(static_cast<unsigned char>(row[0]))) break;  // the report
    rows.emplace_back(static_cast<int>(i) + 1, row);
    sectors = std::max(sectors, 1 + NumberField(row.substr(0, row.find(' ')),
                                                LineAt(rows.back().first), "sector"));
  }
  const int blocks = sectors <= 5 ? 20 : sectors <= 16 ? 64 : sectors <= 32 ? 128 : 256;
  CardImage card(blocks);
  if (sectors > card.sector_count()) Fail(LineAt(rows.back().first), "more than 40 sectors");
  for (const auto& [number, row] : rows) {
    std::istringstream words(row);
    std::string sector, block, data;
    words >> sector >> block >> data;
    const std::string where = LineAt(number);
    const int s = NumberField(sector, where, "sector");
    if (block == "-") continue;  // not read
    const int b = NumberField(block, where, "block");
    if (b >= card.BlocksIn(s) || !ParseBlock(data, false, card, card.FirstBlock(s) + b)) {
      Fail(where, "\"SECTOR BLOCK DATA\": a block of the sector and 32 hex digits (?? unknown)");
    }
  }
  if (atqa && atqa->size() == 2) card.atqa = Atqa{(*atqa)[0], (*atqa)[1]};
  if (sak && sak->size() == 1) card.sak = (*sak)[0];
  card.uid = uid;
  return card;
}

bool LooksLikeText(const std::string& content) {
  for (const std::string& line : Lines(content)) {
    if (Trim(line) == kTextHeading) return true;
  }
  return false;
}

bool LooksLikeEml(const std::string& content) {
  for (const std::string& line : Lines(content)) {
    const std::string row = Trim(line);
    if (row.empty() || row[0] == '#') continue;
    return row.size() == 2 * kBlockBytes &&
           std::all_of(row.begin(), row.end(),
                       [](unsigned char c) { return std::isxdigit(c) || c == '?' || c == '-'; });
  }
  return false;
}

}  // namespace

const std::vector<DumpFormat>& DumpFormats() {
  static const std::vector<DumpFormat> formats = {
      {"text", {".txt"}, false, true, WriteText, ReadText},
      {"bin", {".bin", ".mfd", ".dump"}, true, false, WriteBin, ReadBin},
      {"json", {".json"}, false, true, WriteJson, ReadJson},
      {"nfc", {".nfc"}, false, true, WriteNfc, ReadNfc},
      {"eml", {".eml"}, false, false, WriteEml, ReadEml},
  };
  return formats;
}

const DumpFormat* FormatNamed(std::string_view name) {
  for (const DumpFormat& format : DumpFormats()) {
    if (name == format.name) return &format;
  }
  return nullptr;
}

const DumpFormat* FormatOfPath(const std::string& path) {
  const auto dot = path.find_last_of('.');
  if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return nullptr;
  std::string extension = path.substr(dot);
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  for (const DumpFormat& format : DumpFormats()) {
    for (const std::string& e : format.extensions) {
      if (e == extension) return &format;
    }
  }
  return nullptr;
}

const DumpFormat& DetectFormat(const std::string& content) {
  std::string_view head(content);
  if (head.substr(0, 3) == "\xEF\xBB\xBF") head.remove_prefix(3);
  const std::string start = Trim(head.substr(0, 64));
  if (start.rfind("Filetype:", 0) == 0) return *FormatNamed("nfc");
  if (!start.empty() && start[0] == '{') return *FormatNamed("json");
  if (LooksLikeText(content)) return *FormatNamed("text");
  if (LooksLikeEml(content)) return *FormatNamed("eml");
  // Any file of 1024 bytes would pass for a raw image: that takes its name or --format bin.
  Fail("offset 0", "not a dump in json, nfc, eml or text (" + std::to_string(content.size()) +
                       " bytes); a raw image is named .bin, .mfd or .dump, or read with "
                       "--format bin");
}

CardImage ReadDump(const std::string& content, const DumpFormat* format, const std::string& path) {
  if (!format) format = FormatOfPath(path);
  if (!format) format = &DetectFormat(content);
  return format->read(content);
}

namespace {

// "3, 7-9": the sectors `pick` says yes to.
template <typename Pick>
std::string SectorRuns(const CardImage& card, Pick pick) {
  std::string out;
  int run_start = -1;
  const auto flush = [&](int end) {
    if (run_start < 0) return;
    if (!out.empty()) out += ", ";
    out += std::to_string(run_start);
    if (end > run_start) out.append(1, '-').append(std::to_string(end));
    run_start = -1;
  };
  for (int s = 0; s < card.sector_count(); ++s) {
    const bool yes = pick(s);
    if (yes && run_start < 0) run_start = s;
    if (!yes) flush(s - 1);
  }
  flush(card.sector_count() - 1);
  return out;
}

}  // namespace

std::string SectorsWithUnknownBytes(const CardImage& card) {
  return SectorRuns(card, [&](int s) {
    bool unknown = false;
    for (int b = card.FirstBlock(s); b <= card.TrailerOf(s); ++b) unknown |= !card.BlockKnown(b);
    return unknown;
  });
}

std::string SectorsLosingData(const CardImage& card, const DumpFormat& format) {
  if (format.read == nullptr) return "";
  CardImage back;
  try {
    back = format.read(format.write(card));
  } catch (const FormatError&) {
    return "";
  }
  if (back.block_count() != card.block_count()) return SectorRuns(card, [](int) { return true; });
  return SectorRuns(card, [&](int s) {
    bool lost = (card.key_a[s] && !back.KeyA(s)) || (card.key_b[s] && !back.KeyB(s));
    for (int b = card.FirstBlock(s); b <= card.TrailerOf(s); ++b) {
      for (int i = 0; i < kBlockBytes; ++i) {
        lost |= card.ByteKnown(b, i) &&
                (!back.ByteKnown(b, i) || back.blocks[b][i] != card.blocks[b][i]);
      }
    }
    return lost;
  });
}

}  // namespace vorlex::cli::card
