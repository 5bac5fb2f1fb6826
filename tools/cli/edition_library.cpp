#include "edition_library.h"

#include <dlfcn.h>

#include <filesystem>
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
  std::vector<fs::path> folders;
  // Both layouts keep the editions side by side: <dir>/epurse and <dir>/display.
  if (!beside_library.empty()) {
    folders.push_back(fs::path(beside_library).parent_path().parent_path() / name);
  }
  const fs::path here = ProgramDirectory();
  folders.push_back(here / VORLEX_CLI_INSTALLED_LIBRARIES / name);
  folders.push_back(here / VORLEX_CLI_BUILD_LIBRARIES / name);
  std::vector<fs::path> candidates;
  for (const fs::path& folder : folders) {
    candidates.push_back(folder / "libvorlex.so.1");  // the soname, where the library is versioned
    candidates.push_back(folder / "libvorlex.so");
  }
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

}  // namespace vorlex::cli
