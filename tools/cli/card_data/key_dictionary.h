// Key-list files as Mifare tools share them: one 12-hex-digit key per line, `#` comments (also
// after a key), blank lines; duplicates are dropped, the first occurrence keeps its place.
#pragma once

#include <string>
#include <vector>

#include "card_image.h"

namespace vorlex::cli::card {

class KeyDictionary {
 public:
  // Adds the keys of `content` and says how many lines held one (duplicates counted); FormatError
  // naming `source` and the line of the first malformed line, and then nothing of `content` is
  // added. A UTF-8 byte order mark at the start is skipped, as other tools skip it.
  int AddFile(const std::string& content, const std::string& source);
  // False when it is not 12 hex digits; a duplicate is accepted and ignored.
  bool Add(const std::string& hex);
  const std::vector<Key>& keys() const { return keys_; }

 private:
  void Insert(const Key& key);
  std::vector<Key> keys_;
};

}  // namespace vorlex::cli::card
