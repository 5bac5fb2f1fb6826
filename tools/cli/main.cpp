// vorlex: every operation of the library from the command line. This file only wires the
// command families (cmd_*.cpp) to the command line and turns outcomes into exit statuses.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <clocale>
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "commands.h"
#include "guarded_main.h"
#include "interrupt.h"
#include "privileges.h"
#include "text_encoding.h"

namespace vorlex::cli {
namespace {

constexpr char kFooter[] =
    R"(Numbers are decimal (010 is ten); write 0x for hexadecimal. Hex bytes may be
pasted with spaces or colons between them ("00 84 00 00 08").
Exit status: 0 done; 1 the reader refused, or did not answer; 2 bad command line (nothing was
sent); 3 no library, or the port cannot be opened; 4 a purchase whose outcome is unknown (its
answer was lost and the balance could not be read: check it before charging again); 5 the
purchase journal cannot be written (nothing was sent); 130/143
interrupted by SIGINT/SIGTERM; 70 an internal error of the tool.
`vorlex help COMMAND` or `vorlex COMMAND --help` shows a command's own help.)";

std::size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1] ? 1 : 0)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::string Nearest(const std::string& word, const std::vector<std::string>& candidates) {
  std::string best;
  std::size_t best_distance = std::max<std::size_t>(2, word.size() / 3) + 1;
  for (const std::string& candidate : candidates) {
    const std::size_t distance = EditDistance(word, candidate);
    const bool prefix = candidate.rfind(word, 0) == 0 && word.size() >= 3;
    if (prefix || distance < best_distance) {
      best = candidate;
      best_distance = prefix ? 0 : distance;
    }
  }
  return best;
}

// The deepest subcommand on the line ("purse" -> "balance"), or the app itself.
const CLI::App* Chosen(const CLI::App& app) {
  const CLI::App* at = &app;
  for (;;) {
    const auto parsed = at->get_subcommands();
    if (parsed.empty()) return at;
    at = parsed.front();
  }
}

std::string PathOf(const CLI::App* command) {
  std::string path;
  for (const CLI::App* at = command; at != nullptr && at->get_parent() != nullptr;
       at = at->get_parent()) {
    path = at->get_name() + (path.empty() ? "" : " " + path);
  }
  return path;
}

// A command's help, with its usage line as typed: "Usage: vorlex purse balance [OPTIONS]".
std::string HelpOf(const CLI::App* command) {
  if (command->get_parent() == nullptr) return command->help();
  const std::string parent = PathOf(command->get_parent());
  return command->help(parent.empty() ? "vorlex" : "vorlex " + parent);
}

// The words nobody took, from the deepest command up (options fall through to the parents).
std::vector<std::string> Left(const CLI::App& app) {
  for (const CLI::App* at = Chosen(app); at != nullptr; at = at->get_parent()) {
    if (const auto left = at->remaining(); !left.empty()) return left;
  }
  return {};
}

// An unknown word or option, named with the nearest known one.
std::string Unexpected(const CLI::App& app, const std::string& word) {
  const CLI::App* where = Chosen(app);
  std::vector<std::string> names;
  if (word.rfind("-", 0) == 0) {
    for (const CLI::App* at = where; at != nullptr; at = at->get_parent()) {
      for (const CLI::Option* option : at->get_options()) {
        for (const std::string& name : option->get_lnames()) names.push_back("--" + name);
      }
    }
    const std::string near = Nearest(word.substr(0, word.find('=')), names);
    return "unknown option " + word + (near.empty() ? "" : "; did you mean " + near + "?");
  }
  for (const CLI::App* sub : where->get_subcommands({})) names.push_back(sub->get_name());
  if (names.empty()) {
    return "unexpected argument \"" + word + "\" for " + PathOf(where);
  }
  const std::string near = Nearest(word, names);
  return "unknown command \"" + word + "\"" + (where == &app ? "" : " for " + PathOf(where)) +
         (near.empty() ? "" : "; did you mean \"" + near + "\"?");
}

int Main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  WatchSignals();

  CLI::App app{
      "Drives a VORLEX contactless reader through the VORLEX library, one operation "
      "per command.",
      "vorlex"};
  app.set_help_flag("-h,--help", "this help (vorlex COMMAND --help: that command's)");
  app.set_version_flag("-V,--version", "vorlex " VORLEX_VERSION, "the tool's version");
  app.require_subcommand(1);
  app.fallthrough();  // global options anywhere on the line
  GlobalOptions options;
  app.add_option("-p,--port", options.port,
                 "COMn, or a device path such as /dev/ttyUSB0 or a simulator's pty")
      ->envname("VORLEX_PORT");
  app.add_option("-e,--edition", options.edition,
                 "epurse (default) or display; display and the purse commands pick theirs")
      ->check(CLI::IsMember({"epurse", "display"}));
  app.add_option("--library", options.library,
                 "the edition's libvorlex.so (default: the one beside this program)");
  app.add_flag("-j,--json", options.json, "one JSON object on standard output, for scripts");

  Registry registry;
  AddReaderCommands(app, registry);
  AddMifareCommands(app, registry);
  AddApduCommands(app, registry);
  AddPurseCommands(app, registry);
  AddPortsCommands(app, registry);
  AddCardFileCommands(app, registry);
  AddFileCommands(app, registry);
  std::vector<std::string> help_topic;
  CLI::App* help = app.add_subcommand("help", "show the help of a command: vorlex help read");
  help->add_option("command", help_topic, "the command (and step: help purse balance)");
  app.footer(kFooter);  // after the subcommands, which would inherit it

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::cout << HelpOf(Chosen(app));
    return 0;
  } catch (const CLI::CallForAllHelp&) {
    std::cout << app.help("", CLI::AppFormatMode::All);
    return 0;
  } catch (const CLI::CallForVersion&) {
    std::cout << "vorlex " << VORLEX_VERSION << "\n";
    return 0;
  } catch (const CLI::ParseError& error) {
    if (argc == 1) {
      std::cerr << app.help();
      return 2;
    }
    const std::vector<std::string> left = Left(app);
    const std::string path = PathOf(Chosen(app));
    const std::string where = path.empty() ? "vorlex" : "vorlex " + path;
    std::cerr << where << ": " << (left.empty() ? error.what() : Unexpected(app, left.front()))
              << "\nTry '" << where << " --help'.\n";
    return 2;
  }

  const CLI::App* chosen = Chosen(app);
  if (chosen == help) {
    const CLI::App* topic = &app;
    for (const std::string& word : help_topic) {
      try {
        topic = const_cast<CLI::App*>(topic)->get_subcommand(word);
      } catch (const CLI::OptionNotFound&) {
        std::vector<std::string> names;
        for (const CLI::App* sub : topic->get_subcommands({})) names.push_back(sub->get_name());
        const std::string near = Nearest(word, names);
        std::cerr << "vorlex help: unknown command \"" << word << "\""
                  << (near.empty() ? "" : "; did you mean \"" + near + "\"?") << "\n";
        return 2;
      }
    }
    std::cout << HelpOf(topic);
    return 0;
  }
  const Handler* handler = registry.Find(chosen);
  if (handler == nullptr) {  // a family without a step: "vorlex purse"
    std::cerr << HelpOf(chosen);
    return 2;
  }

  Report report(options.json, text::TerminalEncoding());
  report.SetCommand(PathOf(chosen));
  Session session(options, report);
  try {
    (*handler)(session);
    const int signal = PendingSignal();
    report.PrintSuccess(signal);
    if (session.money_moved()) {
      // Money that moved is reported as moved: the signal is honoured after the report.
      if (signal != 0) {
        std::cerr << "vorlex: " << (signal == SIGINT ? "SIGINT" : "SIGTERM")
                  << " came during the purchase; it is done and reported above\n";
      }
      return 0;
    }
    return signal == 0 ? 0 : 128 + signal;
  } catch (const UsageError& error) {
    report.PrintError(error.what(), "usage");
    std::cerr << "Try 'vorlex " << PathOf(chosen) << " --help'.\n";
    return 2;
  } catch (const SetupError& error) {
    report.PrintError(error.what(), "setup");
    return 3;
  } catch (const CommandFailed& failure) {
    report.PrintFailure(failure);
    const int signal = PendingSignal();
    return signal == 0 ? 1 : 128 + signal;
  } catch (const JournalUnavailable& unavailable) {
    report.PrintError(
        "the purchase journal cannot be written, so nothing was sent: " + unavailable.explanation +
            " (free disk space, make it writable, or give --journal FILE)",
        "journal");
    return 5;
  } catch (const OutcomeUnknown& unknown) {
    report.PrintUnknown(unknown);
    return 4;
  } catch (const Stopped& stop) {
    report.PrintStopped(stop);
    return stop.signal == 0 ? 1 : 128 + stop.signal;
  }
}

}  // namespace
}  // namespace vorlex::cli

int main(int argc, char** argv) {
  vorlex::command_line::RefuseBorrowedPrivileges("vorlex");
  return vorlex::command_line::GuardedMain("vorlex", vorlex::cli::Main, argc, argv);
}
