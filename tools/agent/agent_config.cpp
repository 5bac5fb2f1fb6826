#include "agent_config.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace vorlex::agent {
namespace {

std::uint16_t ParsePort(const std::string& text, const std::string& whole) {
  if (text.empty() || text.size() > 5 ||
      !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); })) {
    throw ConfigError("--listen " + whole + ": \"" + text + "\" is no port number (0 to 65535)");
  }
  const unsigned long port = std::stoul(text);
  if (port > 65535) throw ConfigError("--listen " + whole + ": port " + text + " is over 65535");
  return static_cast<std::uint16_t>(port);
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

nlohmann::json ReadJson(const std::filesystem::path& path) {
  std::ifstream file(path);
  if (!file) throw ConfigError("cannot read " + path.string());
  try {
    return nlohmann::json::parse(file);
  } catch (const nlohmann::json::exception& error) {
    throw ConfigError(path.string() + " is not valid JSON: " + error.what());
  }
}

template <typename T>
T Field(const nlohmann::json& object, const char* name, const std::string& where, T fallback) {
  if (!object.contains(name)) return fallback;
  try {
    return object.at(name).get<T>();
  } catch (const nlohmann::json::exception&) {
    throw ConfigError(where + ": \"" + name + "\" has the wrong type");
  }
}

}  // namespace

std::vector<ListenAddress> ParseListen(const std::string& text) {
  std::string host;
  std::string port = text;
  if (text.starts_with('[')) {
    const std::size_t close = text.find("]:");
    if (close == std::string::npos) throw ConfigError("--listen " + text + ": give [::1]:PORT");
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else if (const std::size_t colon = text.rfind(':'); colon != std::string::npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  const std::uint16_t number = ParsePort(port, text);
  if (host.empty() || Lower(host) == "localhost") {
    return {{"127.0.0.1", number}, {"::1", number}};
  }
  if (host == "127.0.0.1" || host == "::1") return {{host, number}};
  throw ConfigError("--listen " + text + ": the agent listens on the loopback only (127.0.0.1, " +
                    "[::1] or localhost), never on \"" + host +
                    "\": anything else would open the card reader to the network");
}

std::string NormaliseOrigin(const std::string& text) {
  std::string origin = Lower(text);
  while (!origin.empty() && origin.back() == '/') origin.pop_back();
  const std::size_t scheme_end = origin.find("://");
  const auto bad = [&](const std::string& why) {
    return ConfigError("\"" + text + "\" is no origin (" + why +
                       "): give SCHEME://HOST[:PORT], e.g. https://pos.example.com");
  };
  if (origin == "null") throw bad("\"null\" is what sandboxed and file pages send");
  if (scheme_end == std::string::npos || scheme_end == 0) throw bad("no scheme");
  for (std::size_t i = 0; i < scheme_end; ++i) {
    const char c = origin[i];
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.')) {
      throw bad("a scheme is letters and digits");
    }
  }
  const std::string host = origin.substr(scheme_end + 3);
  if (host.empty()) throw bad("no host");
  for (char c : host) {
    if (c == '/' || c == '?' || c == '#' || c == '*' || c == '@' ||
        std::isspace(static_cast<unsigned char>(c)) || static_cast<unsigned char>(c) < 0x20) {
      throw bad("an origin has no path, query, wildcard or user");
    }
  }
  return origin;
}

AgentConfig LoadConfig(const std::filesystem::path& path) {
  const nlohmann::json root = ReadJson(path);
  const std::string where = path.string();
  if (!root.is_object()) throw ConfigError(where + ": the top level must be an object");
  AgentConfig config;
  config.file = path;
  if (root.contains("listen")) {
    const nlohmann::json& listen = root["listen"];
    if (listen.is_number_unsigned()) {
      for (auto& address : ParseListen(std::to_string(listen.get<unsigned>()))) {
        config.listen.push_back(address);
      }
    } else if (listen.is_string()) {
      config.listen = ParseListen(listen.get<std::string>());
    } else {
      throw ConfigError(where + ": \"listen\" is a port number or \"ADDRESS:PORT\"");
    }
  }
  for (const auto& origin : Field(root, "allow", where, std::vector<std::string>{})) {
    try {
      config.allow.push_back(NormaliseOrigin(origin));
    } catch (const ConfigError& error) {
      throw ConfigError(where + ": \"allow\": " + error.what());
    }
  }
  config.token_file = Field(root, "token_file", where, std::string{});
  if (root.contains("limits")) {
    const nlohmann::json& limits = root["limits"];
    if (!limits.is_object()) throw ConfigError(where + ": \"limits\" must be an object");
    Limits& l = config.limits;
    l.max_message_bytes = Field(limits, "max_message_bytes", where, l.max_message_bytes);
    l.max_depth = Field(limits, "max_depth", where, l.max_depth);
    l.max_connections = Field(limits, "max_connections", where, l.max_connections);
    l.calls_per_second = Field(limits, "calls_per_second", where, l.calls_per_second);
    l.max_pending_calls = Field(limits, "max_pending_calls", where, l.max_pending_calls);
    l.poll_interval_ms = Field(limits, "poll_interval_ms", where, l.poll_interval_ms);
    l.max_frame_bytes = std::max(l.max_frame_bytes, l.max_message_bytes);
  }
  if (!root.contains("readers") || !root["readers"].is_array() || root["readers"].empty()) {
    throw ConfigError(where + ": \"readers\" must list at least one reader");
  }
  int n = 0;
  for (const nlohmann::json& reader : root["readers"]) {
    ++n;
    const std::string place = where + ": readers[" + std::to_string(n - 1) + "]";
    if (!reader.is_object()) throw ConfigError(place + " must be an object");
    ReaderConfig r;
    r.id = Field(reader, "id", place, "reader" + std::to_string(n));
    r.port = Field(reader, "port", place, std::string{});
    r.edition = Field(reader, "edition", place, std::string{"epurse"});
    r.journal = Field(reader, "journal", place, std::string{});
    if (r.port.empty()) throw ConfigError(place + ": \"port\" is missing");
    if (r.edition != "epurse" && r.edition != "display") {
      throw ConfigError(place + ": \"edition\" is \"epurse\" or \"display\"");
    }
    for (const ReaderConfig& other : config.readers) {
      if (other.id == r.id) throw ConfigError(place + ": the id \"" + r.id + "\" is taken");
    }
    config.readers.push_back(r);
  }
  return config;
}

std::vector<std::string> ReadAllowList(const std::filesystem::path& path) {
  std::error_code missing;
  if (!std::filesystem::exists(path, missing)) return {};
  const nlohmann::json root = ReadJson(path);
  std::vector<std::string> allowed;
  if (!root.is_object()) return allowed;
  for (const auto& origin : Field(root, "allow", path.string(), std::vector<std::string>{})) {
    try {
      allowed.push_back(NormaliseOrigin(origin));
    } catch (const ConfigError&) {
      // Not an origin any browser sends: it allows nothing.
    }
  }
  return allowed;
}

bool EditAllowList(const std::filesystem::path& path, const std::string& origin, bool allow) {
  nlohmann::json root = nlohmann::json::object();
  std::error_code missing;
  if (std::filesystem::exists(path, missing)) root = ReadJson(path);
  if (!root.is_object()) throw ConfigError(path.string() + ": the top level must be an object");
  std::vector<std::string> list = Field(root, "allow", path.string(), std::vector<std::string>{});
  const auto found = std::find(list.begin(), list.end(), origin);
  if (allow == (found != list.end())) return false;
  if (allow) {
    list.push_back(origin);
  } else {
    list.erase(found);
  }
  root["allow"] = list;
  const std::filesystem::path temporary = path.string() + ".new";
  {
    std::ofstream file(temporary);
    file << root.dump(2) << "\n";
    if (!file.flush()) throw ConfigError("cannot write " + temporary.string());
  }
  std::error_code error;
  // The new file keeps the old one's mode (the agent's group must still read it).
  if (std::filesystem::exists(path, missing)) {
    std::filesystem::permissions(temporary, std::filesystem::status(path).permissions(), error);
  }
  std::filesystem::rename(temporary, path, error);
  if (error) throw ConfigError("cannot replace " + path.string() + ": " + error.message());
  return true;
}

std::filesystem::path StateDirectory() {
  if (const char* state = std::getenv("STATE_DIRECTORY"); state != nullptr && *state != '\0') {
    std::string first(state);
    return first.substr(0, first.find(':'));
  }
  return kDefaultStateDirectory;
}

}  // namespace vorlex::agent
