#include "edition_library.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <vector>

namespace vorlex::cli {
namespace {

namespace fs = std::filesystem;

fs::path ProgramDirectory() {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  return error ? fs::path(".") : self.parent_path();
}

std::vector<fs::path> Candidates(Edition edition, const std::string& beside_library) {
  const char* name = NameOf(edition);
  std::vector<fs::path> candidates;
  // Both layouts keep the editions side by side: <dir>/epurse and <dir>/display.
  if (!beside_library.empty()) {
    candidates.push_back(fs::path(beside_library).parent_path().parent_path() / name /
                         "libvorlex.so");
  }
  const fs::path here = ProgramDirectory();
  candidates.push_back(here / VORLEX_CLI_INSTALLED_LIBRARIES / name / "libvorlex.so");
  candidates.push_back(here / VORLEX_CLI_BUILD_LIBRARIES / name / "libvorlex.so");
  return candidates;
}

}  // namespace

const char* NameOf(Edition edition) { return edition == Edition::kEpurse ? "epurse" : "display"; }

std::string FindLibrary(Edition edition, const std::string& beside_library) {
  std::string tried;
  for (const fs::path& candidate : Candidates(edition, beside_library)) {
    std::error_code error;
    if (fs::is_regular_file(candidate, error)) return candidate.lexically_normal().string();
    tried += "\n  " + candidate.lexically_normal().string();
  }
  throw SetupError(std::string("no ") + NameOf(edition) + " edition library found; tried:" + tried +
                   "\nbuild it, or name it with --library PATH");
}

EditionLibrary::EditionLibrary(Edition edition, const std::string& path)
    : edition_(edition), path_(path.empty() ? FindLibrary(edition, "") : path) {
  handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) throw SetupError(std::string("cannot load library: ") + dlerror());
#define VORLEX_CLI_FIND(name) name = reinterpret_cast<decltype(&::name)>(dlsym(handle_, #name));
  VORLEX_CLI_EXPORTS(VORLEX_CLI_FIND)
#undef VORLEX_CLI_FIND
  if (Open_Reader == nullptr || Close_Reader == nullptr) {
    throw SetupError(path_ + " is not a VORLEX library (no Open_Reader)");
  }
  const bool display_like = LED_DISPLAY != nullptr;
  const bool epurse_like = CPU_PBOC_PURCHASE != nullptr;
  if ((edition == Edition::kDisplay && !display_like) ||
      (edition == Edition::kEpurse && !epurse_like)) {
    throw SetupError(path_ + " is not the " + NameOf(edition) + " edition");
  }
}

std::string ComNameOf(const std::string& device_path) {
  std::error_code error;
  fs::path real = fs::canonical(device_path, error);
  if (error) real = device_path;
  static const std::regex kDevice("/dev/tty(S|USB|ACM)([0-9]+)");
  std::smatch match;
  const std::string text = real.string();
  if (!std::regex_match(text, match, kDevice)) return "";
  const int number = std::atoi(match[2].str().c_str());
  if (number > 31) return "";
  const int first = match[1] == "S" ? 1 : match[1] == "USB" ? 33 : 65;
  return "COM" + std::to_string(first + number);
}

Port::Port(const EditionLibrary& library, const std::string& name) {
  const bool com_name = name.rfind("COM", 0) == 0;
  ReaderHandle handle = nullptr;
  close_ = library.Close_Reader;
  if (com_name || library.edition() == Edition::kDisplay) {
    handle = library.Open_Reader(name.c_str());
    how_ = com_name ? name : "device path";
  } else if (const std::string com = ComNameOf(name); !com.empty()) {
    handle = library.Open_Reader(com.c_str());
    how_ = com;
  } else {
    opener_ = std::make_unique<EditionLibrary>(Edition::kDisplay,
                                               FindLibrary(Edition::kDisplay, library.path()));
    handle = opener_->Open_Reader(name.c_str());
    close_ = opener_->Close_Reader;
    how_ = "display edition's Open_Reader";
  }
  if (handle == nullptr) {
    throw SetupError("cannot open port " + name + " (" + how_ +
                     "): no such device, in use, or not a serial port");
  }
  handle_ = handle;
}

Port::~Port() {
  if (handle_ != nullptr) close_(handle_);
}

}  // namespace vorlex::cli
