// Saving a file so that a crash at any moment leaves either its old or its new content: the new
// content goes to a fresh temporary file beside the target (a random name, created exclusively,
// never through a symlink), is flushed to disk, renamed over the target, and the folder is
// flushed too. The target keeps its permission bits; a new target gets 0666 less the umask.
// A target that is a symlink is replaced by the file, never written through.
#pragma once

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

// The whole of `content` as the new `target`, through a ReplacementFile.
void SaveFile(const std::string& target, std::string_view content);

}  // namespace vorlex::files
