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
std::string BlockZeroFilled(const CardImage& card, int block) {
  Block data = card.blocks[block];
  for (int i = 0; i < kBlockBytes; ++i) {
    if (!card.ByteKnown(block, i)) data[i] = 0;
  }
  return std::string(data.begin(), data.end());
}

// ---- bin: 16 bytes per block, block n at offset 16 n ----------------------------------------

std::string WriteBin(const CardImage& card) {
  std::string out;
  for (int b = 0; b < card.block_count(); ++b) out += BlockZeroFilled(card, b);
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
  return card;
}

// ---- eml: one block per line, 32 hex digits -------------------------------------------------

std::string WriteEml(const CardImage& card) {
  std::string out;
  for (int b = 0; b < card.block_count(); ++b) {
    const std::string raw = BlockZeroFilled(card, b);
    out += HexOf(reinterpret_cast<const std::uint8_t*>(raw.data()), raw.size()) + "\n";
  }
  return out;
}

CardImage ReadEml(const std::string& content) {
  std::vector<std::pair<int, std::string>> rows;  // line number, text
  const std::vector<std::string> lines = Lines(content);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string row = Trim(lines[i]);
    if (!row.empty()) rows.emplace_back(static_cast<int>(i) + 1, std::move(row));
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

CardImage ReadNfc(const std::string& content) {
  const std::vector<std::string> lines = Lines(content);
  std::optional<int> type_blocks;
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
    } else if (name == "Device type" && value != "Mifare Classic") {
      Fail(where, "a " + value + " file, not Mifare Classic");
    } else if (name == "Mifare Classic type") {
      type_blocks = BlocksOfType(value);
      if (!type_blocks) Fail(where, "unknown Mifare Classic type \"" + value + "\"");
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
  card.uid = uid;
  if (atqa) card.atqa = std::array<std::uint8_t, 2>{(*atqa)[0], (*atqa)[1]};
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
  if (const auto atqa = card.CardAtqa()) info["ATQA"] = HexOf(atqa->data(), 2);
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
  } catch (const nlohmann::json::exception& error) {
    // A number beyond any double (1E400), say: valid syntax that nothing can hold.
    Fail("JSON", std::string("cannot be read: ") + error.what());
  }
  if (!doc.is_object() || !doc.contains("blocks") || !doc["blocks"].is_object()) {
    Fail("\"blocks\"", "a JSON dump has an object \"blocks\"");
  }
  int highest = -1;
  for (const auto& [name, value] : doc["blocks"].items()) {
    highest = std::max(highest, IndexOf(name, kMaxBlocks, "blocks." + name));
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
      card.atqa = std::array<std::uint8_t, 2>{bytes[0], bytes[1]};
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

std::string WriteText(const CardImage& card) {
  std::ostringstream out;
  out << "sector  block  data\n";
  for (int s = 0; s < card.sector_count(); ++s) {
    char head[32];
    if (card.SectorUnknown(s)) {
      std::snprintf(head, sizeof head, "%6d      -  ", s);
      const bool not_reached = card.stopped_at_sector && s >= *card.stopped_at_sector;
      out << head
          << (not_reached ? "not read: the dump stopped before this sector\n"
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

bool LooksLikeEml(const std::string& content) {
  for (const std::string& line : Lines(content)) {
    const std::string row = Trim(line);
    if (row.empty()) continue;
    return row.size() == 2 * kBlockBytes &&
           std::all_of(row.begin(), row.end(),
                       [](unsigned char c) { return std::isxdigit(c) || c == '?' || c == '-'; });
  }
  return false;
}

}  // namespace

const std::vector<DumpFormat>& DumpFormats() {
  static const std::vector<DumpFormat> formats = {
      {"text", {".txt"}, false, WriteText, nullptr},
      {"bin", {".bin", ".mfd", ".dump"}, true, WriteBin, ReadBin},
      {"json", {".json"}, false, WriteJson, ReadJson},
      {"nfc", {".nfc"}, false, WriteNfc, ReadNfc},
      {"eml", {".eml"}, false, WriteEml, ReadEml},
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
  if (LooksLikeEml(content)) return *FormatNamed("eml");
  if (start.rfind("uid ", 0) == 0) {
    Fail("line 1", "the text table is for people: dump with --format bin, json, nfc or eml");
  }
  // Bytes no text file holds: a raw image, whose reader names what is wrong with its size.
  const bool binary = std::any_of(content.begin(), content.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 && byte != '\n' && byte != '\r' && byte != '\t';
  });
  if (binary || (content.size() % kBlockBytes == 0 &&
                 ValidBlockCount(static_cast<int>(content.size() / kBlockBytes)))) {
    return *FormatNamed("bin");
  }
  Fail("offset 0",
       "not a dump in bin, json, nfc or eml (" + std::to_string(content.size()) + " bytes)");
}

CardImage ReadDump(const std::string& content, const DumpFormat* format) {
  if (!format) format = &DetectFormat(content);
  if (!format->read) Fail(format->name, "this format is written only, not read");
  return format->read(content);
}

std::string SectorsWithUnknownBytes(const CardImage& card) {
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
    bool unknown = false;
    for (int b = card.FirstBlock(s); b <= card.TrailerOf(s); ++b) unknown |= !card.BlockKnown(b);
    if (unknown && run_start < 0) run_start = s;
    if (!unknown) flush(s - 1);
  }
  flush(card.sector_count() - 1);
  return out;
}

}  // namespace vorlex::cli::card
