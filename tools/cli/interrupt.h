// SIGINT and SIGTERM: noted, never acted on mid-exchange. The signals are blocked in every
// thread and one watcher thread takes them, so no library read or write is ever interrupted;
// commands look at PendingSignal() between exchanges. A second signal ends the tool at once.
#pragma once

#include <chrono>

namespace vorlex::cli {

void WatchSignals();  // before any other thread starts
int PendingSignal();  // 0, SIGINT or SIGTERM
// From here on a second signal is noted like the first, not acted on at once: the command is
// past the point where stopping would lose what it did (a purchase request that has gone).
void HoldSecondSignal();
// Sleeps, but returns false at once when a signal comes (or has come).
bool SleepUnlessSignalled(std::chrono::milliseconds duration);

}  // namespace vorlex::cli
