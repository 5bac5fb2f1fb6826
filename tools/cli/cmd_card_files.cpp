// The commands that move card data through files: dump (in every dump format), restore (from
// any of them) and script (APDU scripts), with the key lists that dump, restore and auth share.
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>

#include "apdu_script.h"
#include "commands.h"
#include "dump_formats.h"
#include "input_file.h"
#include "interrupt.h"
#include "key_dictionary.h"
#include "mifare_safety.h"
#include "mifare_session.h"
#include "numbers.h"
#include "replacement_file.h"
#include "status_words.h"

namespace vorlex::cli {
namespace {

using card::CardImage;
using card::MifareSession;

std::string KeyText(const card::Key& key) { return HexOf(key.data(), key.size()); }

// The progress line on a terminal: sector, and keys tried in it once the first key failed.
class Progress {
 public:
  Progress(const char* what, int sectors)
      : what_(what), sectors_(sectors), shown_(isatty(STDERR_FILENO) != 0) {}
  ~Progress() {  // ends the line whatever way the command ends
    if (shown_) std::cerr << "\r" << std::string(60, ' ') << "\r" << std::flush;
  }
  void Show(int sector, int tried) const {
    if (!shown_) return;
    std::cerr << "\r" << what_ << " sector " << sector << "/" << sectors_;
    if (tried > 0) std::cerr << ", " << tried << " keys tried";
    std::cerr << "          " << std::flush;
  }

 private:
  const char* what_;
  int sectors_;
  bool shown_;
};

// --key, --key-type and --keys FILE, as dump, restore and auth take them.
struct KeyOptions {
  std::vector<std::string> keys, files;
  std::string type;
  void AddTo(CLI::App* command) {
    command->add_option("--key", keys, "a key to try, 12 hex digits (repeatable)");
    command->add_option("--keys", files,
                        "a key-list file: one key per line, # comments (repeatable)");
    command->add_option("--key-type", type, "try only key A or only key B (default: A, then B)");
  }
  // The keys in order; the transport key when none is given. Read before anything is sent.
  std::vector<card::Key> Load() const {
    card::KeyDictionary dictionary;
    for (const std::string& key : keys) {
      if (!dictionary.Add(ParseHexBytes(key, 6, "--key"))) throw UsageError("--key " + key);
    }
    for (const std::string& file : files) {
      int held = 0;
      try {
        held = dictionary.AddFile(ReadFile(file, files::kKeyList), file);
      } catch (const card::FormatError& error) {
        throw UsageError(error.what());
      }
      // A key list without a key is a mistake (the wrong file, an empty one), not "no key".
      if (held == 0) {
        throw UsageError("--keys " + file + " holds no key (one key of 12 hex digits per line)");
      }
    }
    if (dictionary.keys().empty()) dictionary.Add("FFFFFFFFFFFF");
    return dictionary.keys();
  }
  std::optional<card::KeyType> Only() const {
    if (type.empty()) return std::nullopt;
    if (type == "A" || type == "a") return card::kKeyA;
    if (type == "B" || type == "b") return card::kKeyB;
    throw UsageError("--key-type is A or B, not \"" + type + "\"");
  }
};

// What trying keys costs: the time spent in authentications and the card requests that follow
// a failed one.
struct KeyCost {
  std::chrono::steady_clock::duration spent{};
  double MillisecondsPer(int keys) const {
    return keys == 0 ? 0 : std::chrono::duration<double, std::milli>(spent).count() / keys;
  }
};

// The library's Mifare calls for a session. A result 1 goes through the session's diagnosis;
// a reader that stopped answering is kept in `stopped` and ends the card session.
card::MifareCalls CallsOf(Session& s, std::optional<Stopped>& stopped, const Progress& progress,
                          KeyCost& cost) {
  const auto judged = [&s, &stopped](const char* step, int result, const char* message) {
    // Every exchange goes through the session: its steps, and the diagnosis of a result 1.
    try {
      s.Call(step, result, message);
    } catch (const Stopped& stop) {
      stopped = stop;
    }
    return stopped ? 1 : result;
  };
  card::MifareCalls calls;
  calls.request = [&s, judged, &cost](card::Bytes& atqa, card::Bytes& uid) {
    char atqa_text[5] = {}, uid_text[9] = {};
    Message message;
    const auto start = std::chrono::steady_clock::now();
    const int result = judged(
        "card_request", s.lib().REQ_14443_CARD(s.reader(), 1, atqa_text, uid_text, message.text),
        message.text);
    cost.spent += std::chrono::steady_clock::now() - start;
    if (result == 0) {
      atqa = BytesOfHex(atqa_text);
      uid = BytesOfHex(uid_text);
    }
    return result;
  };
  calls.auth = [&s, judged, &cost](int sector, card::KeyType type, const card::Key& key) {
    const std::string hex = KeyText(key);
    Message message;
    const auto start = std::chrono::steady_clock::now();
    const int result =
        judged("auth", s.lib().MIFS_AUTH(s.reader(), sector, type, hex.c_str(), message.text),
               message.text);
    cost.spent += std::chrono::steady_clock::now() - start;
    return result;
  };
  calls.read = [&s, judged](int sector, int block, card::Block& data) {
    char text[33] = {};
    Message message;
    const int result = judged(
        "read", s.lib().MIFS_READ(s.reader(), sector, block, text, message.text), message.text);
    if (result == 0) {
      const auto bytes = BytesOfHex(text);
      std::copy(bytes.begin(), bytes.end(), data.begin());
    }
    return result;
  };
  calls.write = [&s, judged](int sector, int block, const card::Block& data) {
    const std::string hex = HexOf(data.data(), data.size());
    Message message;
    return judged("write", s.lib().MIFS_WRITE(s.reader(), sector, block, hex.c_str(), message.text),
                  message.text);
  };
  calls.interrupted = [] { return PendingSignal() != 0; };
  calls.progress = [&progress](int sector, int tried) { progress.Show(sector, tried); };
  return calls;
}

int SectorLimit(const Session& s) { return s.edition() == Edition::kDisplay ? 15 : 40; }

// Requests the card, as every card session starts; `show_uid` false: its UID is in what the
// command shows anyway.
void RequestCard(Session& s, MifareSession& session, bool show_uid = true) {
  Message message;
  const int result = session.Request();
  if (result != 0) {
    // Once more through the session, for its explanation of the failure.
    char atqa[5] = {}, uid[9] = {};
    s.Check("card_request", s.lib().REQ_14443_CARD(s.reader(), 1, atqa, uid, message.text),
            message.text);
  }
  const std::string uid = HexOf(session.uid().data(), session.uid().size());
  if (show_uid) {
    s.out().Field("uid", uid);
  } else {
    s.out().JsonOnly("uid", uid);
  }
}

// "expected card 3A5C719E, found card 11223344" / "... found no card": a session whose card went.
std::string CardsOf(const MifareSession& session) {
  const card::Stop& stop = session.stop();
  return "expected card " + HexOf(session.uid().data(), session.uid().size()) + ", found " +
         (stop.found_uid.empty() ? "no card"
                                 : "card " + HexOf(stop.found_uid.data(), stop.found_uid.size()));
}

// Ends a card session that stopped early: what it did is already reported.
void ThrowIfStopped(const MifareSession& session, const std::optional<Stopped>& stopped,
                    const char* what) {
  const card::Stop& stop = session.stop();
  if (stop.reason == card::Stop::kInterrupted) {
    throw Stopped{PendingSignal(), stop.step,
                  std::string(what) + " interrupted at sector " + std::to_string(stop.sector)};
  }
  if (stop.reason == card::Stop::kNoAnswer && stopped) throw *stopped;
  if (stop.reason == card::Stop::kNone) return;
  const std::string at = std::string(what) + " stopped at sector " + std::to_string(stop.sector);
  const std::string expected = HexOf(session.uid().data(), session.uid().size());
  if (stop.reason == card::Stop::kCardChanged) {
    throw Stopped{0,
                  stop.step,
                  at + ": another card is in the field (" + CardsOf(session) +
                      "); nothing was written to it. Put card " + expected +
                      " back and start again",
                  "card_changed",
                  expected,
                  HexOf(stop.found_uid.data(), stop.found_uid.size())};
  }
  throw Stopped{0,
                stop.step,
                at + ": the card left the field (" + CardsOf(session) +
                    "; card request: status 0x" + StatusHex(stop.result) + ")",
                "card_left",
                expected,
                ""};
}

// Exchanges, and the keys tried per sector with what each cost.
void Counts(Session& s, const MifareSession& session, const KeyCost& cost) {
  const card::Counters& c = session.counters();
  int tried = 0;
  std::string per_sector;
  for (const int n : session.keys_tried()) {
    tried += n;
    per_sector += (per_sector.empty() ? "" : " ") + std::to_string(n);
  }
  const double each = cost.MillisecondsPer(tried);
  char cost_text[96];
  std::snprintf(cost_text, sizeof cost_text,
                "; %.1f ms per key, a key that fails costs 2 exchanges (authentication, card "
                "request)",
                each);
  s.out().JsonOnly("keys_tried_per_sector", session.keys_tried());
  s.out().JsonOnly("ms_per_key", each);
  s.out().Field("keys_tried", tried,
                std::to_string(tried) +
                    (per_sector.empty() ? "" : " (per sector: " + per_sector + ")") + cost_text);
  s.out().JsonOnly("exchanges", c.exchanges());
  s.out().Field("exchanges", c.exchanges(),
                std::to_string(c.exchanges()) + " (" + std::to_string(c.auths) + " keys tried, " +
                    std::to_string(c.requests) + " card requests, " + std::to_string(c.reads) +
                    " reads, " + std::to_string(c.writes) + " writes)");
}

// ---- dump ---------------------------------------------------------------------------------------

struct DumpArgs {
  KeyOptions keys;
  std::string format, output;
  bool partial = false;
};

const card::DumpFormat& DumpFormatOf(const DumpArgs& args, bool json) {
  const card::DumpFormat* format = nullptr;
  if (!args.format.empty()) {
    format = card::FormatNamed(args.format);
    if (!format) throw UsageError("--format is text, bin, json, nfc or eml");
  } else if (!args.output.empty()) {
    format = card::FormatOfPath(args.output);
    if (!format) throw UsageError("cannot tell the format of " + args.output + ": add --format");
  } else {
    format = card::FormatNamed("text");
  }
  if (args.output.empty()) {
    if (json && std::string(format->name) != "text") {
      throw UsageError("--json and --format " + std::string(format->name) +
                       " would both go to standard output: add --output FILE");
    }
    if (format->binary && isatty(STDOUT_FILENO)) {
      throw UsageError("--format bin is not for a terminal: add --output FILE");
    }
  }
  return *format;
}

void ReportDump(Session& s, const CardImage& image, const MifareSession& session,
                const KeyCost& cost) {
  Json sectors = Json::array();
  int failed = 0;
  for (int sector = 0; sector < image.sector_count() && sector < SectorLimit(s); ++sector) {
    failed += image.SectorUnknown(sector) ? 1 : 0;
    Json entry = {{"sector", sector}, {"ok", !image.SectorUnknown(sector)}};
    if (image.key_a[sector]) entry["key_a"] = KeyText(*image.key_a[sector]);
    if (image.key_b[sector]) entry["key_b"] = KeyText(*image.key_b[sector]);
    if (static_cast<std::size_t>(sector) < session.keys_tried().size()) {
      entry["keys_tried"] = session.keys_tried()[sector];
    }
    Json blocks = Json::array();
    for (int b = image.FirstBlock(sector); b <= image.TrailerOf(sector); ++b) {
      std::string data;
      for (int i = 0; i < card::kBlockBytes; ++i) {
        data += image.ByteKnown(b, i) ? HexOf(&image.blocks[b][i], 1) : "??";
      }
      blocks.push_back(data);
    }
    entry["blocks"] = blocks;
    sectors.push_back(entry);
  }
  s.out().JsonOnly("sectors", sectors);
  s.out().JsonOnly("sectors_failed", failed);
  const card::Stop& stop = session.stop();
  s.out().JsonOnly("complete", stop.reason == card::Stop::kNone);
  if (stop.reason != card::Stop::kNone) {
    s.out().Line("(stopped at sector " + std::to_string(stop.sector) + ": " +
                 (stop.reason == card::Stop::kInterrupted ? "interrupted"
                  : stop.reason == card::Stop::kNoAnswer  ? "the reader stopped answering"
                  : stop.reason == card::Stop::kCardChanged
                      ? "another card is in the field, " + CardsOf(session)
                      : "the card left the field, " + CardsOf(session)) +
                 ")");
    s.out().JsonOnly("stopped_at_sector", stop.sector);
  }
  Counts(s, session, cost);
}

void Dump(Session& s, const DumpArgs& args) {
  const card::DumpFormat& format = DumpFormatOf(args, s.out().json());
  const std::vector<card::Key> keys = args.keys.Load();
  const auto only = args.keys.Only();
  // Made beside the destination before anything is sent: a dump that cannot be saved is known
  // before the card is read.
  std::optional<files::ReplacementFile> output;
  try {
    if (!args.output.empty()) output.emplace(args.output);
  } catch (const files::FileError& error) {
    throw SetupError(error.what());
  }
  s.Open();
  std::optional<Stopped> stopped;
  const Progress progress("dump", s.edition() == Edition::kDisplay ? 15 : 16);
  KeyCost cost;
  MifareSession session(CallsOf(s, stopped, progress, cost), keys, SectorLimit(s));
  if (only) session.OnlyKeyType(*only);
  const bool table_shown = args.output.empty() && std::string(format.name) == "text";
  RequestCard(s, session, !table_shown);
  CardImage image = session.Dump();
  if (session.stop().reason != card::Stop::kNone) image.stopped_at_sector = session.stop().sector;
  // A file is replaced only by a complete dump (or a partial one when --partial asks for it): a
  // dump stopped by a signal (even one that came after the last exchange), a card that left or
  // changed, or a silent reader leaves FILE as it was.
  const bool signalled = PendingSignal() != 0;
  const bool incomplete = session.stop().reason != card::Stop::kNone || signalled;
  const bool kept = output && incomplete && !args.partial;

  // Unknown bytes go only where they can be marked as such.
  const std::string unknown = card::SectorsWithUnknownBytes(image);
  const bool refused = !unknown.empty() && !format.marks_unknown && !args.partial;
  if (refused) {
    std::cerr << "vorlex: dump: nothing written: sectors " << unknown
              << " have unknown bytes, which " << format.name
              << " cannot mark (as zeros they would pass for card data); use --format json or "
                 "nfc, or add --partial to write them as zeros\n";
  } else {
    const std::string content = format.write(image);
    if (kept) {
      std::cerr << "vorlex: dump: nothing written: the dump did not finish, " << args.output
                << (std::filesystem::exists(args.output) ? " is as it was" : " was not created")
                << " (--partial writes what was read)\n";
    } else if (output) {
      try {
        output->Write(content);
        output->Commit();
      } catch (const files::FileError& error) {
        throw SetupError(error.what());
      }
      s.out().Field("output", args.output + " (" + format.name + ")");
    } else if (table_shown) {
      std::istringstream lines(content);
      for (std::string line; std::getline(lines, line);) s.out().Line(line);
    } else {
      std::cout << content << std::flush;
      s.out().PeopleToStandardError();
    }
    if (!unknown.empty() && !format.marks_unknown) {
      std::cerr << "vorlex: dump: sectors " << unknown
                << " have unknown bytes: written as zeros (--partial)\n";
    }
  }
  s.out().JsonOnly("format", format.name);
  s.out().JsonOnly("written", !refused && !kept);
  ReportDump(s, image, session, cost);
  ThrowIfStopped(session, stopped, "dump");
  if (signalled) {
    throw Stopped{PendingSignal(), "",
                  std::string("dump interrupted after its last exchange") +
                      (kept ? ", before writing " + args.output : "")};
  }
  std::string closed;
  for (int sector = 0; sector < image.sector_count() && sector < SectorLimit(s); ++sector) {
    if (image.SectorUnknown(sector))
      closed += (closed.empty() ? "" : ", ") + std::to_string(sector);
  }
  if (s.edition() == Edition::kDisplay)
    s.out().Line("sector 15 is out of the display edition's reach");
  if (!closed.empty()) {
    s.last_failure() =
        CommandFailed{"auth", 0, "",
                      "no key opened sector(s) " + closed +
                          (refused ? "; nothing written" : "; the other sectors are in the dump"),
                      "more keys: --keys FILE, --key HEX"};
    s.Fail();
  }
  if (refused) {
    s.last_failure() =
        CommandFailed{"dump", 0, "", "sectors " + unknown + " have unknown bytes; nothing written",
                      "--format json or nfc, or --partial"};
    s.Fail();
  }
}

// ---- restore ------------------------------------------------------------------------------------

struct RestoreArgs {
  std::string file, format;
  bool dry_run = false, any_card = false;
  KeyOptions keys;
  WriteAllowance allowed;
};

const char* OutcomeName(MifareSession::Report::Outcome outcome) {
  switch (outcome) {
    case MifareSession::Report::kWritten:
      return "written";
    case MifareSession::Report::kPlanned:
      return "planned";
    case MifareSession::Report::kSkipped:
      return "skipped";
    case MifareSession::Report::kRefused:
      return "refused";
    case MifareSession::Report::kStopped:
      return "stopped";
    default:
      return "failed";
  }
}

void Restore(Session& s, const RestoreArgs& args) {
  const card::DumpFormat* format = nullptr;
  if (!args.format.empty()) {
    format = card::FormatNamed(args.format);
    if (!format) throw UsageError("--format is bin, json, nfc, eml or text");
  }
  CardImage file;
  try {
    file = card::ReadDump(ReadFile(args.file, files::kDumpFile), format, args.file);
  } catch (const card::FormatError& error) {
    throw UsageError("nothing written: " + args.file + ": " + error.what());
  }
  const std::vector<card::Key> keys = args.keys.Load();
  s.Open();
  std::optional<Stopped> stopped;
  const Progress progress("restore", std::min(file.sector_count(), SectorLimit(s)));
  KeyCost cost;
  MifareSession session(CallsOf(s, stopped, progress, cost), keys, SectorLimit(s));
  if (const auto only = args.keys.Only()) session.OnlyKeyType(*only);
  RequestCard(s, session);
  const card::Bytes file_uid = file.CardUid();
  if (file_uid != session.uid() && !args.any_card) {
    const std::string card_uid = HexOf(session.uid().data(), session.uid().size());
    s.last_failure() = CommandFailed{
        "restore", 0, "",
        "nothing written: " +
            (file_uid.empty()
                 ? args.file + " names no card (no UID in it)"
                 : args.file + " is a dump of card " + HexOf(file_uid.data(), file_uid.size())) +
            ", the card in the field is " + card_uid,
        "--any-card writes it to this card all the same"};
    s.Fail();
  }

  MifareSession::RestoreOptions options;
  options.dry_run = args.dry_run;
  options.verdict = [&](int block,
                        const card::Block& data) -> std::optional<MifareSession::Verdict> {
    const int sector = file.SectorOf(block), in_sector = block - file.FirstBlock(sector);
    const BlockKind kind = KindOf(sector, in_sector);
    if (kind == BlockKind::kManufacturer && !args.allowed.block0) {
      return MifareSession::Verdict{false, "the manufacturer block, skipped (--allow-block0)"};
    }
    if (kind == BlockKind::kTrailer && !args.allowed.trailer) {
      return MifareSession::Verdict{false, "a sector trailer, skipped (--allow-trailer)"};
    }
    const std::string refused = CheckBlockWrite(sector, in_sector, data, args.allowed);
    if (!refused.empty()) return MifareSession::Verdict{true, "refused: " + refused};
    return std::nullopt;
  };
  const std::vector<MifareSession::Report> reports = session.Restore(file, options);

  Json sectors = Json::array();
  int failed = 0;
  for (const MifareSession::Report& report : reports) {
    Json entry = {{"sector", report.sector}, {"outcome", OutcomeName(report.outcome)}};
    std::string line =
        "sector " + std::to_string(report.sector) + "  " + OutcomeName(report.outcome);
    if (!report.planned.empty()) {
      entry["planned"] = report.planned;
      line += "  would write blocks " + card::BlockList(report.planned);
    }
    if (!report.written.empty() || !report.verified.empty()) {
      entry["written"] = report.written;
      entry["verified"] = report.verified;
      line += report.written == report.verified
                  ? "  blocks " + card::BlockList(report.written)
                  : "  written " + card::BlockList(report.written) + ", verified " +
                        (report.verified.empty() ? "none" : card::BlockList(report.verified));
    }
    std::string opened_by;
    for (const auto& [name, key] : {std::pair{"A", &report.key_a}, std::pair{"B", &report.key_b}}) {
      if (!*key) continue;
      entry[std::string("key_") + (name[0] == 'A' ? "a" : "b")] = KeyText(**key);
      opened_by +=
          std::string(opened_by.empty() ? "" : ", ") + "key " + name + " " + KeyText(**key);
    }
    if (!opened_by.empty()) line += " (" + opened_by + ")";
    if (static_cast<std::size_t>(report.sector) < session.keys_tried().size()) {
      entry["keys_tried"] = session.keys_tried()[report.sector];
    }
    entry["notes"] = report.notes;
    for (const std::string& note : report.notes) line += "; " + note;
    sectors.push_back(entry);
    s.out().Line(line);
    failed += report.outcome == MifareSession::Report::kFailed ||
              report.outcome == MifareSession::Report::kRefused;
  }
  s.out().JsonOnly("sectors", sectors);
  s.out().JsonOnly("dry_run", args.dry_run);
  Counts(s, session, cost);
  ThrowIfStopped(session, stopped, "restore");
  if (failed != 0) {
    s.last_failure() = CommandFailed{"restore", 0, "",
                                     std::to_string(failed) +
                                         " sector(s) refused or failed; "
                                         "the others are as reported",
                                     ""};
    s.Fail();
  }
}

// ---- script -------------------------------------------------------------------------------------

std::string Spaced(const std::vector<std::uint8_t>& bytes) {
  return HexOf(bytes.data(), bytes.size(), " ");
}

struct ScriptArgs {
  std::string file, unit = "card";
};

void Script(Session& s, const ScriptArgs& args) {
  std::vector<card::ScriptStep> steps;
  try {
    steps = card::ParseApduScript(ReadFile(args.file, files::kApduScript, true));
    if (steps.empty() || steps.front().kind == card::ScriptStep::kExit) {
      throw card::FormatError("holds no APDU: nothing to run");
    }
    for (const card::ScriptStep& step : steps) {
      if (step.kind != card::ScriptStep::kApdu) continue;
      try {
        CheckApdu(step.apdu, args.unit != "rfsim");
      } catch (const UsageError& error) {
        throw card::FormatError("line " + std::to_string(step.line) + ": " + error.what());
      }
    }
  } catch (const card::FormatError& error) {
    throw UsageError("nothing sent: " + (args.file == "-" ? "standard input" : args.file) + ": " +
                     error.what());
  }
  s.Open();
  const EditionLibrary& lib = s.lib();
  const std::map<std::string, decltype(&::CPUCARD_APDU)> calls = {{"card", lib.CPUCARD_APDU},
                                                                  {"sam1", lib.SAMCAR1_APDU},
                                                                  {"sam2", lib.SAMCAR2_APDU},
                                                                  {"rfsim", lib.RFSIMCARD_APDU}};
  Json exchanges = Json::array();
  const auto finish = [&] { s.out().JsonOnly("exchanges", exchanges); };
  for (const card::ScriptStep& step : steps) {
    if (PendingSignal() != 0) {
      finish();
      throw Stopped{PendingSignal(), "apdu",
                    "script interrupted before line " + std::to_string(step.line)};
    }
    if (step.kind == card::ScriptStep::kExit) break;
    Message message;
    if (step.kind == card::ScriptStep::kReset) {
      char answer[VORLEX_REPLY_TEXT_SIZE] = {}, uid[17] = {};
      std::string shown;
      bool ok = false;
      if (args.unit == "card") {
        char atqa[5] = {};
        ok = s.Call("card_request", lib.REQ_14443_CARD(s.reader(), 1, atqa, uid, message.text),
                    message.text) &&
             s.Call("ats", lib.ATS_14443_CARD(s.reader(), answer, message.text), message.text);
        shown = std::string("UID ") + uid + ", ATS " + answer;
      } else if (args.unit == "rfsim") {
        ok = s.Call("rfsim_request", lib.REQ_RFSIM_CARD(s.reader(), 1, uid, message.text),
                    message.text);
        shown = std::string("identifier ") + uid;
      } else {
        const bool one = args.unit == "sam1";
        ok = s.Call("sam_power_off",
                    (one ? lib.SAMCAR1_POWER_OFF : lib.SAMCAR2_POWER_OFF)(s.reader(), message.text),
                    message.text) &&
             s.Call("sam_power_on",
                    (one ? lib.SAMCAR1_POWER_ON : lib.SAMCAR2_POWER_ON)(s.reader(), answer,
                                                                        message.text),
                    message.text);
        shown = std::string("reset answer ") + answer;
      }
      if (!ok) {
        finish();
        s.Fail();
      }
      s.out().Line("reset: " + shown);
      exchanges.push_back({{"line", step.line}, {"reset", shown}});
      continue;
    }
    const std::string hex = HexOf(step.apdu.data(), step.apdu.size());
    char reply[VORLEX_REPLY_TEXT_SIZE] = {};
    s.out().Line("> " + Spaced(step.apdu));
    if (!s.Call("apdu", calls.at(args.unit)(s.reader(), hex.c_str(), reply, message.text),
                message.text)) {
      finish();
      s.Fail();
    }
    const std::vector<std::uint8_t> bytes = BytesOfHex(reply);
    Json exchange = {{"line", step.line}, {"apdu", hex}, {"reply", reply}};
    std::string meaning;
    if (bytes.size() >= 2) {
      const auto sw = static_cast<std::uint16_t>(bytes[bytes.size() - 2] << 8 | bytes.back());
      meaning = Iso7816StatusName(sw);
      exchange["sw"] = Hex(sw, 4);
      exchange["sw_meaning"] = meaning;
    }
    s.out().Line("< " + Spaced(bytes) + (meaning.empty() ? "" : " : " + meaning));
    if (step.expect) {
      const bool match = step.expect->Matches(bytes);
      exchange["expected"] = step.expect->text;
      exchange["match"] = match;
      if (!match) {
        exchanges.push_back(exchange);
        finish();
        s.last_failure() =
            CommandFailed{"apdu", 0, "",
                          "line " + std::to_string(step.line) + ": expected " + step.expect->text +
                              ", the card answered " + (bytes.empty() ? "nothing" : Spaced(bytes)) +
                              (meaning.empty() ? "" : " (" + meaning + ")"),
                          ""};
        s.Fail();
      }
    }
    exchanges.push_back(exchange);
  }
  finish();
  s.out().JsonOnly("unit", args.unit);
}

}  // namespace

// Every file the card-data commands read (dump files, key lists, scripts) comes through here;
// `-` is standard input where `stdin_allowed`. A folder or an unreadable file is refused in
// the user's terms, before anything is sent.
std::string ReadFile(const std::string& path, const files::InputKind& kind, bool stdin_allowed) {
  try {
    if (stdin_allowed && path == "-") return files::ReadInputDescriptor(0, "standard input", kind);
    return files::ReadInputFile(path, kind);
  } catch (const files::FileError& error) {
    throw UsageError(error.what());
  }
}

void AuthWithKeyList(Session& s, int sector, const std::vector<std::string>& keys,
                     const std::vector<std::string>& key_files, const std::string& key_type) {
  KeyOptions options;
  options.keys = keys;
  options.files = key_files;
  options.type = key_type;
  const std::vector<card::Key> list = options.Load();
  std::optional<Stopped> stopped;
  const Progress progress("auth", sector + 1);
  KeyCost cost;
  MifareSession session(CallsOf(s, stopped, progress, cost), list, SectorLimit(s));
  if (const auto only = options.Only()) session.OnlyKeyType(*only);
  RequestCard(s, session);
  // Both keys: the sector stays open with the last one found.
  const auto key_a = session.Find(sector, card::kKeyA);
  const auto key_b = session.stop().reason == card::Stop::kNone
                         ? session.Find(sector, card::kKeyB,
                                        key_a ? std::vector{*key_a} : std::vector<card::Key>{})
                         : std::nullopt;
  s.out().Field("sector", sector, std::to_string(sector));
  if (key_a) s.out().Field("key_a", KeyText(*key_a));
  if (key_b) s.out().Field("key_b", KeyText(*key_b));
  Counts(s, session, cost);
  ThrowIfStopped(session, stopped, "auth");
  if (!key_a && !key_b) {
    s.last_failure() = CommandFailed{"auth", 0, "",
                                     "none of the " + std::to_string(list.size()) +
                                         " keys opened sector " + std::to_string(sector),
                                     ""};
    s.Fail();
  }
  if (key_a && !key_b) {
    // A key B that failed left the card unauthenticated: open the sector with key A again.
    session.Find(sector, card::kKeyA, {*key_a});
    ThrowIfStopped(session, stopped, "auth");
  }
  s.out().Field("key_type", key_b ? "B" : "A");
  s.out().Field("key", KeyText(key_b ? *key_b : *key_a));
}

void AddCardFileCommands(CLI::App& app, Registry& registry) {
  auto d = std::make_shared<DumpArgs>();
  CLI::App* dump = app.add_subcommand(
      "dump",
      "request the card, open every sector with the keys given and read it; show it or write it "
      "as a dump file");
  d->keys.AddTo(dump);
  dump->add_option("--format", d->format,
                   "text (the table, default), bin, json, nfc or eml; with --output also from "
                   "the file's extension");
  dump->add_option("--output", d->output, "write the dump to FILE");
  dump->add_flag("--partial", d->partial,
                 "write a dump with unknown bytes as bin or eml all the same, those bytes as "
                 "zeros (a sector known in part: all zeros); with --output, also a dump that did "
                 "not finish");
  registry.Add(dump, [d](Session& s) { Dump(s, *d); });

  auto r = std::make_shared<RestoreArgs>();
  CLI::App* restore = app.add_subcommand(
      "restore",
      "write the blocks of a dump file (bin, json, nfc, eml, text) that it holds to the card and "
      "read them back");
  restore->add_option("file", r->file, "the dump file")->required();
  restore->add_option("--format", r->format,
                      "bin, json, nfc, eml or text (default: from the extension, else from the "
                      "content; a raw image needs .bin, .mfd, .dump or --format bin)");
  restore->add_flag("--any-card", r->any_card,
                    "write the dump to the card in the field even when its UID is another");
  restore->add_flag("--dry-run", r->dry_run,
                    "request the card and open the sectors, but write nothing: show the plan");
  r->keys.AddTo(restore);
  r->allowed.AddTo(restore);
  registry.Add(restore, [r](Session& s) { Restore(s, *r); });

  auto sc = std::make_shared<ScriptArgs>();
  CLI::App* script = app.add_subcommand(
      "script",
      "run an APDU script: one APDU per line, # comments, \\ continues, reset, exit, "
      "= 9000 / = ..9000 / = 61XX expected replies");
  script->add_option("file", sc->file, "the script; - reads it from standard input")->required();
  script->add_option("--unit", sc->unit, "card (default), sam1, sam2 or rfsim")
      ->check(CLI::IsMember({"card", "sam1", "sam2", "rfsim"}));
  registry.Add(script, [sc](Session& s) { Script(s, *sc); });
}

}  // namespace vorlex::cli
