#include "key_dictionary.h"

#include <algorithm>
#include <optional>
#include <sstream>

namespace vorlex::cli::card {
namespace {

std::optional<Key> ParseKey(const std::string& hex) {
  if (hex.size() != 12) return std::nullopt;
  Key key{};
  for (std::size_t i = 0; i < key.size(); ++i) {
    const auto byte = HexByte(hex[2 * i], hex[2 * i + 1]);
    if (!byte) return std::nullopt;
    key[i] = *byte;
  }
  return key;
}

}  // namespace

void KeyDictionary::Insert(const Key& key) {
  if (std::find(keys_.begin(), keys_.end(), key) == keys_.end()) keys_.push_back(key);
}

bool KeyDictionary::Add(const std::string& hex) {
  const auto key = ParseKey(hex);
  if (key) Insert(*key);
  return key.has_value();
}

int KeyDictionary::AddFile(const std::string& content, const std::string& source) {
  std::vector<Key> found;
  const bool bom = content.rfind("\xEF\xBB\xBF", 0) == 0;
  std::istringstream in(bom ? content.substr(3) : content);
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    const std::string text = line.substr(0, line.find('#'));
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) continue;
    const std::string word = text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
    const auto key = ParseKey(word);
    if (!key) {
      throw FormatError(source + ": line " + std::to_string(number) + ": \"" + word +
                        "\" is not a key of 12 hex digits");
    }
    found.push_back(*key);
  }
  for (const Key& key : found) Insert(key);
  return static_cast<int>(found.size());
}

}  // namespace vorlex::cli::card
