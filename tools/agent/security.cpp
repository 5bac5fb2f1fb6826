#include "security.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <random>
#include <stdexcept>
#include <system_error>

#include "agent_config.h"

namespace vorlex::agent {
namespace {

bool IsPort(std::string_view text) {
  return !text.empty() && text.size() <= 5 &&
         std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// The token of "?token=..." in a request target, if any.
std::optional<std::string_view> QueryToken(std::string_view target) {
  const std::size_t query = target.find('?');
  if (query == std::string_view::npos) return std::nullopt;
  std::string_view rest = target.substr(query + 1);
  while (!rest.empty()) {
    const std::size_t end = rest.find('&');
    const std::string_view pair = rest.substr(0, end);
    if (pair.starts_with("token=")) return pair.substr(6);
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return std::nullopt;
}

std::string Quoted(std::string_view text) {
  std::string out;
  for (char c : text.substr(0, 200)) {
    out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? '?' : c;
  }
  return out;
}

}  // namespace

bool IsLoopbackHost(std::string_view host) {
  std::string_view name = host;
  std::string_view port;
  if (host.starts_with('[')) {
    const std::size_t close = host.find(']');
    if (close == std::string_view::npos) return false;
    name = host.substr(0, close + 1);
    std::string_view after = host.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return false;
      port = after.substr(1);
      if (!IsPort(port)) return false;
    }
    return name == "[::1]";
  }
  if (const std::size_t colon = host.find(':'); colon != std::string_view::npos) {
    name = host.substr(0, colon);
    port = host.substr(colon + 1);
    if (!IsPort(port)) return false;
  }
  return name == "127.0.0.1" || EqualsNoCase(name, "localhost");
}

bool SameToken(std::string_view given, std::string_view token) {
  if (token.empty()) return false;
  unsigned char difference = given.size() == token.size() ? 0 : 1;
  for (std::size_t i = 0; i < given.size(); ++i) {
    difference |= static_cast<unsigned char>(given[i] ^ token[i % token.size()]);
  }
  return difference == 0;
}

HandshakeVerdict CheckHandshake(const HandshakeRequest& request,
                                const std::vector<std::string>& allowed, std::string_view token) {
  if (!request.host || !IsLoopbackHost(*request.host)) {
    return {403, "vorlex-agent: refused: Host \"" + Quoted(request.host.value_or("")) +
                     "\" is not 127.0.0.1, [::1] or localhost; the agent answers only requests "
                     "addressed to this machine's loopback.\n"};
  }
  std::optional<std::string_view> given;
  if (request.authorization) {
    std::string_view value = *request.authorization;
    if (value.size() < 7 || !EqualsNoCase(value.substr(0, 7), "Bearer ")) {
      return {401, "vorlex-agent: refused: Authorization must be \"Bearer TOKEN\".\n"};
    }
    given = value.substr(7);
  } else {
    given = QueryToken(request.target);
  }
  if (given && !SameToken(*given, token)) {
    return {401, "vorlex-agent: refused: the token is wrong; it is in the agent's token file.\n"};
  }
  if (request.origin) {
    std::string origin;
    try {
      origin = NormaliseOrigin(std::string(*request.origin));
    } catch (const ConfigError&) {
      origin = std::string(*request.origin);
    }
    if (std::find(allowed.begin(), allowed.end(), origin) == allowed.end()) {
      return {403, "vorlex-agent: refused: the origin " + Quoted(*request.origin) +
                       " is not on the agent's allow-list. If this page may use the card "
                       "reader, run: vorlex-agent allow " +
                       Quoted(*request.origin) + "\n"};
    }
    return {};
  }
  if (!given) {
    return {401,
            "vorlex-agent: refused: a client without an Origin must send \"Authorization: "
            "Bearer TOKEN\" (the token is in the agent's token file).\n"};
  }
  return {};
}

std::string LoadOrCreateToken(const std::filesystem::path& path) {
  const std::string name = path.string();
  int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0 && errno == ENOENT) {
    std::random_device random;
    static constexpr char kHex[] = "0123456789abcdef";
    std::string token;
    for (int i = 0; i < 32; ++i) {
      const unsigned byte = random() & 0xFF;
      token += kHex[byte >> 4];
      token += kHex[byte & 0xF];
    }
    const int made = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
    if (made < 0) {
      throw std::system_error(errno, std::generic_category(), "cannot make the token file " + name);
    }
    ::fchmod(made, 0640);  // whatever the umask
    const std::string line = token + "\n";
    const bool written =
        ::write(made, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    ::close(made);
    if (!written) throw std::runtime_error("cannot write the token file " + name);
    return token;
  }
  if (fd < 0) {
    throw std::system_error(errno, std::generic_category(), "cannot read the token file " + name);
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    throw std::runtime_error("the token file " + name + " is not a regular file");
  }
  if ((info.st_mode & S_IRWXO) != 0) {
    ::close(fd);
    throw std::runtime_error("the token file " + name +
                             " may be read by anyone: make it readable by the agent's group only "
                             "(chmod 0640 " +
                             name + ")");
  }
  std::string token(256, '\0');
  const ssize_t got = ::read(fd, token.data(), token.size());
  ::close(fd);
  token.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  while (!token.empty() && std::isspace(static_cast<unsigned char>(token.back()))) token.pop_back();
  if (token.size() < 16 || token.find_first_of(" \t\r\n") != std::string::npos) {
    throw std::runtime_error("the token file " + name +
                             " holds no token (one line of at least 16 characters, no spaces)");
  }
  return token;
}

}  // namespace vorlex::agent
