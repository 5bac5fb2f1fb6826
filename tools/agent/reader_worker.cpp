#include "reader_worker.h"

#include <algorithm>

#include "reader_device.h"
#include "rpc.h"

namespace vorlex::agent {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kFirstBackOff{250};
constexpr std::chrono::milliseconds kLastBackOff{5000};

CallOutcome Lost(const std::string& id) {
  return {false,
          nullptr,
          kReaderLost,
          "reader lost: the reader's port is gone; the agent is reopening it",
          {{"reader", id}}};
}

}  // namespace

ReaderWorker::ReaderWorker(ReaderConfig config, Limits limits, Notify notify)
    : config_(std::move(config)), limits_(limits), notify_(std::move(notify)) {
  thread_ = std::thread([this] { Run(); });
}

ReaderWorker::~ReaderWorker() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void ReaderWorker::Submit(std::string method, nlohmann::json params, Done done) {
  {
    std::lock_guard lock(mutex_);
    if (!stopping_) {
      jobs_.push_back({std::move(method), std::move(params), std::move(done)});
      wake_.notify_one();
      return;
    }
  }
  done(Lost(config_.id));
}

void ReaderWorker::Run() {
  ReaderDevice device(DeviceOptions{
      config_.port, config_.edition == "display" ? Edition::kDisplay : Edition::kEpurse,
      config_.journal, config_.id});
  const auto poll_interval = std::chrono::milliseconds(std::max(limits_.poll_interval_ms, 10));
  auto back_off = kFirstBackOff;
  const auto lose = [&](const std::string& why) {
    if (lost_.exchange(true)) return;
    notify_("reader.lost", {{"reader", config_.id}, {"message", why}});
  };
  auto open_or_lose = [&] {
    try {
      if (device.Open()) return true;
    } catch (const std::exception&) {
    }
    return false;
  };
  if (!open_or_lose()) lost_ = true;
  // A reader that opens is polled at once, before a call can bind a card: what is present is
  // then known, and a card that goes after a call shows as card.absent.
  Clock::time_point next = lost_ ? Clock::now() + back_off : Clock::now();

  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait_until(lock, next, [&] { return stopping_ || !jobs_.empty(); });
    if (stopping_) break;
    if (!jobs_.empty()) {
      Job job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      CallOutcome outcome;
      if (lost_ || !device.is_open()) {
        outcome = Lost(config_.id);
      } else {
        try {
          outcome.result = device.Call(job.method, job.params);
          outcome.ok = true;
        } catch (const MethodError& error) {
          outcome = {false, nullptr, error.code, error.message, error.data};
        } catch (const std::exception& error) {
          outcome = {false, nullptr, kInternalError, std::string("internal error: ") + error.what(),
                     nullptr};
        }
        if (!device.is_open()) {
          lose("the reader's port " + config_.port + " is gone; the agent is reopening it");
          back_off = kFirstBackOff;
          if (!outcome.ok && outcome.code == kReaderLost) {
            if (!outcome.data.is_object()) outcome.data = nlohmann::json::object();
            outcome.data["reader"] = config_.id;
          }
        }
      }
      job.done(std::move(outcome));
      lock.lock();
      // The next presence poll comes a whole period after the last call.
      next = Clock::now() + (lost_ ? back_off : poll_interval);
      continue;
    }
    if (Clock::now() < next) continue;
    lock.unlock();
    bool reopened = false;
    if (lost_) {
      if (open_or_lose()) {
        lost_ = false;
        reopened = true;
        back_off = kFirstBackOff;
        notify_("reader.back", {{"reader", config_.id}});
      } else {
        back_off = std::min(back_off * 2, kLastBackOff);
      }
    } else {
      std::vector<nlohmann::json> events;
      try {
        events = device.Poll();
      } catch (const std::exception&) {
      }
      for (nlohmann::json& event : events) {
        if (!event.is_object() || !event.contains("method")) continue;
        nlohmann::json params = event.value("params", nlohmann::json::object());
        params["reader"] = config_.id;
        notify_(event["method"].get<std::string>(), std::move(params));
      }
      if (!device.is_open()) {
        lose("the reader's port " + config_.port + " is gone; the agent is reopening it");
        back_off = kFirstBackOff;
      }
    }
    lock.lock();
    next = reopened ? Clock::now() : Clock::now() + (lost_ ? back_off : poll_interval);
  }
  // Calls still queued at the end are answered, not dropped.
  std::deque<Job> left;
  left.swap(jobs_);
  lock.unlock();
  for (Job& job : left) job.done(Lost(config_.id));
  device.Close();
}

}  // namespace vorlex::agent
