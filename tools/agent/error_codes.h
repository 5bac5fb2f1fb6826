// The agent's error codes, JSON-RPC's own and the agent's: one table for the network side and
// the reader methods (docs/agent.md, "Errors").
#pragma once

namespace vorlex::agent {

inline constexpr int kParseError = -32700;
inline constexpr int kInvalidRequest = -32600;
inline constexpr int kMethodNotFound = -32601;
inline constexpr int kInvalidParams = -32602;
inline constexpr int kInternalError = -32603;
inline constexpr int kReaderRefused = 1000;
inline constexpr int kNoAnswer = 1001;
inline constexpr int kReaderLost = 1002;
inline constexpr int kReaderBusy = 1003;
inline constexpr int kUnknownReader = 1004;
inline constexpr int kCardChanged = 1005;
inline constexpr int kJournalUnavailable = 1006;
inline constexpr int kRateLimited = 1007;
inline constexpr int kMessageTooLarge = 1008;

}  // namespace vorlex::agent
