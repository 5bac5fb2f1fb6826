// A symlink to a pty that a live simulator or tap serves (--link): claimed, made, and removed at
// the end by the one process that serves it.
#pragma once

#include <string>

namespace vorlex::launch {

// Points `path` at `target` while this object lives. The serving process holds the path by an
// abstract socket named after it: the kernel drops the name with the process, so a killed
// server leaves no stale claim behind, and a second one cannot take over (and at its end
// delete) a link that another still serves. A stale symlink is replaced; anything else at
// `path` is left alone. Throws std::runtime_error / std::system_error with the reason.
class PublishedLink {
 public:
  PublishedLink(std::string path, std::string target);
  ~PublishedLink();
  PublishedLink(const PublishedLink&) = delete;
  PublishedLink& operator=(const PublishedLink&) = delete;

  // The claim: a listening socket, where the simulator answers `vorlex-sim ctl`.
  int claim() const { return claim_; }

 private:
  std::string path_, target_;
  int claim_ = -1;
};

// A connection to the claim socket of whoever serves `path` (vorlex-sim ctl), or -1 with errno.
int ConnectToLink(const std::string& path);

}  // namespace vorlex::launch
