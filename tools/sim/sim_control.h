// The simulator's control channel, next to its link: the abstract unix socket that claims the
// link (launch::PublishedLink). `vorlex-sim ctl [--link PATH] COMMAND` connects there and sends
// one line; the simulator answers one line ("ok ..." or "error: ...").
#pragma once

#include <string>
#include <thread>
#include <vector>

#include "virtual_reader.h"

namespace vorlex::sim {

// The commands ctl sends, applied to `reader`: the answer line, without its newline.
std::string ApplyControl(VirtualReader& reader, const std::vector<std::string>& words);

// Answers control connections on `listening` until destroyed.
class ControlServer {
 public:
  ControlServer(int listening, VirtualReader& reader);
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

 private:
  void Serve();

  int listening_;
  int stop_;
  VirtualReader& reader_;
  std::thread thread_;
};

// ctl: sends `words` to the simulator of `link`, prints its answer. 0 for "ok", 1 for an error
// answer, 3 when no simulator serves the link.
int RunControl(const std::string& link, const std::vector<std::string>& words);

}  // namespace vorlex::sim
