// The agent's network side: a listener per loopback address accepts; an HTTP session reads one
// request, checks Host, Origin and token, and hands the stream to a WebSocket session; each
// WebSocket session has its own write queue (one write in flight) and never blocks; the shared
// state knows the sessions (for notifications and claims) and the readers' workers. All of it
// runs on one thread; reader work runs on each reader's worker.
#pragma once

#include <boost/asio/io_context.hpp>
#include <memory>
#include <string>
#include <vector>

#include "agent_config.h"

namespace vorlex::agent {

class SharedState;
class Listener;

class Server {
 public:
  // Binds every address of `config.listen` (both loopbacks when empty) and starts the readers'
  // workers. Throws std::runtime_error when an address cannot be bound.
  Server(boost::asio::io_context& io, AgentConfig config, std::string token);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // "ws://127.0.0.1:47511/" for each address listened on.
  const std::vector<std::string>& urls() const { return urls_; }
  // Closes the listeners and the sessions; the io_context then runs out of work.
  void Stop();

 private:
  std::shared_ptr<SharedState> state_;
  std::vector<std::string> urls_;
  std::vector<std::shared_ptr<Listener>> listeners_;
};

}  // namespace vorlex::agent
