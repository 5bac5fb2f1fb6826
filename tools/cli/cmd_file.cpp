// Card files without a card: `file show` (blocks, keys, the access conditions decoded per
// sector, what is unknown), `file convert` between the dump formats, `file diff` by sector and
// block. No reader and no library are needed: everything goes through the card-data layer.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>

#include "commands.h"
#include "dump_formats.h"
#include "mifare_safety.h"
#include "numbers.h"
#include "replacement_file.h"

namespace vorlex::cli {
namespace {

using card::CardImage;

struct LoadedFile {
  CardImage card;
  const card::DumpFormat* format;
};

// A dump file in `format_name` (or the one its content is in); refused with the place at fault.
LoadedFile Load(const std::string& path, const std::string& format_name) {
  const card::DumpFormat* format = nullptr;
  if (!format_name.empty()) {
    format = card::FormatNamed(format_name);
    if (format == nullptr || format->read == nullptr) {
      throw UsageError("--from is one of the formats read: bin, json, nfc or eml");
    }
  }
  const std::string content = ReadFile(path, files::kDumpFile);
  try {
    if (format == nullptr) format = card::FormatOfPath(path);
    if (format == nullptr) format = &card::DetectFormat(content);
    return {card::ReadDump(content, format, path), format};
  } catch (const card::FormatError& error) {
    throw UsageError(path + ": " + error.what());
  }
}

// A block as hex, `??` for its unknown bytes.
std::string BlockHex(const CardImage& card, int block) {
  std::string text;
  for (int i = 0; i < card::kBlockBytes; ++i) {
    text += card.ByteKnown(block, i) ? HexOf(&card.blocks[block][i], 1) : "??";
  }
  return text;
}

std::string KeyHex(const std::optional<card::Key>& key) {
  return key ? HexOf(key->data(), key->size()) : "unknown";
}

std::string CardLine(const CardImage& card) {
  const card::Bytes uid = card.CardUid();
  std::string line = std::string(card::TypeName(card.block_count())) + " card, " +
                     std::to_string(card.sector_count()) + " sectors, " +
                     std::to_string(card.block_count()) + " blocks";
  if (!uid.empty()) line += ", UID " + HexOf(uid.data(), uid.size());
  if (const auto atqa = card.CardAtqa()) line += ", ATQA " + HexOf(atqa->data(), 2);
  if (const auto sak = card.CardSak()) line += ", SAK " + HexOf(&*sak, 1);
  return line;
}

// ---- show ---------------------------------------------------------------------------------------

struct ShowArgs {
  std::string file, from;
};

void Show(Session& s, const ShowArgs& args) {
  const LoadedFile loaded = Load(args.file, args.from);
  const CardImage& card = loaded.card;
  s.out().Field("file", args.file + " (" + loaded.format->name + ")");
  s.out().JsonOnly("format", loaded.format->name);
  s.out().Field("card", CardLine(card));
  s.out().JsonOnly("card_type", card::TypeName(card.block_count()));
  Json sectors = Json::array();
  std::vector<std::string> unknown;
  for (int sector = 0; sector < card.sector_count(); ++sector) {
    Json entry = {{"sector", sector}};
    s.out().Line("sector " + std::to_string(sector));
    if (card.SectorUnknown(sector)) {
      s.out().Line("  unknown  no block of this sector is in the file");
      entry["unknown"] = true;
      unknown.push_back(std::to_string(sector) + " (whole)");
      sectors.push_back(entry);
      continue;
    }
    Json blocks = Json::array();
    int unknown_blocks = 0;
    for (int b = card.FirstBlock(sector); b <= card.TrailerOf(sector); ++b) {
      blocks.push_back(BlockHex(card, b));
      unknown_blocks += card.BlockKnown(b) ? 0 : 1;
      s.out().Line("  block " + std::to_string(b - card.FirstBlock(sector)) + "  " +
                   BlockHex(card, b));
    }
    entry["blocks"] = blocks;
    entry["key_a"] = KeyHex(card.KeyA(sector));
    entry["key_b"] = KeyHex(card.KeyB(sector));
    s.out().Line("  key A    " + KeyHex(card.KeyA(sector)));
    s.out().Line("  key B    " + KeyHex(card.KeyB(sector)));
    const auto conditions = card::AccessConditionsText(card, sector);
    if (conditions.empty()) {
      s.out().Line("  access   unknown (the trailer's access bytes are not in the file)");
    } else {
      const auto access = *card.AccessBytes(sector);
      entry["access_bytes"] = HexOf(access.data(), access.size());
      s.out().Line("  access   " + HexOf(access.data(), access.size()) + " (C1C2C3 " +
                   DescribeAccess(card.blocks[card.TrailerOf(sector)]) + ")");
      Json text = Json::object();
      for (const auto& [block, meaning] : conditions) {
        text[block] = meaning;
        s.out().Line("    " + block + ": " + meaning);
      }
      entry["access"] = text;
    }
    if (unknown_blocks != 0) {
      unknown.push_back(std::to_string(sector) + " (" + std::to_string(unknown_blocks) + " block" +
                        (unknown_blocks == 1 ? "" : "s") + " with unknown bytes)");
    }
    sectors.push_back(entry);
  }
  s.out().JsonOnly("sectors", sectors);
  std::string listed;
  for (const std::string& item : unknown) listed += (listed.empty() ? "" : ", ") + item;
  s.out().JsonOnly("unknown", listed.empty() ? Json(nullptr) : Json(listed));
  s.out().Line(listed.empty() ? "unknown: nothing, every byte is in the file"
                              : "unknown: sectors " + listed);
}

// ---- convert ------------------------------------------------------------------------------------

struct ConvertArgs {
  std::string in, out, from, format;
  bool partial = false, lossy = false;
};

void Convert(Session& s, const ConvertArgs& args) {
  const card::DumpFormat* format = nullptr;
  if (!args.format.empty()) {
    format = card::FormatNamed(args.format);
    if (format == nullptr) throw UsageError("--format is text, bin, json, nfc or eml");
  } else {
    format = card::FormatOfPath(args.out);
    if (format == nullptr)
      throw UsageError("cannot tell the format of " + args.out + ": add --format");
  }
  const LoadedFile loaded = Load(args.in, args.from);
  // As with dump: unknown bytes go only where they can be marked, or where --partial says so.
  // From a format that cannot mark them either, the zeros were in the file already.
  const std::string unknown = card::SectorsWithUnknownBytes(loaded.card);
  const bool unmarked = !unknown.empty() && !format->marks_unknown;
  if (unmarked && loaded.format->marks_unknown && !args.partial) {
    throw UsageError("nothing written: sectors " + unknown + " of " + args.in +
                     " have unknown bytes, which " + format->name +
                     " cannot mark (as zeros they would pass for card data); use --format json "
                     "or nfc, or add --partial to write them as zeros");
  }
  // What IN knows and OUT could not hold (a hidden key B in a raw image) is not dropped silently.
  const std::string losing = card::SectorsLosingData(loaded.card, *format);
  if (!losing.empty() && !args.lossy) {
    throw UsageError("nothing written: " + std::string(format->name) + " cannot hold all that " +
                     args.in + " knows of sectors " + losing +
                     " (a key B its access bits hide, bytes of a sector known only in part); "
                     "use --format json or nfc, or add --lossy to drop it");
  }
  try {
    files::SaveFile(args.out, format->write(loaded.card));
  } catch (const files::FileError& error) {
    throw SetupError(error.what());
  }
  s.out().Field("input", args.in + " (" + loaded.format->name + ")");
  s.out().Field("output", args.out + " (" + format->name + ")");
  s.out().Field("card", CardLine(loaded.card));
  if (unmarked && loaded.format->marks_unknown) {
    std::cerr << "vorlex: file convert: sectors " << unknown
              << " have unknown bytes: written as zeros (--partial)\n";
  }
  if (!losing.empty()) {
    std::cerr << "vorlex: file convert: sectors " << losing << " of " << args.in << ": what "
              << format->name << " cannot hold was dropped (--lossy)\n";
  }
}

// ---- diff ---------------------------------------------------------------------------------------

struct DiffArgs {
  std::string a, b, from;
};

// Under each differing byte of a block's hex: "^^".
std::string Marks(const CardImage& a, const CardImage& b, int block) {
  std::string marks;
  for (int i = 0; i < card::kBlockBytes; ++i) {
    const bool known = a.ByteKnown(block, i), other = b.ByteKnown(block, i);
    const bool differs = known != other || (known && a.blocks[block][i] != b.blocks[block][i]);
    marks += differs ? "^^" : "  ";
  }
  return marks.substr(0, marks.find_last_not_of(' ') + 1);
}

void Diff(Session& s, const DiffArgs& args) {
  const LoadedFile a = Load(args.a, args.from), b = Load(args.b, args.from);
  if (a.card.block_count() != b.card.block_count()) {
    s.out().Line("< " + CardLine(a.card));
    s.out().Line("> " + CardLine(b.card));
  }
  const int blocks = std::min(a.card.block_count(), b.card.block_count());
  Json differences = Json::array();
  int sectors_differing = 0;
  for (int sector = 0; sector < a.card.sector_count() && a.card.FirstBlock(sector) < blocks;
       ++sector) {
    bool sector_differs = false;
    for (int block = a.card.FirstBlock(sector); block <= a.card.TrailerOf(sector); ++block) {
      const std::string marks = Marks(a.card, b.card, block);
      if (marks.empty()) continue;
      const int in_sector = block - a.card.FirstBlock(sector);
      if (!sector_differs) s.out().Line("sector " + std::to_string(sector));
      sector_differs = true;
      s.out().Line("  block " + std::to_string(in_sector) +
                   (a.card.IsTrailer(block) ? " (trailer)" : ""));
      s.out().Line("    < " + BlockHex(a.card, block));
      s.out().Line("    > " + BlockHex(b.card, block));
      s.out().Line("      " + marks);
      differences.push_back({{"sector", sector},
                             {"block", in_sector},
                             {"a", BlockHex(a.card, block)},
                             {"b", BlockHex(b.card, block)}});
    }
    sectors_differing += sector_differs ? 1 : 0;
  }
  s.out().JsonOnly("differences", differences);
  s.out().JsonOnly("same", differences.empty() && a.card.block_count() == b.card.block_count());
  if (differences.empty() && a.card.block_count() == b.card.block_count()) {
    s.out().Line("the two files hold the same card data");
    return;
  }
  s.last_failure() = CommandFailed{
      "diff", 0, "",
      std::to_string(differences.size()) + " block(s) in " + std::to_string(sectors_differing) +
          " sector(s) differ" +
          (a.card.block_count() != b.card.block_count() ? ", and the cards' sizes" : ""),
      ""};
  s.Fail();
}

}  // namespace

void AddFileCommands(CLI::App& app, Registry& registry) {
  CLI::App* file = app.add_subcommand(
      "file", "card files without a card: show, convert, diff (bin, json, nfc, eml dumps)");
  file->require_subcommand(1);
  const char* from_help = "the input's format: bin, json, nfc or eml (default: from the content)";

  auto show = std::make_shared<ShowArgs>();
  CLI::App* show_command = file->add_subcommand(
      "show",
      "the blocks, keys and access conditions per sector of a dump file, and what it "
      "does not know");
  show_command->add_option("file", show->file, "the dump file")->required();
  show_command->add_option("--from", show->from, from_help);
  registry.Add(show_command, [show](Session& s) { Show(s, *show); });

  auto convert = std::make_shared<ConvertArgs>();
  CLI::App* convert_command =
      file->add_subcommand("convert", "write a dump file in another format");
  convert_command->add_option("in", convert->in, "the dump file to read")->required();
  convert_command->add_option("out", convert->out, "the file to write")->required();
  convert_command->add_option(
      "--format", convert->format,
      "text, bin, json, nfc or eml (default: from OUT's extension: .txt .bin .mfd .dump .json "
      ".nfc .eml)");
  convert_command->add_option("--from", convert->from, from_help);
  convert_command->add_flag("--partial", convert->partial,
                            "write unknown bytes as zeros all the same, where the format (bin, "
                            "eml) cannot mark them");
  convert_command->add_flag("--lossy", convert->lossy,
                            "write it even where the format cannot hold all that IN knows (a "
                            "key B the access bits hide, in bin or eml): that is dropped");
  registry.Add(convert_command, [convert](Session& s) { Convert(s, *convert); });

  auto diff = std::make_shared<DiffArgs>();
  CLI::App* diff_command = file->add_subcommand(
      "diff", "the blocks two dump files disagree on, by sector and block (exit 1 when any)");
  diff_command->add_option("a", diff->a, "the first dump file")->required();
  diff_command->add_option("b", diff->b, "the second dump file")->required();
  diff_command->add_option("--from", diff->from, from_help);
  registry.Add(diff_command, [diff](Session& s) { Diff(s, *diff); });
}

}  // namespace vorlex::cli
