// One reader's own thread: it runs the reader's calls one after another, polls presence while
// no call runs, and reopens a vanished port with back-off. Nothing here touches the network:
// results and notifications leave through the callbacks, which the server posts to its thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "agent_config.h"

namespace vorlex::agent {

// How a call ended: a result, or a JSON-RPC error (code, message, data).
struct CallOutcome {
  bool ok = false;
  nlohmann::json result;
  int code = 0;
  std::string message;
  nlohmann::json data;
};

class ReaderWorker {
 public:
  using Done = std::function<void(CallOutcome)>;                           // on the worker's thread
  using Notify = std::function<void(const std::string&, nlohmann::json)>;  // method, params

  ReaderWorker(ReaderConfig config, Limits limits, Notify notify);
  ~ReaderWorker();  // finishes the call under way, fails the queued ones, joins
  ReaderWorker(const ReaderWorker&) = delete;
  ReaderWorker& operator=(const ReaderWorker&) = delete;

  // Queues `method` for the device; `done` runs when it has run (or failed at once when the
  // reader is lost).
  void Submit(std::string method, nlohmann::json params, Done done);

  const ReaderConfig& config() const { return config_; }
  bool lost() const { return lost_.load(); }

 private:
  struct Job {
    std::string method;
    nlohmann::json params;
    Done done;
  };
  void Run();

  ReaderConfig config_;
  Limits limits_;
  Notify notify_;
  std::atomic<bool> lost_{false};
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace vorlex::agent
