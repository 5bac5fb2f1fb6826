// What vorlex-tap adds to an exchange, and that it passes every byte unchanged and in order.
// Two scripted readers answer the same requests: one directly on its pty, one behind the tap.
// The exchanges alternate between the two within one run, so both see the same machine.
//
//   library  GET_HARDWARE_VER through the display edition (its 10 ms pause included)
//   frames   one request frame written, the answer frame read back as soon as it is in
//   relay    N exchanges of random frames (payloads up to 295 bytes both ways) through the tap,
//            every byte of both directions compared with what was sent
//
// Usage: vorlex_tap_bench [--iterations N] [--exchanges N]   (exit 1 when a byte went astray)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "reader_frame.h"
#include "scripted_reader.h"
#include "serial_line.h"
#include "vorlex_display.h"

extern char** environ;

namespace {

using vorlex::engine::Bytes;
using vorlex::engine::EncodeFrame;
using vorlex::engine::ParsedFrame;
using vorlex::engine::Reply;
using vorlex::engine::ScriptedReader;
using Clock = std::chrono::steady_clock;

// The reader's answer to a request, computable on both sides: the version request gets a
// version, anything else a pseudo-random payload whose length (0 to 295) and bytes follow from
// the request.
Bytes AnswerTo(const Bytes& request) {
  if (request == Bytes{0xFF, 0x01}) {
    const char version[] = "VORLEX-TAP-BENCH";
    Bytes answer{0x00, 0x00};
    answer.insert(answer.end(), version, version + sizeof version - 1);
    return answer;
  }
  std::uint32_t seed = 2166136261u;
  for (std::uint8_t b : request) seed = (seed ^ b) * 16777619u;
  std::mt19937 rng(seed);
  Bytes answer(rng() % (vorlex::engine::kMaxPayload + 1));
  for (std::uint8_t& b : answer) b = static_cast<std::uint8_t>(rng());
  return answer;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

double Us(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// Writes `request` and reads exactly the expected answer frame; false on a time-out or on any
// byte that differs.
bool Exchange(int fd, const Bytes& request, const Bytes& expected) {
  if (::write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
    return false;
  }
  std::uint8_t buffer[512];
  std::size_t got = 0;
  while (got < expected.size()) {
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, 2000) <= 0) return false;
    const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, expected.size() - got));
    if (n <= 0) return false;
    if (std::memcmp(buffer, expected.data() + got, static_cast<std::size_t>(n)) != 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

bool Quiet(int fd) {
  pollfd entry{fd, POLLIN, 0};
  return ::poll(&entry, 1, 50) == 0;
}

class TapProcess {
 public:
  TapProcess(const std::string& device, const std::string& link, const std::string& output) {
    std::vector<std::string> args{VORLEX_TAP_PROGRAM, "--device", device, "--link", link};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
      throw std::runtime_error("cannot start " + args[0]);
    }
    posix_spawn_file_actions_destroy(&actions);
    for (int i = 0; i < 500 && !std::filesystem::is_symlink(link); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!std::filesystem::is_symlink(link)) throw std::runtime_error("the tap did not start");
  }
  ~TapProcess() { Stop(); }
  int Stop() {
    if (pid_ <= 0) return status_;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    return status_;
  }

 private:
  pid_t pid_ = -1;
  int status_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  int iterations = 200, exchanges = 10000;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--iterations") == 0) iterations = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--exchanges") == 0) exchanges = std::max(1, std::atoi(argv[i + 1]));
  }
  const auto responder = [](const ParsedFrame& request) {
    return Reply::Answer(AnswerTo(request.payload));
  };
  ScriptedReader direct_reader, tapped_reader;
  direct_reader.SetResponder(responder);
  tapped_reader.SetResponder(responder);
  const std::string scratch =
      std::filesystem::temp_directory_path() / ("vorlex_tap_bench_" + std::to_string(getpid()));
  const std::string link = scratch + ".pty", output = scratch + ".out";
  TapProcess tap(tapped_reader.port(), link, output);
  const std::string tapped_port = std::filesystem::read_symlink(link);

  // Library: the export as an application calls it.
  std::vector<double> lib_direct, lib_tapped;
  {
    ReaderHandle direct = Open_Reader(direct_reader.port().c_str());
    ReaderHandle tapped = Open_Reader(tapped_port.c_str());
    if (direct == nullptr || tapped == nullptr) {
      std::fprintf(stderr, "cannot open the readers\n");
      return 1;
    }
    unsigned char version[300];
    char message[50];
    for (int i = 0; i < iterations + 3; ++i) {
      for (auto [handle, walls] :
           {std::pair{direct, &lib_direct}, std::pair{tapped, &lib_tapped}}) {
        const auto start = Clock::now();
        const int result = GET_HARDWARE_VER(handle, version, message);
        if (i >= 3) walls->push_back(Us(Clock::now() - start));
        if (result != 0) {
          std::fprintf(stderr, "GET_HARDWARE_VER failed: %d\n", result);
          return 1;
        }
      }
    }
    Close_Reader(direct);
    Close_Reader(tapped);
  }

  // Frames: the round trip without the library's pause, where the relay's cost shows.
  const int direct_fd = vorlex::engine::OpenSerialLine(direct_reader.port());
  const int tapped_fd = vorlex::engine::OpenSerialLine(tapped_port);
  struct Row {
    const char* name;
    Bytes request;
    std::vector<double> direct, tapped;
  };
  Row rows[] = {{"REQ_14443_CARD-sized, 8 B request / 13 B answer", {0x04, 0x01, 0x00}, {}, {}},
                {"295 B payload each way", Bytes(295, 0xA5), {}, {}}};
  for (Row& row : rows) {
    const Bytes request = EncodeFrame(row.request), answer = EncodeFrame(AnswerTo(row.request));
    for (int i = 0; i < iterations + 3; ++i) {
      for (auto [fd, walls] :
           {std::pair{direct_fd, &row.direct}, std::pair{tapped_fd, &row.tapped}}) {
        const auto start = Clock::now();
        if (!Exchange(fd, request, answer)) {
          std::fprintf(stderr, "%s: exchange failed\n", row.name);
          return 1;
        }
        if (i >= 3) walls->push_back(Us(Clock::now() - start));
      }
    }
  }

  // Relay: random frames through the tap, every byte checked both ways.
  std::mt19937 rng(15);
  std::size_t bytes_each_way[2] = {0, 0};
  std::vector<Bytes> sent;
  tapped_reader.ClearRecord();
  const auto relay_start = Clock::now();
  int lost = 0;
  for (int i = 0; i < exchanges; ++i) {
    Bytes payload(rng() % (vorlex::engine::kMaxPayload + 1));
    for (std::uint8_t& b : payload) b = static_cast<std::uint8_t>(rng());
    const Bytes request = EncodeFrame(payload), answer = EncodeFrame(AnswerTo(payload));
    sent.push_back(request);
    bytes_each_way[0] += request.size();
    bytes_each_way[1] += answer.size();
    if (!Exchange(tapped_fd, request, answer)) {
      ++lost;
      break;
    }
  }
  const double relay_s = Us(Clock::now() - relay_start) / 1e6;
  const bool requests_intact = tapped_reader.RawRequests() == sent;
  const bool nothing_extra = Quiet(tapped_fd);
  ::close(direct_fd);
  ::close(tapped_fd);
  const int tap_status = tap.Stop();
  std::string summary;
  {
    std::ifstream text(output);
    for (std::string line; std::getline(text, line);) {
      if (line.rfind("vorlex-tap:", 0) == 0) summary = line;
    }
  }
  std::filesystem::remove(output);

  std::printf("vorlex-tap added latency, %d exchanges per median, alternating direct / tapped\n\n",
              iterations);
  std::printf(
      "| exchange | direct us | through the tap us | added us |\n| --- | ---: | ---: | ---: |\n");
  const double lib_added = Median(lib_tapped) - Median(lib_direct);
  std::printf("| library GET_HARDWARE_VER (18 B answer) | %.1f | %.1f | %+.1f |\n",
              Median(lib_direct), Median(lib_tapped), lib_added);
  double worst = lib_added;
  for (const Row& row : rows) {
    const double added = Median(row.tapped) - Median(row.direct);
    worst = std::max(worst, added);
    std::printf("| frames: %s | %.1f | %.1f | %+.1f |\n", row.name, Median(row.direct),
                Median(row.tapped), added);
  }
  std::printf(
      "\nrelay: %d exchanges of random frames in %.2f s, %zu bytes to the reader and %zu "
      "back: %s\n",
      exchanges, relay_s, bytes_each_way[0], bytes_each_way[1],
      lost == 0 && requests_intact && nothing_extra ? "every byte arrived, in order"
                                                    : "BYTES LOST OR CHANGED");
  std::printf("tap: exit %d, \"%s\"\n", tap_status, summary.c_str());
  std::printf("target: added latency <= 200 us at the median: %s (worst %.1f us)\n",
              worst <= 200 ? "met" : "MISSED", worst);
  const bool clean = summary.find(" 0 anomalies") != std::string::npos;
  return lost == 0 && requests_intact && nothing_extra && tap_status == 0 && clean ? 0 : 1;
}
