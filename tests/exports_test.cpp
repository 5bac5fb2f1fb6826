// Each built library exports exactly its edition's functions, and nothing else; it needs the C
// library alone and carries the versioned name that programs linked against it record.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <vector>

#include "support/reader_test.h"

namespace vorlex::testing {
namespace {

std::vector<std::string> OutputLines(const std::string& command) {
  std::vector<std::string> lines;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return lines;
  char line[512];
  while (std::fgets(line, sizeof line, pipe) != nullptr) lines.emplace_back(line);
  pclose(pipe);
  return lines;
}

std::set<std::string> DynamicSymbols(const char* library, const char* which = "--defined-only") {
  std::set<std::string> names;
  for (const std::string& line : OutputLines(std::string("nm -D ") + which + " " + library)) {
    std::istringstream fields(line);
    std::string first, second, third;
    if (fields >> first >> second >> third) {
      names.insert(third);
    } else if (!second.empty()) {
      names.insert(second);  // undefined symbols have no address
    }
  }
  return names;
}

// The [values] of one kind of entry (NEEDED, SONAME) in the dynamic section.
std::vector<std::string> DynamicEntries(const std::string& file, const std::string& kind) {
  std::vector<std::string> values;
  for (const std::string& line : OutputLines("readelf -d " + file)) {
    if (line.find("(" + kind + ")") == std::string::npos) continue;
    const auto open = line.find('['), close = line.rfind(']');
    if (open != std::string::npos && close > open) {
      values.push_back(line.substr(open + 1, close - open - 1));
    }
  }
  return values;
}

// The C library and the dynamic loader.
bool AllowedDependency(const std::string& name) {
  return name == "libc.so.6" || name.starts_with("ld-linux");
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

TEST(Exports, EachLibraryNeedsTheCLibraryAndNothingElse) {
#if defined(VORLEX_SANITIZED)
  GTEST_SKIP() << "the sanitizers link their runtimes and the C++ library into every library";
#endif
  // The PC/SC driver is built over the same layers and held to the same rule.
  for (const char* library : {
         VORLEX_EPURSE_LIBRARY, VORLEX_DISPLAY_LIBRARY,
#if defined(VORLEX_PCSC_DRIVER)
             VORLEX_PCSC_DRIVER
#endif
       }) {
    SCOPED_TRACE(library);
    const std::vector<std::string> needed = DynamicEntries(library, "NEEDED");
    EXPECT_FALSE(needed.empty());
    for (const std::string& name : needed) EXPECT_TRUE(AllowedDependency(name)) << name;
    // Not even a weak reference into the C++ runtime (operator new, exceptions, type info).
    for (const std::string& symbol : DynamicSymbols(library, "--undefined-only")) {
      EXPECT_EQ(symbol.find("GLIBCXX"), std::string::npos) << symbol;
      EXPECT_EQ(symbol.find("CXXABI"), std::string::npos) << symbol;
      EXPECT_FALSE(symbol.starts_with("_Z")) << symbol;
    }
  }
}

#if defined(VORLEX_PCSC_DRIVER)
TEST(Exports, ThePcscDriverExportsTheIfdHandlerEntryPointsAlone) {
  const std::set<std::string> expected = {"IFDHCreateChannelByName",
                                          "IFDHCreateChannel",
                                          "IFDHCloseChannel",
                                          "IFDHGetCapabilities",
                                          "IFDHSetCapabilities",
                                          "IFDHSetProtocolParameters",
                                          "IFDHPowerICC",
                                          "IFDHTransmitToICC",
                                          "IFDHControl",
                                          "IFDHICCPresence"};
  EXPECT_EQ(DynamicSymbols(VORLEX_PCSC_DRIVER), expected);
}
#endif

TEST(Exports, EachEditionsFolderHoldsTheVersionedLibraryAndItsLinks) {
  namespace fs = std::filesystem;
  for (const char* library : {VORLEX_EPURSE_LIBRARY, VORLEX_DISPLAY_LIBRARY}) {
    SCOPED_TRACE(library);
    const fs::path file(library), folder = file.parent_path();
    EXPECT_EQ(file.filename(), "libvorlex.so.1.0.0");
    EXPECT_FALSE(fs::is_symlink(file));
    EXPECT_EQ(fs::read_symlink(folder / "libvorlex.so.1"), "libvorlex.so.1.0.0");
    EXPECT_EQ(fs::read_symlink(folder / "libvorlex.so"), "libvorlex.so.1");
    EXPECT_EQ(DynamicEntries(library, "SONAME"), std::vector<std::string>{"libvorlex.so.1"});
  }
}

TEST(Exports, AProgramLinkedAgainstAnEditionRecordsTheVersionedName) {
  for (const char* program : {VORLEX_EPURSE_LINKED_PROGRAM, VORLEX_DISPLAY_LINKED_PROGRAM}) {
    SCOPED_TRACE(program);
    std::vector<std::string> vorlex;
    for (const std::string& name : DynamicEntries(program, "NEEDED")) {
      if (name.starts_with("libvorlex")) vorlex.push_back(name);
    }
    EXPECT_EQ(vorlex, std::vector<std::string>{"libvorlex.so.1"});
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
