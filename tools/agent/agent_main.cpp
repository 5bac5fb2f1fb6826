// vorlex-agent: the card readers for web pages and programs in any language, over JSON-RPC 2.0
// on a loopback WebSocket (docs/agent.md).
#include <sys/resource.h>

#include <CLI/CLI.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <iostream>
#include <optional>

#include "agent_config.h"
#include "command_line/guarded_main.h"
#include "security.h"
#include "server.h"

namespace {

using namespace vorlex::agent;

// Exit statuses (docs/agent.md, "Exit statuses"; the manual page).
constexpr int kStopped = 0;      // stopped by SIGTERM or SIGINT; a subcommand did its work
constexpr int kCannotServe = 1;  // cannot listen, or cannot read/write the config file
constexpr int kUsage = 2;        // a wrong option or configuration
constexpr int kUnsafeToken = 4;  // the token file is readable by others, or cannot be made

struct Options {
  std::optional<std::string> port, edition, config, listen, token_file, journal;
  std::vector<std::string> allow;
  std::string origin;
  std::optional<int> max_connections, calls_per_second, poll_interval_ms;
  std::optional<std::size_t> max_message_bytes;
};

int Usage(const std::string& message) {
  std::cerr << "vorlex-agent: " << message << "\n(vorlex-agent --help tells more)\n";
  return kUsage;
}

std::filesystem::path ConfigPath(const Options& options) {
  return options.config ? std::filesystem::path(*options.config)
                        : std::filesystem::path(kDefaultConfigPath);
}

int EditOrigins(const Options& options, const std::string& command) {
  const std::filesystem::path path = ConfigPath(options);
  try {
    if (command == "origins") {
      for (const std::string& origin : ReadAllowList(path)) std::cout << origin << "\n";
      return kStopped;
    }
    std::string origin;
    try {
      origin = NormaliseOrigin(options.origin);
    } catch (const ConfigError& error) {
      return Usage(error.what());
    }
    const bool changed = EditAllowList(path, origin, command == "allow");
    std::cout << origin
              << (command == "allow" ? (changed ? " is allowed" : " was already allowed")
                                     : (changed ? " is no longer allowed" : " was not allowed"))
              << " (" << path.string() << "; applies to the next connection)\n";
    return kStopped;
  } catch (const std::exception& error) {
    std::cerr << "vorlex-agent: " << command << ": " << error.what() << "\n";
    return kCannotServe;
  }
}

int Serve(const Options& options) {
  AgentConfig config;
  try {
    if (options.config) {
      if (options.port || options.edition || options.journal) {
        return Usage(
            "--config names the readers; --port, --edition and --journal are for one "
            "reader without it");
      }
      config = LoadConfig(*options.config);
    } else {
      if (!options.port || !options.edition) {
        return Usage("give --port NAME --edition epurse|display, or --config FILE");
      }
      config.readers.push_back(
          {"reader1", *options.port, *options.edition, options.journal.value_or("")});
    }
    if (options.listen) config.listen = ParseListen(*options.listen);
    for (const std::string& origin : options.allow) {
      config.allow.push_back(NormaliseOrigin(origin));
      config.command_line_allow.push_back(config.allow.back());
    }
    if (options.token_file) config.token_file = *options.token_file;
  } catch (const ConfigError& error) {
    return Usage(error.what());
  }
  Limits& limits = config.limits;
  if (options.max_connections) limits.max_connections = *options.max_connections;
  if (options.calls_per_second) limits.calls_per_second = *options.calls_per_second;
  if (options.poll_interval_ms) limits.poll_interval_ms = *options.poll_interval_ms;
  if (options.max_message_bytes) limits.max_message_bytes = *options.max_message_bytes;
  limits.max_frame_bytes = std::max(limits.max_frame_bytes, limits.max_message_bytes);
  for (ReaderConfig& reader : config.readers) {
    if (reader.journal.empty()) {
      reader.journal = (StateDirectory() / ("journal-" + reader.id + ".sqlite")).string();
    }
  }
  if (config.token_file.empty()) config.token_file = (StateDirectory() / "token").string();
  std::string token;
  try {
    token = LoadOrCreateToken(config.token_file);
  } catch (const std::exception& error) {
    std::cerr << "vorlex-agent: " << error.what() << "\n"
              << "(give another file with --token-file FILE)\n";
    return kUnsafeToken;
  }
  // A descriptor per connection: the soft limit (1024 under systemd) up to the hard one, so
  // that max_connections, not the limit, decides.
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
  }
  boost::asio::io_context io(1);
  std::optional<Server> server;
  try {
    server.emplace(io, config, token);
  } catch (const std::exception& error) {
    std::cerr << "vorlex-agent: " << error.what() << "\n";
    return kCannotServe;
  }
  for (const ReaderConfig& reader : config.readers) {
    std::cerr << "vorlex-agent: reader " << reader.id << ": " << reader.port << ", "
              << reader.edition << " edition, journal " << reader.journal << "\n";
  }
  // The URLs last: whoever waits for them (vorlex-sim run --agent) has the rest already.
  for (const std::string& url : server->urls()) std::cout << url << "\n";
  std::cout.flush();
  boost::asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](const boost::system::error_code&, int) {
    server->Stop();
    io.stop();
  });
  io.run();
  server.reset();  // the workers finish the calls under way
  return kStopped;
}

int Main(int argc, char** argv) {
  CLI::App app(
      "Serves card readers to web pages and local programs: JSON-RPC 2.0 over a WebSocket on\n"
      "the loopback (ws://127.0.0.1:47511/ by default; docs/agent.md). Prints the URLs it\n"
      "listens on, one a line, and serves until SIGTERM or SIGINT.\n"
      "Exit status: 0 stopped by a signal; 1 cannot listen; 2 wrong options or configuration;\n"
      "4 the token file is readable by others or cannot be made; 70 internal error.",
      "vorlex-agent");
  app.set_version_flag("--version", std::string("vorlex-agent ") + VORLEX_VERSION);
  Options options;
  app.add_option("--port", options.port, "the reader's serial port (COM3, /dev/ttyUSB0)")
      ->group("One reader");
  app.add_option("--edition", options.edition, "the reader's edition")
      ->check(CLI::IsMember({"epurse", "display"}))
      ->group("One reader");
  app.add_option("--journal", options.journal,
                 "the purchase journal (default $STATE_DIRECTORY/journal-reader1.sqlite, "
                 "else /var/lib/vorlex-agent/...)")
      ->group("One reader");
  app.add_option("--config", options.config,
                 "a JSON file naming the readers, addresses, origins, token file and limits")
      ->group("Several readers");
  app.add_option("--listen", options.listen,
                 "PORT, 127.0.0.1:PORT, [::1]:PORT or localhost:PORT (default 47511 on both "
                 "loopbacks; loopback only)")
      ->group("Who may connect");
  app.add_option("--allow", options.allow,
                 "a web origin whose pages may connect (repeatable), e.g. https://pos.example")
      ->group("Who may connect");
  app.add_option("--token-file", options.token_file,
                 "the token local programs send (default $STATE_DIRECTORY/token; made with mode "
                 "0640 when absent; refused when others may read it)")
      ->group("Who may connect");
  app.add_option("--max-connections", options.max_connections, "default 64; more get HTTP 503")
      ->check(CLI::Range(1, 100000))
      ->group("Limits");
  app.add_option("--calls-per-second", options.calls_per_second,
                 "per connection, default 100; more get error 1007")
      ->check(CLI::Range(1, 1000000))
      ->group("Limits");
  app.add_option("--max-message-bytes", options.max_message_bytes,
                 "default 65536; larger requests get error 1008")
      ->check(CLI::Range(256, 16 * 1024 * 1024))
      ->group("Limits");
  app.add_option("--poll-interval-ms", options.poll_interval_ms,
                 "presence polling while a reader is idle, default 250")
      ->check(CLI::Range(10, 60000))
      ->group("Limits");

  const auto origin_command = [&](const char* name, const char* text) {
    CLI::App* command = app.add_subcommand(name, text);
    command->add_option(
        "--config", options.config,
        std::string("the agent's config file (default ") + kDefaultConfigPath + ")");
    return command;
  };
  CLI::App* allow = origin_command(
      "allow",
      "Usage: vorlex-agent allow ORIGIN [--config FILE]\n"
      "Lets pages of ORIGIN (SCHEME://HOST[:PORT]) connect: adds it to the config file's\n"
      "allow-list, which a running agent reads again at the next connection.\n"
      "Exit 0 done (or already allowed), 1 cannot write the file, 2 not an origin.");
  allow->add_option("origin", options.origin, "SCHEME://HOST[:PORT]")->required();
  CLI::App* deny =
      origin_command("deny",
                     "Usage: vorlex-agent deny ORIGIN [--config FILE]\n"
                     "Takes ORIGIN off the allow-list (connections already open stay open).\n"
                     "Exit 0 done (or was not allowed), 1 cannot write the file, 2 not an origin.");
  deny->add_option("origin", options.origin, "SCHEME://HOST[:PORT]")->required();
  CLI::App* origins = origin_command(
      "origins",
      "Usage: vorlex-agent origins [--config FILE]\n"
      "Lists the allowed origins, one a line. Exit 0, or 1 when the file cannot be read.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) return app.exit(error);
    return Usage(error.what());
  }
  for (CLI::App* command : {allow, deny, origins}) {
    if (command->parsed()) return EditOrigins(options, command->get_name());
  }
  return Serve(options);
}

}  // namespace

int main(int argc, char** argv) {
  return vorlex::command_line::GuardedMain("vorlex-agent", Main, argc, argv);
}
