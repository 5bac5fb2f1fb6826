// What the agent serves and how: its readers, where it listens, who may connect, its limits.
// From the command line for one reader, or from a JSON file (--config) for several.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vorlex::agent {

inline constexpr std::uint16_t kDefaultPort = 47511;
inline constexpr const char* kDefaultConfigPath = "/etc/vorlex/agent.json";
inline constexpr const char* kDefaultStateDirectory = "/var/lib/vorlex-agent";

// The limits, each with the answer a client gets past it (docs/agent.md, "Limits").
struct Limits {
  std::size_t max_message_bytes = 64 * 1024;  // a larger request: error 1008, connection kept
  std::size_t max_frame_bytes = 1024 * 1024;  // a larger message: the connection closes, 1009
  int max_depth = 32;                         // deeper JSON: -32700
  int max_connections = 64;                   // more: HTTP 503 at the handshake
  int calls_per_second = 100;                 // more from one connection: error 1007
  int max_pending_calls = 32;                 // more unanswered calls of one connection: 1007
  int poll_interval_ms = 250;                 // presence polling while a reader is idle
};

struct ReaderConfig {
  std::string id;
  std::string port;
  std::string edition;  // "epurse" or "display"
  std::string journal;  // the purchase journal's file
};

struct ListenAddress {
  std::string address;  // "127.0.0.1" or "::1"
  std::uint16_t port = kDefaultPort;
};

struct AgentConfig {
  std::vector<ReaderConfig> readers;
  std::vector<ListenAddress> listen;  // empty: both loopbacks on kDefaultPort
  std::vector<std::string> allow;     // origins, normalised: the file's and the command line's
  std::vector<std::string> command_line_allow;  // the command line's alone (kept on reloads)
  std::string token_file;
  Limits limits;
  std::optional<std::filesystem::path> file;  // the --config file, for the allow-list
};

// A configuration or command-line value that cannot be used; the message says which and why.
struct ConfigError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// "PORT", "127.0.0.1:PORT", "[::1]:PORT", "localhost:PORT" (both loopbacks). Anything that is
// not a loopback address throws ConfigError: the agent never listens beyond this machine.
std::vector<ListenAddress> ParseListen(const std::string& text);

// "https://shop.example:8443" from what a user types ("HTTPS://Shop.Example:8443/"); throws
// ConfigError for what no browser sends as an Origin (a path, a wildcard, "null", no scheme).
std::string NormaliseOrigin(const std::string& text);

// Reads a --config file; throws ConfigError naming the file and the field.
AgentConfig LoadConfig(const std::filesystem::path& path);

// The allow-list of a config file, for `allow`, `deny`, `origins` and for every handshake
// (a change applies to the next connection). A missing file has an empty list.
std::vector<std::string> ReadAllowList(const std::filesystem::path& path);
// Adds or removes `origin` and rewrites the file (atomically, keeping its other fields);
// returns false when there was nothing to change.
bool EditAllowList(const std::filesystem::path& path, const std::string& origin, bool allow);

// The folder for the journal and the token when none is given: $STATE_DIRECTORY (systemd's
// StateDirectory=), else kDefaultStateDirectory.
std::filesystem::path StateDirectory();

}  // namespace vorlex::agent
