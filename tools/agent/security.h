// The handshake's checks: who may open a WebSocket to the agent. Pure functions over the
// request's headers, so that each rule is tested on its own.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorlex::agent {

// The answer to a handshake: 0 to accept, else the HTTP status (400, 401, 403, 503) and a
// plain-text body that says why and what to do.
struct HandshakeVerdict {
  int status = 0;
  std::string body;
};

struct HandshakeRequest {
  std::optional<std::string_view> host;
  std::optional<std::string_view> origin;
  std::optional<std::string_view> authorization;
  std::string_view target;  // "/", "/?token=..."
};

// True for "127.0.0.1", "[::1]" and "localhost", each with or without ":PORT": the only names
// a page may reach the agent by. A rebound DNS name ("evil.example" resolving to 127.0.0.1) is
// none of them.
bool IsLoopbackHost(std::string_view host);

// Host, then Origin against `allowed` (normalised origins), then the token: a request with an
// allowed Origin needs none; one without an Origin needs "Authorization: Bearer TOKEN" or
// "?token=TOKEN". A token given and wrong is refused either way.
HandshakeVerdict CheckHandshake(const HandshakeRequest& request,
                                const std::vector<std::string>& allowed, std::string_view token);

// Compares without an early exit, so that the time taken says nothing of the token.
bool SameToken(std::string_view given, std::string_view token);

// The token from `path`, made (32 random bytes, hex, mode 0640) when absent. Throws
// std::runtime_error when the file is readable by others than its owner and group, is not a
// regular file, is empty, or cannot be made.
std::string LoadOrCreateToken(const std::filesystem::path& path);

}  // namespace vorlex::agent
