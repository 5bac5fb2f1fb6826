// Saving a file so that a crash at any moment leaves either its old or its new content: the new
// content goes to a fresh temporary file beside the target (a random name, created exclusively,
// never through a symlink), is flushed to disk, renamed over the target, and the folder is
// flushed too. The target keeps its permission bits; a new target gets 0600 less the umask
// (what the tools save may hold keys: dumps, key-bearing JSON, recordings).
// A target that is a symlink is replaced by the file, never written through.
#pragma once

#include <array>
#include <ostream>
#include <streambuf>
#include <string>
#include <string_view>

#include "input_file.h"  // FileError

namespace vorlex::files {

class ReplacementFile {
 public:
  // Creates the temporary file now, so that a target that can never be saved (no such folder,
  // no permission) is known before any work is done. FileError naming `target` otherwise.
  explicit ReplacementFile(std::string target);
  // Removes the temporary file when Commit did not happen.
  ~ReplacementFile();
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  const std::string& target() const { return target_; }
  // Appends to the new content; FileError when the disk refuses it.
  void Write(std::string_view bytes);
  // Flushes the new content, renames it over the target and flushes the folder. FileError on
  // failure, and then the target is as it was.
  void Commit();

 private:
  void Discard();
  std::string target_, folder_, temporary_;
  int fd_ = -1;
};

// A file that grows while a tool runs (the tap's recording), saved as a ReplacementFile: while
// it is written it is the temporary file beside the target, and Save() (or the destructor, on
// any orderly end) puts it in the target's place. Killed outright, the tool leaves the target as
// it was and what it had recorded in the temporary file.
class ReplacementStream : public std::ostream {
 public:
  explicit ReplacementStream(std::string target);  // FileError, as ReplacementFile
  ~ReplacementStream() override;
  // Flushes, and renames the file over the target. FileError on failure.
  void Save();

 private:
  class Buffer : public std::streambuf {
   public:
    explicit Buffer(ReplacementFile& file);
    int_type overflow(int_type c) override;
    int sync() override;

   private:
    bool Drain();
    ReplacementFile& file_;
    std::array<char, 8192> bytes_{};
  };
  ReplacementFile file_;
  Buffer buffer_;
  bool saved_ = false;
};

// The whole of `content` as the new `target`, through a ReplacementFile.
void SaveFile(const std::string& target, std::string_view content);

}  // namespace vorlex::files
