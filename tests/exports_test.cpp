// Each built library exports exactly its edition's functions, and nothing else.
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

#include "support/reader_test.h"

namespace vorlex::testing {
namespace {

std::set<std::string> DynamicSymbols(const char* library) {
  std::set<std::string> names;
  const std::string command = std::string("nm -D --defined-only ") + library;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return names;
  char line[512];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::istringstream fields(line);
    std::string address, type, name;
    if (fields >> address >> type >> name) names.insert(name);
  }
  pclose(pipe);
  return names;
}

std::set<std::string> ListedExports(const char* list) {
  std::set<std::string> names;
  std::ifstream in(list);
  std::string name, bytes;
  while (in >> name >> bytes) names.insert(name);
  return names;
}

std::set<std::string> HeaderExports(Edition edition) {
  std::set<std::string> names = {
#define VORLEX_NAME(name) #name,
      VORLEX_FOR_EACH_COMMON_EXPORT(VORLEX_NAME)};
  const std::set<std::string> extra =
      edition == Edition::kEpurse
          ? std::set<std::string>{VORLEX_FOR_EACH_EPURSE_EXPORT(VORLEX_NAME)}
          : std::set<std::string>{VORLEX_FOR_EACH_DISPLAY_EXPORT(VORLEX_NAME)};
#undef VORLEX_NAME
  names.insert(extra.begin(), extra.end());
  return names;
}

TEST(Exports, EachLibraryExportsExactlyItsEditionsList) {
  const struct {
    Edition edition;
    const char* library;
    const char* list;
    std::size_t count;
  } editions[] = {
      {Edition::kEpurse, VORLEX_EPURSE_LIBRARY, VORLEX_EPURSE_EXPORTS, 31},
      {Edition::kDisplay, VORLEX_DISPLAY_LIBRARY, VORLEX_DISPLAY_EXPORTS, 22},
  };
  for (const auto& e : editions) {
    SCOPED_TRACE(NameOf(e.edition));
    const std::set<std::string> exported = DynamicSymbols(e.library);
    EXPECT_EQ(exported, ListedExports(e.list));
    EXPECT_EQ(exported, HeaderExports(e.edition));
    EXPECT_EQ(exported.size(), e.count);
  }
}

TEST(Exports, LedDisplayAndThePurchaseModulesBelongToOneEditionEach) {
  EXPECT_EQ(Library(Edition::kEpurse).Find("LED_DISPLAY"), nullptr);
  EXPECT_NE(Library(Edition::kDisplay).Find("LED_DISPLAY"), nullptr);
  EXPECT_NE(Library(Edition::kEpurse).Find("CPU_PBOC_REQA_CARD"), nullptr);
  EXPECT_EQ(Library(Edition::kDisplay).Find("RFSIM_REQA_CARD"), nullptr);
}

}  // namespace
}  // namespace vorlex::testing
