#include "interrupt.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace vorlex::cli {
namespace {

std::atomic<int> pending{0};
std::atomic<bool> hold_second{false};
std::mutex mutex;
std::condition_variable signalled;

sigset_t Watched() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

void WatchSignals() {
  const sigset_t set = Watched();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([set] {
    for (;;) {
      int signal = 0;
      if (sigwait(&set, &signal) != 0) continue;
      if (pending.load() != 0 && !hold_second.load()) {
        static constexpr char kNote[] = "\nvorlex: second signal, stopping now\n";
        (void)!write(STDERR_FILENO, kNote, sizeof kNote - 1);
        _exit(128 + signal);
      }
      {
        const std::lock_guard<std::mutex> lock(mutex);
        pending.store(signal);
      }
      signalled.notify_all();
    }
  }).detach();
}

int PendingSignal() { return pending.load(); }

void HoldSecondSignal() { hold_second.store(true); }

bool SleepUnlessSignalled(std::chrono::milliseconds duration) {
  std::unique_lock<std::mutex> lock(mutex);
  return !signalled.wait_for(lock, duration, [] { return pending.load() != 0; });
}

}  // namespace vorlex::cli
