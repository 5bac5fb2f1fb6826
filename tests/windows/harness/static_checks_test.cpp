// What can be checked of the Windows DLLs without running them: their export and import
// tables, the argument bytes of the 32-bit exports, the header they are declared in, and the
// release package with its import libraries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <regex>
#include <sstream>

#include "support.h"

namespace vorlex::windows_suite {
namespace {

namespace fs = std::filesystem;

std::string ArchAndEdition(const testing::TestParamInfo<std::string>& param_info) {
  return Config::Get().Value("arch") + "_" + param_info.param;
}

std::set<std::string> NamesOf(const ExportTable& table) {
  std::set<std::string> names;
  for (const auto& [name, bytes] : table) names.insert(name);
  return names;
}

template <typename Map>
std::set<std::string> KeysOf(const Map& map) {
  std::set<std::string> keys;
  for (const auto& [key, value] : map) keys.insert(key);
  return keys;
}

// A DLL exports exactly the edition's list, by plain name only.
void ExpectExportsAreTheList(const std::string& dll, const ExportTable& table) {
  const PeListing pe = ReadPeListing(Config::Get().Value("objdump"), dll);
  EXPECT_EQ(KeysOf(pe.exports), NamesOf(table)) << dll;
  for (const auto& [name, rva] : pe.exports) {
    EXPECT_EQ(name.find('@'), std::string::npos) << dll << " exports a decorated name " << name;
  }
}

// Only Windows' own DLLs: the C++ runtime, libgcc and winpthread are linked in.
void ExpectOnlySystemImports(const std::string& dll) {
  static const std::set<std::string> kSystem = {"kernel32.dll", "msvcrt.dll", "ntdll.dll",
                                                "advapi32.dll", "user32.dll"};
  const PeListing pe = ReadPeListing(Config::Get().Value("objdump"), dll);
  EXPECT_FALSE(pe.imported_dlls.empty()) << dll;
  for (std::string name : pe.imported_dlls) {
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    EXPECT_EQ(kSystem.count(name), 1u) << dll << " imports " << name;
  }
}

class StaticChecks : public testing::TestWithParam<std::string> {
 protected:
  const Config& config = Config::Get();
  const std::string& edition = GetParam();
  const ExportTable table = ReadExportTable(config.Edition("exports", edition));
};

TEST_P(StaticChecks, DllExportsExactlyTheEditionListByPlainName) {
  ExpectExportsAreTheList(config.Edition("dll", edition), table);
}

TEST_P(StaticChecks, DllImportsOnlyWindowsDlls) {
  ExpectOnlySystemImports(config.Edition("dll", edition));
}

// The compiler's references from the header declarations name every export of the list, and on
// 32-bit x86 carry the list's argument bytes: _BELL_BEEP@8 for "BELL_BEEP 8".
TEST_P(StaticChecks, HeaderDeclarationsMatchTheExportTable) {
  static const std::regex kReference(R"(__imp__?([A-Za-z0-9_]+?)(@(\d+))?)");
  std::map<std::string, int> referenced;
  std::smatch match;
  for (const auto& [symbol, address] :
       ReadSymbols(config.Value("nm"), config.Edition("probe", edition), 'U')) {
    ASSERT_TRUE(std::regex_match(symbol, match, kReference)) << "unexpected reference " << symbol;
    if (config.is_x86()) {
      ASSERT_TRUE(match[3].matched) << symbol << " is not __stdcall";
      referenced[match[1]] = std::stoi(match[3]);
    } else {
      ASSERT_FALSE(match[2].matched) << symbol << " is decorated on x64";
      referenced[match[1]] = table.count(match[1]) ? table.at(match[1]) : -1;
    }
  }
  const std::map<std::string, int> listed(table.begin(), table.end());
  EXPECT_EQ(referenced, listed);
}

// The other direction: the headers declare no call that the edition does not export.
TEST_P(StaticChecks, HeadersDeclareNothingBeyondTheExportTable) {
  static const std::regex kDeclaration(R"(VORLEX_CALL\s+([A-Za-z0-9_]+)\s*\()");
  std::set<std::string> declared;
  std::stringstream headers(config.Edition("headers", edition));
  std::string header;
  while (std::getline(headers, header, ';')) {
    const std::string text = ReadFileText(config.Value("source_dir") + "/" + header);
    for (std::sregex_iterator it(text.begin(), text.end(), kDeclaration), end; it != end; ++it) {
      declared.insert((*it)[1]);
    }
  }
  EXPECT_EQ(declared, NamesOf(table));
}

TEST_P(StaticChecks, PackageHoldsTheReleaseFiles) {
  const fs::path top = UnpackedPackage(edition);
  std::set<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(top)) {
    if (entry.is_regular_file()) files.insert(fs::relative(entry.path(), top).string());
  }
  const std::string headers = config.Edition("headers", edition);  // "include/vorlex.h;include/..."
  const std::string edition_header = fs::path(headers.substr(headers.rfind(';') + 1)).filename();
  EXPECT_EQ(files, (std::set<std::string>{"README.txt", "vorlex.dll", "include/vorlex.h",
                                          "include/" + edition_header, "lib/vorlex.def",
                                          "lib/libvorlex.dll.a", "lib/vorlex.lib"}));
  for (const std::string& header : {std::string("vorlex.h"), edition_header}) {
    EXPECT_EQ(ReadFileText(top / "include" / header),
              ReadFileText(config.Value("source_dir") + "/include/" + header));
  }
  const fs::path generated = fs::path(config.Value("binary_dir")) / "generated" / edition;
  EXPECT_EQ(ReadFileText(top / "lib/vorlex.def"), ReadFileText(generated / "vorlex.def"));
  ExpectExportsAreTheList(top / "vorlex.dll", table);
  ExpectOnlySystemImports(top / "vorlex.dll");
}

// A C caller that declares the calls through the header links with either import library,
// and imports the plain names from vorlex.dll.
TEST_P(StaticChecks, ImportLibrariesLinkACallerByPlainNames) {
  const std::string top = UnpackedPackage(edition);
  for (const char* library : {"lib/libvorlex.dll.a", "lib/vorlex.lib"}) {
    SCOPED_TRACE(library);
    const std::string exe =
        LinkCaller(edition, top + "/" + library,
                   TempDirectory("link-" + edition + fs::path(library).extension().string()));
    const PeListing pe = ReadPeListing(config.Value("objdump"), exe);
    ASSERT_EQ(pe.imports.count("vorlex.dll"), 1u);
    EXPECT_EQ(pe.imports.at("vorlex.dll"),
              (std::set<std::string>{"Open_Reader", "BELL_BEEP", "Close_Reader"}));
  }
}

INSTANTIATE_TEST_SUITE_P(Windows, StaticChecks, testing::ValuesIn(kEditions), ArchAndEdition);

// 32-bit x86 only: every export leads to the __stdcall function whose decoration carries the
// table's argument bytes, so a caller's stack is cleaned by exactly what it pushed.
class X86StaticChecks : public StaticChecks {};

TEST_P(X86StaticChecks, EveryExportIsTheStdcallFunctionOfTheTableBytes) {
  const std::string dll = config.Edition("dll", edition);
  const PeListing pe = ReadPeListing(config.Value("objdump"), dll);
  const auto functions = ReadSymbols(config.Value("nm"), dll, 'T');
  ASSERT_FALSE(pe.exports.empty());
  for (const auto& [name, rva] : pe.exports) {
    ASSERT_EQ(table.count(name), 1u) << name;
    const std::string decorated = "_" + name + "@" + std::to_string(table.at(name));
    ASSERT_EQ(functions.count(decorated), 1u) << dll << " has no function " << decorated;
    EXPECT_EQ(functions.at(decorated), pe.image_base + rva) << name << " is not " << decorated;
  }
}

GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(X86StaticChecks);
INSTANTIATE_TEST_SUITE_P(Windows, X86StaticChecks,
                         testing::ValuesIn(Config::Get().is_x86() ? kEditions
                                                                  : std::vector<std::string>{}),
                         ArchAndEdition);

}  // namespace
}  // namespace vorlex::windows_suite
