// The command families. Each one adds its subcommands to the tool's command line and tells the
// registry what runs for each; main only wires them together.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "input_file.h"
#include "session.h"

namespace vorlex::cli {

using Handler = std::function<void(Session&)>;

class Registry {
 public:
  void Add(const CLI::App* command, Handler handler) { handlers_[command] = std::move(handler); }
  const Handler* Find(const CLI::App* command) const {
    const auto found = handlers_.find(command);
    return found == handlers_.end() ? nullptr : &found->second;
  }

 private:
  std::map<const CLI::App*, Handler> handlers_;
};

void AddReaderCommands(CLI::App& app, Registry& registry);    // cmd_reader.cpp
void AddMifareCommands(CLI::App& app, Registry& registry);    // cmd_mifare.cpp
void AddApduCommands(CLI::App& app, Registry& registry);      // cmd_apdu.cpp
void AddPurseCommands(CLI::App& app, Registry& registry);     // cmd_purse.cpp
void AddPortsCommands(CLI::App& app, Registry& registry);     // cmd_ports.cpp
void AddCardFileCommands(CLI::App& app, Registry& registry);  // cmd_card_files.cpp
void AddFileCommands(CLI::App& app, Registry& registry);      // cmd_file.cpp
// vorlex journal list|show|export|resolve|push (cmd_journal.cpp); `settle` runs the purse
// module's steps (cmd_purse.cpp), `module_option` adds --module.
void AddJournalCommands(CLI::App* journal, Registry& registry,
                        std::function<void(Session&, const std::string& journal_path)> settle,
                        const std::function<void(CLI::App*)>& module_option);

// The content of a file the tool reads (a dump, a key list, a script: `kind`, with its size cap),
// `-` meaning standard input where `stdin_allowed`; a folder, a device, a file too large or
// unreadable is a UsageError in the user's terms (cmd_card_files.cpp).
std::string ReadFile(const std::string& path, const files::InputKind& kind,
                     bool stdin_allowed = false);

// auth --keys: the first of the keys (key A with each, then key B; `key_type` "A" or "B" for
// one type only) that opens `sector`, with a card request after each that fails.
void AuthWithKeyList(Session& s, int sector, const std::vector<std::string>& keys,
                     const std::vector<std::string>& key_files, const std::string& key_type);

// What the library would refuse in an APDU (UsageError): `strict` for the card and SAM calls,
// which take case 2 and case 3 only.
void CheckApdu(const std::vector<std::uint8_t>& apdu, bool strict);

// card-request and rfsim-request: `--all` (request mode 1) and `--wait [SECONDS]`. The request
// runs once, or with --wait every 100 ms (one exchange each) until a card answers, the reader
// does not, the time is up or a signal comes; a failure is reported under `step` and ends the
// command. `request` gets the request mode and the message buffer to fill.
void AddCardRequestCommand(CLI::App& app, Registry& registry, const char* name,
                           const char* description, const char* step,
                           std::function<int(Session&, int mode, char* message)> request,
                           std::function<void(Session&)> show);

}  // namespace vorlex::cli
