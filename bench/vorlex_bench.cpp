// How close the library comes to the line's own limits, and what it costs the caller's CPU.
// Every figure is taken against the scripted reader on a pty, instant or paced at 115200 baud.
//
// The floor of one exchange is max(10 ms, wire time of request + answer at 86.8 us a byte): the
// 10 ms pause after the request is mandated, and both frames travel during it when they can.
//
// Usage: vorlex_bench [--iterations N] [--no-python]
#include <fcntl.h>
#include <poll.h>
#include <sys/utsname.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <latch>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "scripted_reader.h"
#include "vorlex_display.h"

namespace {

using vorlex::engine::Bytes;
using vorlex::engine::ParsedFrame;
using vorlex::engine::Reply;
using vorlex::engine::ScriptedReader;

constexpr double kWireUsPerByte = 86.8;  // 10 bits a byte at 115200 baud
constexpr std::chrono::nanoseconds kEnginePacing{86'806};
constexpr double kPauseUs = 10000;

// Targets. An exchange is held against the same exchange made of bare system calls in the same
// run, interleaved with it, so that a loaded machine slows both alike; wall / floor is a figure.
constexpr double kMaxWallOverBare = 1.005;
constexpr double kMaxCpuOverBare = 1.10;
constexpr double kMaxCpuUsPerTimeout = 5000;
constexpr double kMaxParallelRatio = 1.05;

double NowUs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

double ThreadCpuUs() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

double WireUs(std::size_t request_payload, std::size_t answer_payload) {
  return static_cast<double>(request_payload + 5 + answer_payload + 5) * kWireUsPerByte;
}

double FloorUs(std::size_t request_payload, std::size_t answer_payload) {
  return std::max(kPauseUs, WireUs(request_payload, answer_payload));
}

Bytes Ok(std::size_t data_bytes) {
  Bytes payload{0x00, 0x00};
  for (std::size_t i = 0; i < data_bytes; ++i) payload.push_back(static_cast<std::uint8_t>(i * 7));
  return payload;
}

std::string Hex(const Bytes& bytes) {
  std::string text;
  char pair[3];
  for (std::uint8_t byte : bytes) {
    std::snprintf(pair, sizeof pair, "%02X", byte);
    text += pair;
  }
  return text;
}

// One kind of exchange: what goes out, what comes back, and the call that makes it.
struct Exchange {
  const char* name;
  Bytes request;
  Bytes answer;
  std::function<int(ReaderHandle)> call;
  double floor_us() const { return FloorUs(request.size(), answer.size()); }
};

std::vector<Exchange> Exchanges() {
  return {
      {"REQ_14443_CARD",
       {0x04, 0x01, 0x01},
       {0x00, 0x00, 0x04, 0x00, 0xA1, 0xB2, 0xC3, 0xD4},
       [](ReaderHandle reader) {
         char atqa[5], uid[9], message[VORLEX_MESSAGE_SIZE];
         return REQ_14443_CARD(reader, 1, atqa, uid, message);
       }},
      {"MIFS_READ",
       {0x04, 0x04, 0x01, 0x02},
       Ok(16),
       [](ReaderHandle reader) {
         char data[33], message[VORLEX_MESSAGE_SIZE];
         return MIFS_READ(reader, 1, 2, data, message);
       }},
      {"GET_HARDWARE_VER (293 B)",
       {0xFF, 0x01},
       Ok(VORLEX_VERSION_SIZE),
       [](ReaderHandle reader) {
         unsigned char version[VORLEX_VERSION_SIZE];
         char message[VORLEX_MESSAGE_SIZE];
         return GET_HARDWARE_VER(reader, version, message);
       }},
  };
}

// A scripted reader that answers every request with `answer`, and the library's handle on it.
class Reader {
 public:
  Reader(const Bytes& answer, bool paced) {
    if (paced) reader_.SetPacing(kEnginePacing);
    reader_.SetResponder([answer](const ParsedFrame&) { return Reply::Answer(answer); });
    Open();
  }
  explicit Reader(ScriptedReader::Responder responder, bool paced) {
    if (paced) reader_.SetPacing(kEnginePacing);
    reader_.SetResponder(std::move(responder));
    Open();
  }
  Reader() { Open(); }  // silent
  ~Reader() {
    if (handle_ != nullptr) Close_Reader(handle_);
  }
  ReaderHandle handle() const { return handle_; }
  const std::string& port() const { return reader_.port(); }
  void CloseHandle() {
    Close_Reader(handle_);
    handle_ = nullptr;
  }

 private:
  void Open() {
    handle_ = Open_Reader(reader_.port().c_str());
    if (handle_ == nullptr) {
      std::fprintf(stderr, "cannot open %s\n", reader_.port().c_str());
      std::exit(1);
    }
  }
  ScriptedReader reader_;
  ReaderHandle handle_ = nullptr;
};

struct Figures {
  double wall_us = 0, cpu_us = 0;
  int failures = 0;
};

// One call of the export: wall and thread CPU microseconds, and whether it failed.
struct Sample {
  double wall_us, cpu_us;
  bool failed;
};

template <typename Call>
Sample Timed(Call&& call) {
  const double wall = NowUs(), cpu = ThreadCpuUs();
  const bool ok = call();
  const double cpu_used = ThreadCpuUs() - cpu, wall_used = NowUs() - wall;
  return {wall_used, cpu_used, !ok};
}

// Medians after 3 warm-up samples.
class Samples {
 public:
  void Add(int i, const Sample& sample) {
    if (sample.failed) ++failures_;
    if (i < 3) return;
    walls_.push_back(sample.wall_us);
    cpus_.push_back(sample.cpu_us);
  }
  Figures Get() const { return {Median(walls_), Median(cpus_), failures_}; }

 private:
  std::vector<double> walls_, cpus_;
  int failures_ = 0;
};

Figures Measure(ReaderHandle reader, const Exchange& exchange, int iterations) {
  Samples samples;
  for (int i = 0; i < iterations + 3; ++i) {
    samples.Add(i, Timed([&] { return exchange.call(reader) == 0; }));
  }
  return samples.Get();
}

// ---- the same exchange as bare system calls ---------------------------------------------------

// The least any implementation pays on this machine: purge, write, sleep 10 ms, read 3, read
// L+2, straight on the descriptor, nothing else. What the library costs on top shows here.
bool ReadExactly(int fd, std::uint8_t* buffer, std::size_t count) {
  std::size_t got = 0;
  while (got < count) {
    const ssize_t n = ::read(fd, buffer + got, count - got);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
      continue;
    }
    pollfd entry{fd, POLLIN, 0};
    if (n == 0 || ::poll(&entry, 1, 1000) <= 0) return false;
  }
  return true;
}

class BareExchange {
 public:
  BareExchange(const Exchange& exchange, const std::string& port)
      : fd_(::open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
    frame_.push_back(0x02);
    frame_.push_back(0x00);
    frame_.push_back(static_cast<std::uint8_t>(exchange.request.size()));
    for (std::uint8_t byte : exchange.request) frame_.push_back(byte);
    unsigned sum = 0;
    for (std::size_t i = 1; i < frame_.size(); ++i) sum += frame_[i];
    frame_.push_back(static_cast<std::uint8_t>(sum));
    frame_.push_back(0x03);
  }
  ~BareExchange() { ::close(fd_); }
  BareExchange(const BareExchange&) = delete;
  BareExchange& operator=(const BareExchange&) = delete;

  bool operator()() {
    ::tcflush(fd_, TCOFLUSH);
    ::tcflush(fd_, TCIFLUSH);
    const bool ok =
        ::write(fd_, frame_.data(), frame_.size()) == static_cast<ssize_t>(frame_.size());
    const timespec pause{0, 10'000'000};
    ::clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, nullptr);
    return ok && ReadExactly(fd_, answer_, 3) &&
           ReadExactly(fd_, answer_ + 3,
                       (static_cast<std::size_t>(answer_[1]) << 8 | answer_[2]) + 2);
  }

 private:
  int fd_;
  Bytes frame_;
  std::uint8_t answer_[300];
};

// The library and the bare system calls, one exchange each in turn, each against its own reader.
std::pair<Figures, Figures> MeasureWithBare(const Exchange& exchange, bool paced, int iterations) {
  Reader library_reader(exchange.answer, paced);
  Reader bare_reader(exchange.answer, paced);
  bare_reader.CloseHandle();
  BareExchange bare(exchange, bare_reader.port());
  Samples library_samples, bare_samples;
  const auto library = [&] { return exchange.call(library_reader.handle()) == 0; };
  for (int i = 0; i < iterations + 3; ++i) {
    // Each goes first every other time, so that neither always follows the other.
    if (i % 2 == 0) library_samples.Add(i, Timed(library));
    bare_samples.Add(i, Timed(bare));
    if (i % 2 != 0) library_samples.Add(i, Timed(library));
  }
  return {library_samples.Get(), bare_samples.Get()};
}

// ---- pyserial ----------------------------------------------------------------------------------

std::optional<double> JsonNumber(const std::string& json, const std::string& key) {
  const auto at = json.find("\"" + key + "\":");
  if (at == std::string::npos) return std::nullopt;
  return std::strtod(json.c_str() + at + key.size() + 3, nullptr);
}

std::optional<Figures> RunPyserial(const Exchange& exchange, bool paced, int iterations) {
  Reader reader(exchange.answer, paced);
  reader.CloseHandle();  // the port is Python's now
  const char* python = std::getenv("VORLEX_PYTHON");
  const std::string command = std::string(python ? python : "/usr/bin/python3") + " " +
                              VORLEX_PYSERIAL_SCRIPT + " " + reader.port() + " " +
                              std::to_string(iterations) + " " + Hex(exchange.request);
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string output;
  char chunk[512];
  while (std::fgets(chunk, sizeof chunk, pipe) != nullptr) output += chunk;
  if (pclose(pipe) != 0) return std::nullopt;
  const auto wall = JsonNumber(output, "median_wall_us");
  const auto cpu = JsonNumber(output, "median_cpu_us");
  const auto failures = JsonNumber(output, "failures");
  if (!wall || !cpu) return std::nullopt;
  return Figures{*wall, *cpu, static_cast<int>(failures.value_or(0))};
}

// ---- report ------------------------------------------------------------------------------------

std::vector<std::string> misses;

const char* Verdict(bool met, const std::string& what) {
  if (!met) misses.push_back(what);
  return met ? "ok" : "MISSED";
}

void PrintMachine() {
  std::string model = "unknown CPU";
  std::ifstream cpuinfo("/proc/cpuinfo");
  for (std::string line; std::getline(cpuinfo, line);) {
    if (line.rfind("model name", 0) == 0) {
      model = line.substr(line.find(':') + 2);
      break;
    }
  }
  utsname system{};
  uname(&system);
  std::printf("machine: %s, %u hardware threads, %s %s\n", model.c_str(),
              std::thread::hardware_concurrency(), system.sysname, system.release);
}

void SingleReader(int iterations, bool python, std::vector<double>& paced_single_us) {
  std::printf("\n== One reader, one exchange after another (median of %d) ==\n", iterations);
  std::printf("%-26s %-8s %9s %9s %7s %7s | %8s %7s | %8s %8s | %11s %11s\n", "exchange", "reader",
              "wall ms", "floor ms", "/floor", "CPU us", "bare ms", "bare us", "wall/bare",
              "CPU/bare", "pyserial ms", "pyserial us");
  for (const Exchange& exchange : Exchanges()) {
    for (bool paced : {false, true}) {
      const auto [figures, bare] = MeasureWithBare(exchange, paced, iterations);
      if (paced) paced_single_us.push_back(figures.wall_us);
      const double floor_ratio = figures.wall_us / exchange.floor_us();
      const double wall_ratio = figures.wall_us / bare.wall_us;
      const double cpu_ratio = figures.cpu_us / bare.cpu_us;
      const std::string what = std::string(exchange.name) + (paced ? " paced" : " instant");
      std::string py = "-", py_cpu = "-";
      if (python) {
        if (const auto py_figures = RunPyserial(exchange, paced, iterations)) {
          char text[64];
          std::snprintf(text, sizeof text, "%.2f", py_figures->wall_us / 1000);
          py = text;
          std::snprintf(text, sizeof text, "%.0f", py_figures->cpu_us);
          py_cpu = text;
          Verdict(figures.wall_us < py_figures->wall_us, what + ": faster than pyserial");
          Verdict(figures.cpu_us < py_figures->cpu_us, what + ": less CPU than pyserial");
          if (py_figures->failures) py += "(!)";
        } else {
          py = "failed";
        }
      }
      std::printf(
          "%-26s %-8s %9.3f %9.3f %7.4f %7.1f | %8.3f %7.1f | %9.4f %8.3f | %11s %11s  wall %s, "
          "CPU %s%s\n",
          exchange.name, paced ? "115200" : "instant", figures.wall_us / 1000,
          exchange.floor_us() / 1000, floor_ratio, figures.cpu_us, bare.wall_us / 1000, bare.cpu_us,
          wall_ratio, cpu_ratio, py.c_str(), py_cpu.c_str(),
          Verdict(wall_ratio <= kMaxWallOverBare, what + ": wall <= 1.005 x bare wall"),
          Verdict(cpu_ratio <= kMaxCpuOverBare, what + ": CPU <= 1.10 x bare CPU"),
          figures.failures + bare.failures ? " FAILURES" : "");
    }
  }
}

void SilentReader() {
  std::printf("\n== A silent reader: three attempts, each waiting out its 3-byte read ==\n");
  Reader reader;
  const Exchange exchange = Exchanges()[2];
  for (int run = 0; run < 2; ++run) {
    const double wall = NowUs(), cpu = ThreadCpuUs();
    const int result = exchange.call(reader.handle());
    const double cpu_used = ThreadCpuUs() - cpu, wall_used = NowUs() - wall;
    std::printf("GET_HARDWARE_VER: result %d after %.3f s, CPU %.0f us  %s\n", result,
                wall_used / 1e6, cpu_used,
                Verdict(cpu_used <= kMaxCpuUsPerTimeout, "silent reader: CPU <= 5 ms"));
  }
}

void MifareDump(int runs) {
  std::printf("\n== Mifare 1K dump: 16 x (MIFS_AUTH + 4 x MIFS_READ), reader at 115200 ==\n");
  const Bytes block = Ok(16);
  Reader reader(
      [block](const ParsedFrame& request) {
        return request.payload.size() > 1 && request.payload[1] == 0x04 ? Reply::Answer(block)
                                                                        : Reply::Status(0);
      },
      true);
  // AUTH: 10-byte request, 2-byte answer; READ: 4-byte request, 18-byte answer.
  const double floor_us = 16 * (FloorUs(10, 2) + 4 * FloorUs(4, 18));
  std::vector<double> walls, cpus;
  int failures = 0;
  for (int run = 0; run < runs; ++run) {
    const double wall = NowUs(), cpu = ThreadCpuUs();
    char message[VORLEX_MESSAGE_SIZE], data[33];
    for (int sector = 0; sector < 16; ++sector) {
      failures += MIFS_AUTH(reader.handle(), sector, 0, "FFFFFFFFFFFF", message) != 0;
      for (int b = 0; b < 4; ++b)
        failures += MIFS_READ(reader.handle(), sector, b, data, message) != 0;
    }
    walls.push_back(NowUs() - wall);
    cpus.push_back(ThreadCpuUs() - cpu);
  }
  const double ratio = Median(walls) / floor_us;
  std::printf(
      "median of %d dumps: %.1f ms, floor %.1f ms, ratio %.4f, CPU %.0f us (%.1f us per "
      "exchange)%s\n",
      runs, Median(walls) / 1000, floor_us / 1000, ratio, Median(cpus), Median(cpus) / 80,
      failures ? " FAILURES" : "");
}

void SixteenReaders(int iterations, double single_us) {
  constexpr int kReaders = 16;
  std::printf("\n== %d readers on %d threads at once, REQ_14443_CARD at 115200 ==\n", kReaders,
              kReaders);
  const Exchange exchange = Exchanges()[0];
  std::vector<std::unique_ptr<Reader>> readers;
  for (int i = 0; i < kReaders; ++i) {
    readers.push_back(std::make_unique<Reader>(exchange.answer, true));
  }
  std::vector<Figures> figures(kReaders);
  std::latch start(kReaders);
  std::vector<std::thread> threads;
  for (int i = 0; i < kReaders; ++i) {
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      figures[i] = Measure(readers[i]->handle(), exchange, iterations);
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::vector<double> ratios;
  int failures = 0;
  for (const Figures& f : figures) {
    ratios.push_back(f.wall_us / single_us);
    failures += f.failures;
  }
  const double worst = *std::max_element(ratios.begin(), ratios.end());
  std::printf(
      "single reader %.3f ms; per reader: median %.3f ms, worst %.3f ms; ratio median "
      "%.4f, worst %.4f%s  %s\n",
      single_us / 1000, Median(ratios) * single_us / 1000, worst * single_us / 1000, Median(ratios),
      worst, failures ? " FAILURES" : "",
      Verdict(worst <= kMaxParallelRatio, "16 readers: each <= 1.05 x single"));
}

}  // namespace

int main(int argc, char** argv) {
  int iterations = 100;
  bool python = true;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--iterations") == 0 && i + 1 < argc) {
      iterations = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--no-python") == 0) {
      python = false;
    } else {
      std::fprintf(stderr, "usage: %s [--iterations N] [--no-python]\n", argv[0]);
      return 2;
    }
  }
  PrintMachine();
  std::printf(
      "floor = max(10 ms, (request + answer frame bytes) x 86.8 us); engine pacing %lld "
      "ns a byte\n",
      static_cast<long long>(kEnginePacing.count()));
  std::vector<double> paced_single_us;
  SingleReader(iterations, python, paced_single_us);
  SilentReader();
  MifareDump(5);
  SixteenReaders(iterations / 2 + 1, paced_single_us.front());
  std::printf("\n%s\n", misses.empty() ? "All targets met." : "Targets missed:");
  for (const std::string& miss : misses) std::printf("  %s\n", miss.c_str());
  return 0;
}
