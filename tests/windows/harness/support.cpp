#include "support.h"

#include <fcntl.h>
#include <iconv.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace vorlex::windows_suite {
namespace {

std::unique_ptr<Config> loaded_config;

void Check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error(what);
}

}  // namespace

void Config::Load(const std::string& path) {
  auto config = std::make_unique<Config>();
  std::ifstream file(path);
  Check(file.good(), "cannot read " + path);
  std::string line;
  while (std::getline(file, line)) {
    const auto equals = line.find('=');
    if (equals != std::string::npos) {
      config->values_[line.substr(0, equals)] = line.substr(equals + 1);
    }
  }
  loaded_config = std::move(config);
}

const Config& Config::Get() {
  Check(loaded_config != nullptr, "no suite.conf loaded");
  return *loaded_config;
}

const std::string& Config::Value(const std::string& key) const {
  const auto found = values_.find(key);
  Check(found != values_.end(), "suite.conf has no " + key);
  return found->second;
}

ExportTable ReadExportTable(const std::string& path) {
  std::ifstream file(path);
  Check(file.good(), "cannot read " + path);
  ExportTable table;
  std::string name;
  int bytes = 0;
  while (file >> name >> bytes) table[name] = bytes;
  return table;
}

std::string ProcessResult::Describe() const {
  std::ostringstream text;
  text << "exit " << exit_code;
  if (signal != 0) text << " (signal " << signal << ")";
  text << (timed_out ? " (timed out)" : "") << " after " << elapsed.count() << " ms\n--- stdout\n"
       << out << "--- stderr\n"
       << err << "---";
  return text.str();
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const EnvChanges& env,
                         std::chrono::milliseconds timeout, bool discard_output) {
  // Everything the child gets is built before spawning: the reader engine runs a thread.
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string variable = *entry;
    if (env.count(variable.substr(0, variable.find('='))) == 0) environment.push_back(variable);
  }
  for (const auto& [name, value] : env) {
    if (value) environment.push_back(name + "=" + *value);
  }
  std::vector<char*> argv_pointers, env_pointers;
  for (const auto& arg : argv) argv_pointers.push_back(const_cast<char*>(arg.c_str()));
  argv_pointers.push_back(nullptr);
  for (const auto& variable : environment) {
    env_pointers.push_back(const_cast<char*>(variable.c_str()));
  }
  env_pointers.push_back(nullptr);

  int out_pipe[2], err_pipe[2];
  Check(::pipe2(out_pipe, O_CLOEXEC) == 0 && ::pipe2(err_pipe, O_CLOEXEC) == 0, "pipe2");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (discard_output) {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  } else {
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
  }
  pid_t pid = 0;
  const auto started = std::chrono::steady_clock::now();
  const int spawned = ::posix_spawnp(&pid, argv[0].c_str(), &actions, nullptr, argv_pointers.data(),
                                     env_pointers.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);

  ProcessResult result;
  if (spawned != 0) {
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    result.err = "cannot start " + argv[0] + ": " + std::strerror(spawned) + "\n";
    return result;
  }
  ::fcntl(out_pipe[0], F_SETFL, O_NONBLOCK);
  ::fcntl(err_pipe[0], F_SETFL, O_NONBLOCK);
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  auto drain = [&] {
    for (int i = 0; i < 2; ++i) {
      char buffer[4096];
      ssize_t count;
      while (fds[i].fd >= 0 && (count = ::read(fds[i].fd, buffer, sizeof buffer)) > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(count));
      }
      if (fds[i].fd >= 0 && count == 0) fds[i].fd = -1;  // end of file
    }
  };
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  for (;;) {
    ::poll(fds, 2, 20);
    drain();
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      drain();
      if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
      if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
      break;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      result.timed_out = true;
      break;
    }
  }
  ::close(out_pipe[0]);
  ::close(err_pipe[0]);
  result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - started);
  return result;
}

std::string ReadFileText(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  Check(file.good(), "cannot read " + path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  std::string line;
  while (std::getline(stream, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::string TempDirectory(const std::string& name) {
  const std::filesystem::path dir =
      std::filesystem::path(Config::Get().Value("binary_dir")) / "windows-suite" / name;
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir.string();
}

PeListing ReadPeListing(const std::string& objdump, const std::string& file) {
  const ProcessResult listing = RunProcess({objdump, "-p", file});
  Check(listing.exit_code == 0, objdump + " -p " + file + ": " + listing.Describe());
  static const std::regex kImageBase(R"(^ImageBase\s+([0-9a-fA-F]+)$)");
  static const std::regex kAddress(
      R"(^\s*\[\s*(\d+)\] \+base\[\s*\d+\] ([0-9a-fA-F]+) Export RVA)");
  static const std::regex kName(R"(^\s*\[\s*(\d+)\] (\S+)$)");
  static const std::regex kDll(R"(^\s*DLL Name: (\S+)$)");
  static const std::regex kImport(R"(^\s*[0-9a-fA-F]+\s+\d+\s+(\S+)$)");

  PeListing pe;
  std::map<int, std::uint32_t> addresses;
  enum class Section { kNone, kAddresses, kNames, kImports } section = Section::kNone;
  std::string dll;
  std::smatch match;
  for (const auto& line : SplitLines(listing.out)) {
    if (std::regex_match(line, match, kImageBase)) {
      pe.image_base = std::stoull(match[1], nullptr, 16);
    } else if (line.rfind("Export Address Table --", 0) == 0) {
      section = Section::kAddresses;
    } else if (line.rfind("[Ordinal/Name Pointer] Table", 0) == 0) {
      section = Section::kNames;
    } else if (std::regex_match(line, match, kDll)) {
      section = Section::kImports;
      dll = match[1];
      pe.imported_dlls.push_back(dll);
      pe.imports[dll];
    } else if (line.find_first_not_of(" \t") == std::string::npos) {
      section = Section::kNone;
    } else if (section == Section::kAddresses && std::regex_search(line, match, kAddress)) {
      addresses[std::stoi(match[1])] =
          static_cast<std::uint32_t>(std::stoul(match[2], nullptr, 16));
    } else if (section == Section::kNames && std::regex_match(line, match, kName)) {
      const int index = std::stoi(match[1]);
      pe.exports[match[2]] = addresses.count(index) ? addresses[index] : 0;
    } else if (section == Section::kImports && std::regex_match(line, match, kImport)) {
      pe.imports[dll].insert(match[1]);
    }
  }
  return pe;
}

std::map<std::string, std::uint64_t> ReadSymbols(const std::string& nm, const std::string& file,
                                                 char type) {
  const ProcessResult listing = RunProcess({nm, file});
  Check(listing.exit_code == 0, nm + " " + file + ": " + listing.Describe());
  std::map<std::string, std::uint64_t> symbols;
  for (const auto& line : SplitLines(listing.out)) {
    std::istringstream fields(line);
    std::string first, second, third;
    fields >> first >> second >> third;
    if (third.empty() && first.size() == 1 && first[0] == type) {
      symbols[second] = 0;  // undefined: no address column
    } else if (!third.empty() && second.size() == 1 && second[0] == type) {
      symbols[third] = std::stoull(first, nullptr, 16);
    }
  }
  return symbols;
}

std::string UnpackedPackage(const std::string& edition) {
  static std::map<std::string, std::string> unpacked;
  if (unpacked.count(edition) == 0) {
    const std::filesystem::path zip = Config::Get().Edition("package", edition);
    const std::string dir = TempDirectory("package-" + edition);
    const ProcessResult untar = RunProcess(
        {"sh", "-c", "cd \"$1\" && cmake -E tar xf \"$2\"", "unpack", dir, zip.string()});
    Check(untar.exit_code == 0, "unpacking " + zip.string() + ": " + untar.Describe());
    unpacked[edition] = (std::filesystem::path(dir) / zip.stem()).string();
  }
  return unpacked[edition];
}

std::string LinkCaller(const std::string& edition, const std::string& library,
                       const std::string& output_dir) {
  const Config& config = Config::Get();
  const std::string exe = output_dir + "/caller.exe";
  const ProcessResult link = RunProcess({config.Value("c_compiler"), "-std=c11", "-Wall", "-Wextra",
                                         "-Werror", "-I" + UnpackedPackage(edition) + "/include",
                                         config.Value("caller_source"), library, "-o", exe});
  Check(link.exit_code == 0, "linking caller.c with " + library + ": " + link.Describe());
  return exe;
}

std::string LinkMsvcCaller(const std::string& package, const std::string& output_dir) {
  const Config& config = Config::Get();
  const std::string target = config.is_x86() ? "i686-pc-windows-msvc" : "x86_64-pc-windows-msvc";
  const std::string object = output_dir + "/msvc_caller.obj", exe = output_dir + "/msvc_caller.exe";
  // Freestanding: the compiler's own stddef.h and stdint.h, no C library behind them.
  const ProcessResult compile = RunProcess(
      {config.Value("msvc_c_compiler"), "--target=" + target, "-std=c89", "-Wall", "-Wextra",
       "-Wpedantic", "-Werror", "-O2", "-ffreestanding", "-fno-builtin", "-fno-stack-protector",
       "-I" + package + "/include", "-c", config.Value("msvc_caller_source"), "-o", object});
  Check(compile.exit_code == 0, "compiling msvc_caller.c: " + compile.Describe());
  std::vector<std::string> link_command = {config.Value("msvc_linker"),
                                           "/nologo",
                                           "/subsystem:console",
                                           "/entry:VorlexCallerMain",
                                           "/nodefaultlib",
                                           "/out:" + exe,
                                           object,
                                           package + "/lib/vorlex.lib",
                                           config.Value("kernel32_import_library")};
  // MinGW's import objects carry no safe exception handler table, which 32-bit images ask for.
  if (config.is_x86()) link_command.push_back("/safeseh:no");
  const ProcessResult link = RunProcess(link_command);
  Check(link.exit_code == 0, "linking msvc_caller.obj: " + link.Describe());
  return exe;
}

std::string GbkHex(const std::string& utf8) {
  iconv_t converter = ::iconv_open("GBK", "UTF-8");
  Check(converter != reinterpret_cast<iconv_t>(-1), "iconv has no GBK");
  std::string input = utf8;
  std::string output(input.size() * 2, '\0');
  char* in = input.data();
  char* out = output.data();
  std::size_t in_left = input.size(), out_left = output.size();
  const bool converted =
      ::iconv(converter, &in, &in_left, &out, &out_left) != static_cast<size_t>(-1);
  ::iconv_close(converter);
  Check(converted, "not GBK: " + utf8);
  output.resize(output.size() - out_left);
  static const char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (unsigned char byte : output) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  return hex;
}

}  // namespace vorlex::windows_suite
