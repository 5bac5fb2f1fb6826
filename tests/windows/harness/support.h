// What both halves of the Windows suite share: the cross build's description (suite.conf),
// running programs with a time limit, and reading the binutils listings of a PE file.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vorlex::windows_suite {

inline const std::vector<std::string> kEditions = {"epurse", "display"};

// suite.conf of the cross build under test, written by tests/windows/CMakeLists.txt.
class Config {
 public:
  static void Load(const std::string& path);  // throws std::runtime_error
  static const Config& Get();

  const std::string& Value(const std::string& key) const;  // throws when missing
  const std::string& Edition(const std::string& key, const std::string& edition) const {
    return Value(key + "." + edition);
  }
  bool is_x86() const { return Value("arch") == "x86"; }

 private:
  std::map<std::string, std::string> values_;
};

// An edition's exports.txt: name -> argument bytes on 32-bit x86.
using ExportTable = std::map<std::string, int>;
ExportTable ReadExportTable(const std::string& path);

struct ProcessResult {
  int exit_code = -1;  // -1 when killed or not started
  int signal = 0;      // the signal that ended it, if one did
  bool timed_out = false;
  std::chrono::milliseconds elapsed{0};
  std::string out;
  std::string err;
  std::string Describe() const;  // for failure messages
};

// Environment changes for a child: a value sets the variable, nullopt removes it.
using EnvChanges = std::map<std::string, std::optional<std::string>>;

// Runs argv[0] (searched on PATH) with stdin from /dev/null. Output is collected until the
// child exits, not until the pipes close: Wine leaves helper processes behind that inherit them.
ProcessResult RunProcess(const std::vector<std::string>& argv, const EnvChanges& env = {},
                         std::chrono::milliseconds timeout = std::chrono::seconds(60),
                         bool discard_output = false);

std::string ReadFileText(const std::string& path);
std::vector<std::string> SplitLines(const std::string& text);  // drops '\r'
std::string TempDirectory(const std::string& name);            // fresh, under the build tree

// From `objdump -p`.
struct PeListing {
  std::uint64_t image_base = 0;
  std::map<std::string, std::uint32_t> exports;  // name -> RVA
  std::vector<std::string> imported_dlls;
  std::map<std::string, std::set<std::string>> imports;  // DLL -> function names
};
PeListing ReadPeListing(const std::string& objdump, const std::string& file);

// From `nm`: symbol name -> address, of the symbols of one type letter ('T', 'U', ...).
std::map<std::string, std::uint64_t> ReadSymbols(const std::string& nm, const std::string& file,
                                                 char type);

// The edition's release zip unpacked once (cmake -E tar); the path of its top folder.
std::string UnpackedPackage(const std::string& edition);

// caller.c compiled with the cross compiler and linked with `library` (a path). The exe path.
std::string LinkCaller(const std::string& edition, const std::string& library,
                       const std::string& output_dir);

// msvc_caller.c compiled by clang in MSVC mode and linked by lld-link against the package's
// lib/vorlex.lib and MinGW's KERNEL32 import library, no CRT. The exe path.
std::string LinkMsvcCaller(const std::string& package, const std::string& output_dir);

// UTF-8 text converted to GBK, as hex: the form the driver prints messages in.
std::string GbkHex(const std::string& utf8);

}  // namespace vorlex::windows_suite
