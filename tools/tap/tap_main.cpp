// vorlex-tap: sits between a program and the real reader and records every frame, decoded.

#include <CLI/CLI.hpp>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "com_port_map.h"
#include "decimal_option.h"
#include "private_dev.h"
#include "privileges.h"
#include "supervise.h"
#include "tap.h"

namespace {

constexpr char kDescription[] =
    R"(Relays between the program under test and the reader's serial device, unchanged and
at once, and records every frame decoded: time since start, direction, command, status word,
data, the raw bytes, and whatever is not a well-formed frame (junk, bad STX or ETX, oversize,
a wrong checksum, a stall). Text on standard output; --json writes JSON lines (docs/tap.md) to
--log, or to standard output without --log. The pty's path is printed on the first line.
Ends on SIGINT/SIGTERM with a summary line; exit 1 when the device goes away.
With --com N -- PROGRAM, standard output is PROGRAM's: the record goes to --log, or to
standard error. The tap relays until PROGRAM ends (signals are passed on, SIGKILL 5 s after
a stop request) and exits with its status; PROGRAM and all it started end with the tap.)";

}  // namespace

int main(int argc, char** argv) {
  vorlex::command_line::RefuseBorrowedPrivileges("vorlex-tap");
  CLI::App app{kDescription, "vorlex-tap"};
  vorlex::tap::TapOptions options;
  std::string link, log;
  int com = 0;
  std::vector<std::string> program;
  app.add_option("--device", options.device, "the reader's serial device (required)")
      ->option_text("PATH")
      ->required();
  app.add_option("--link", link, "keep a symlink PATH to the pty while the tap runs")
      ->option_text("PATH");
  app.add_option("--log", log, "write the record to FILE too (JSON lines with --json)")
      ->option_text("FILE");
  app.add_flag("--json", options.json, "the record as JSON lines");
  auto* com_option =
      app.add_option(
             "--com", com,
             "PROGRAM sees the tap's pty as port COMN (COM33: /dev/ttyUSB0), in a private /dev")
          ->transform(vorlex::command_line::Decimal())
          ->check(CLI::Validator(
              [](std::string& text) {
                const int number = std::atoi(text.c_str());
                return vorlex::link::ComPortRangeOf(number) != nullptr
                           ? std::string()
                           : "COM" + text + " has no device on this system";
              },
              ""))
          ->option_text("N");
  auto* program_option =
      app.add_option("program", program, "PROGRAM [ARGUMENT]... after --, run with the pty as COMN")
          ->option_text("PROGRAM...");
  com_option->needs(program_option);
  program_option->needs(com_option);
  app.set_version_flag("--version", "vorlex-tap " VORLEX_VERSION);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int status = app.exit(error);
    return status == 0 ? 0 : 2;  // help and version; anything else is a bad command line
  }
  if (!link.empty()) options.link = link;
  if (!log.empty()) options.log = log;

  options.program = !program.empty();
  try {
    vorlex::launch::Supervisor supervisor;
    vorlex::tap::Tap tap(options);
    if (program.empty()) {
      std::cout << tap.port() << std::endl;
    } else {
      vorlex::launch::ProgramLaunch launch;
      launch.argv = program;
      launch.device = vorlex::launch::ComDevice(com);
      launch.pty = tap.port();
      launch.environment = vorlex::launch::EnvironmentWith(
          {{"VORLEX_PORT", "COM" + std::to_string(com)}, {"VORLEX_EDITION", "epurse"}});
      const vorlex::launch::LaunchResult started = supervisor.Start(launch);
      if (started.pid < 0) {
        std::cerr << "vorlex-tap: " << started.error << "\n";
        return started.exit_code;
      }
      std::cerr << "vorlex-tap: COM" << com << " is " << *launch.device << " = " << tap.port()
                << ", in " << started.isolation << "\n";
    }
    // Relaying goes on until the program has ended, stop requests and grace period included.
    for (;;) {
      if (tap.Run(supervisor.fd()) == vorlex::tap::Tap::End::kDeviceGone) {
        std::cerr << "vorlex-tap: the device " << options.device << " went away\n";
        tap.Finish("the device went away");
        if (!program.empty()) {
          supervisor.Stop();
          supervisor.Wait();
        }
        return 1;
      }
      if (const std::optional<int> status = supervisor.Handle()) {
        tap.Finish(program.empty() ? "stopped" : "the program ended");
        return *status;
      }
    }
  } catch (const std::exception& error) {
    std::cerr << "vorlex-tap: " << error.what() << "\n";
    return 1;
  }
}
