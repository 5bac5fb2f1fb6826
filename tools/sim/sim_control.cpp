#include "sim_control.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <system_error>

#include "input_file.h"
#include "link.h"

namespace vorlex::sim {
namespace {

constexpr char kUsage[] =
    "commands: remove [card|sam1|sam2|rfsim], insert [card|sam1|sam2|rfsim], load FILE "
    "(a 1024-byte Mifare image, inserted), stats";

std::optional<Unit> UnitNamed(const std::string& name) {
  if (name == "card") return Unit::kCard;
  if (name == "sam1") return Unit::kSam1;
  if (name == "sam2") return Unit::kSam2;
  if (name == "rfsim") return Unit::kRfsim;
  return std::nullopt;
}

// One line from `fd`, up to a newline or 4096 bytes.
std::string ReadLine(int fd) {
  std::string line;
  char byte = 0;
  while (line.size() < 4096 && ::read(fd, &byte, 1) == 1 && byte != '\n') line += byte;
  return line;
}

void WriteLine(int fd, const std::string& line) {
  // A peer gone already (launch's probe of who holds the link) must not stop the simulator.
  const std::string text = line + "\n";
  [[maybe_unused]] const ssize_t n = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
}

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  for (const char c : line + '\t') {
    if (c != '\t') {
      word += c;
    } else if (!word.empty()) {
      words.push_back(word);
      word.clear();
    }
  }
  return words;
}

}  // namespace

std::string ApplyControl(VirtualReader& reader, const std::vector<std::string>& words) {
  if (words.empty()) return std::string("error: no command; ") + kUsage;
  const std::string& command = words[0];
  if ((command == "remove" || command == "insert") && words.size() <= 2) {
    const std::optional<Unit> unit = UnitNamed(words.size() == 2 ? words[1] : "card");
    if (!unit) return "error: no unit " + words[1] + "; " + kUsage;
    reader.SetInserted(*unit, command == "insert");
    return "ok " + command + " " + (words.size() == 2 ? words[1] : "card");
  }
  if (command == "load" && words.size() == 2) {
    CardImage image;
    try {
      image = ParseCardFile(files::ReadInputFile(words[1], files::kCardFile), words[1]);
    } catch (const std::exception& error) {
      return std::string("error: ") + error.what();
    }
    reader.LoadImage(image);
    return "ok load " + words[1];
  }
  if (command == "stats" && words.size() == 1) {
    return "ok requests " + std::to_string(reader.Requests());
  }
  return "error: cannot do '" + command + "' with " + std::to_string(words.size() - 1) +
         " argument(s); " + kUsage;
}

ControlServer::ControlServer(int listening, VirtualReader& reader)
    : listening_(listening), stop_(::eventfd(0, EFD_CLOEXEC)), reader_(reader) {
  if (stop_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
  thread_ = std::thread([this] { Serve(); });
}

ControlServer::~ControlServer() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(stop_, &one, sizeof one);
  thread_.join();
  ::close(stop_);
}

void ControlServer::Serve() {
  for (;;) {
    pollfd fds[2] = {{stop_, POLLIN, 0}, {listening_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
    if (fds[0].revents != 0) return;
    if (fds[1].revents == 0) continue;
    const int client = ::accept4(listening_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    // A client that sends nothing does not hold the channel up.
    const timeval patience{2, 0};
    ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    // Only a process of the same user (or root) may change the cards.
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid != 0 &&
        peer.uid != ::getuid()) {
      WriteLine(client, "error: not your simulator");
    } else {
      WriteLine(client, ApplyControl(reader_, Words(ReadLine(client))));
    }
    ::close(client);
  }
}

int RunControl(const std::string& link, const std::vector<std::string>& words) {
  const int fd = launch::ConnectToLink(link);
  if (fd < 0) {
    std::cerr << "vorlex-sim ctl: no simulator serves the link " << link << ": "
              << std::strerror(errno) << "\n";
    return 3;
  }
  std::vector<std::string> sent = words;
  // A file is the caller's: named from our folder, not the simulator's.
  if (sent.size() == 2 && sent[0] == "load" && !sent[1].empty()) {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(sent[1], error);
    if (!error) sent[1] = absolute.string();
  }
  std::string line;
  // Tabs between the words, so that a file name may hold spaces.
  for (const std::string& word : sent) line += (line.empty() ? "" : "\t") + word;
  WriteLine(fd, line);
  const std::string answer = ReadLine(fd);
  ::close(fd);
  if (answer.rfind("ok", 0) == 0) {
    std::cout << answer << "\n";
    return 0;
  }
  std::cerr << "vorlex-sim ctl: " << (answer.empty() ? "no answer" : answer) << "\n";
  return 1;
}

}  // namespace vorlex::sim
