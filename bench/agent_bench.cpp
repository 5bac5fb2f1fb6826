// vorlex-agent's figures, side by side in one run (BENCHMARKS.md, "The agent"):
//  1. card.request through the agent (a WebSocket client here, Boost.Beast) against
//     REQ_14443_CARD through the library, on the same simulated reader at line speed;
//  2. four readers in parallel against one (the same calls, four clients);
//  3. the idle cost of 1,000 open connections: the agent's CPU a second and resident memory;
//  4. event latency: `vorlex-sim ctl remove|insert` to the card.absent|card.present
//     notification.
// Usage: vorlex_agent_bench [--iterations N] [--connections N]
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "vorlex_display.h"

extern char** environ;

namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;
using json = nlohmann::json;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

pid_t Spawn(const std::vector<std::string>& words, const std::string& out = "/dev/null") {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> argv;
  for (const std::string& word : words) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
    std::cerr << "cannot start " << words[0] << "\n";
    std::exit(1);
  }
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

void Stop(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);
}

bool WaitFor(const std::filesystem::path& path) {
  for (int i = 0; i < 200; ++i) {
    std::error_code error;
    if (std::filesystem::exists(path, error) && std::filesystem::file_size(path, error) > 0) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return false;
}

struct Programs {
  std::string sim, agent;
};

// Simulators (at line speed) and an agent over them, gone with this object.
class Setup {
 public:
  Setup(const Programs& programs, const std::filesystem::path& folder, int readers)
      : programs_(programs), folder_(folder) {
    json config = {
        {"listen", "127.0.0.1:0"},
        {"token_file", (folder / "token").string()},
        {"limits",
         {{"max_connections", 2000}, {"calls_per_second", 100000}, {"max_pending_calls", 1000}}},
        {"readers", json::array()}};
    for (int i = 0; i < readers; ++i) {
      const auto link = folder / ("r" + std::to_string(i));
      links_.push_back(link.string());
      sims_.push_back(Spawn({programs.sim, "--link", link.string(), "--pace"}));
      config["readers"].push_back({{"id", "r" + std::to_string(i)},
                                   {"port", link.string()},
                                   {"edition", "display"},
                                   {"journal", (folder / ("j" + std::to_string(i))).string()}});
    }
    for (const std::string& link : links_) {
      for (int t = 0; t < 200 && !std::filesystem::is_symlink(link); ++t) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
      }
    }
    std::ofstream(folder / "agent.json") << config.dump(2);
  }
  void StartAgent() {
    const auto urls = folder_ / "urls";
    agent_ = Spawn({programs_.agent, "--config", (folder_ / "agent.json").string()}, urls.string());
    if (!WaitFor(urls)) {
      std::cerr << "the agent did not start\n";
      std::exit(1);
    }
    std::ifstream file(urls);
    std::string url;
    std::getline(file, url);
    port_ = url.substr(url.rfind(':') + 1);
    port_.pop_back();  // the trailing '/'
    std::ifstream(folder_ / "token") >> token_;
  }
  ~Setup() {
    Stop(agent_);
    for (pid_t pid : sims_) Stop(pid);
  }
  const std::vector<std::string>& links() const { return links_; }
  const std::string& port() const { return port_; }
  const std::string& token() const { return token_; }
  pid_t agent() const { return agent_; }

 private:
  Programs programs_;
  std::filesystem::path folder_;
  std::vector<std::string> links_;
  std::vector<pid_t> sims_;
  pid_t agent_ = -1;
  std::string port_, token_;
};

class Client {
 public:
  Client(net::io_context& io, const Setup& setup) : ws_(io) {
    tcp::resolver resolver(io);
    net::connect(ws_.next_layer(), resolver.resolve("127.0.0.1", setup.port()));
    const std::string token = setup.token();
    ws_.set_option(websocket::stream_base::decorator([token](websocket::request_type& request) {
      request.set(beast::http::field::authorization, "Bearer " + token);
    }));
    ws_.handshake("127.0.0.1:" + setup.port(), "/");
    ws_.text(true);
  }
  json Call(const std::string& method, const json& params) {
    ws_.write(net::buffer(
        json{{"jsonrpc", "2.0"}, {"id", ++id_}, {"method", method}, {"params", params}}.dump()));
    for (;;) {
      json message = Read();
      if (message.contains("id") && message["id"] == id_) return message;
    }
  }
  json Read() {
    beast::flat_buffer buffer;
    ws_.read(buffer);
    return json::parse(beast::buffers_to_string(buffer.data()));
  }

 private:
  websocket::stream<tcp::socket> ws_;
  int id_ = 0;
};

struct ProcessUsage {
  double cpu_seconds;
  long rss_kib;
};

// CPU time of every thread of `pid` (schedstat: nanoseconds, not clock ticks) and its RSS.
ProcessUsage Usage(pid_t pid) {
  const std::filesystem::path process = "/proc/" + std::to_string(pid);
  double cpu = 0;
  for (const auto& task : std::filesystem::directory_iterator(process / "task")) {
    std::ifstream schedstat(task.path() / "schedstat");
    unsigned long long ns = 0;
    schedstat >> ns;
    cpu += static_cast<double>(ns) / 1e9;
  }
  long rss = 0;
  std::ifstream status(process / "status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) rss = std::stol(line.substr(6));
  }
  return {cpu, rss};
}

double AgentCalls(const Setup& setup, const std::string& reader, int n) {
  net::io_context io;
  Client client(io, setup);
  std::vector<double> walls;
  for (int i = 0; i < n + 3; ++i) {
    const auto started = Clock::now();
    const json answer = client.Call("card.request", {{"reader", reader}, {"wake_all", true}});
    if (!answer.contains("result")) {
      std::cerr << "card.request: " << answer.dump() << "\n";
      std::exit(1);
    }
    if (i >= 3) walls.push_back(Ms(Clock::now() - started));
  }
  return Median(walls);
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  int iterations = 100, connections = 1000;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::string(argv[i]) == "--iterations") iterations = std::atoi(argv[i + 1]);
    if (std::string(argv[i]) == "--connections") connections = std::atoi(argv[i + 1]);
  }
  rlimit files{};
  ::getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;  // 1,000 connections: both ends in this machine
  ::setrlimit(RLIMIT_NOFILE, &files);
  const std::filesystem::path bin = std::filesystem::path(VORLEX_BIN_DIR);
  const Programs programs{(bin / "vorlex-sim").string(), (bin / "vorlex-agent").string()};
  char pattern[] = "/tmp/vorlex-agent-bench-XXXXXX";
  const std::filesystem::path folder = ::mkdtemp(pattern);

  std::printf("vorlex-agent against the library, simulated readers at line speed (--pace)\n\n");
  {
    std::filesystem::create_directories(folder / "one");
    Setup setup(programs, folder / "one", 1);
    // 1. The library alone on the reader, then the agent on it.
    std::vector<double> library;
    ReaderHandle reader = Open_Reader(setup.links()[0].c_str());
    char atqa[8], uid[16], message[VORLEX_MESSAGE_SIZE];
    for (int i = 0; i < iterations + 3; ++i) {
      const auto started = Clock::now();
      if (REQ_14443_CARD(reader, 1, atqa, uid, message) != 0) {
        std::fprintf(stderr, "REQ_14443_CARD failed\n");
        return 1;
      }
      if (i >= 3) library.push_back(Ms(Clock::now() - started));
    }
    Close_Reader(reader);
    setup.StartAgent();
    const double agent = AgentCalls(setup, "r0", iterations);
    const double lib = Median(library);
    std::printf("| operation | library ms | agent ms | agent / library | target |\n");
    std::printf("| --- | ---: | ---: | ---: | --- |\n");
    std::printf(
        "| card request (REQ_14443_CARD / card.request), median of %d | %.3f | %.3f | %.4f | <= "
        "1.03 |\n\n",
        iterations, lib, agent, agent / lib);

    // 4. Event latency, on the same agent.
    net::io_context io;
    Client client(io, setup);
    client.Call("card.halt", {{"reader", "r0"}});
    client.Call("events.subscribe", {{"reader", "r0"}});
    std::vector<double> latencies;
    for (int i = 0; i < 10; ++i) {
      const char* word = i % 2 == 0 ? "remove" : "insert";
      const std::string wanted = i % 2 == 0 ? "card.absent" : "card.present";
      const auto started = Clock::now();
      int status = 0;
      ::waitpid(Spawn({programs.sim, "ctl", "--link", setup.links()[0], word}), &status, 0);
      if (status != 0) {
        std::fprintf(stderr, "vorlex-sim ctl %s failed (%d)\n", word, status);
        return 1;
      }
      for (;;) {
        const json event = client.Read();

        if (event.value("method", "") == wanted) break;
      }
      latencies.push_back(Ms(Clock::now() - started));
    }
    std::sort(latencies.begin(), latencies.end());
    std::printf("| event latency, 10 events, poll 250 ms | median ms | min ms | max ms |\n");
    std::printf("| --- | ---: | ---: | ---: |\n");
    std::printf(
        "| vorlex-sim ctl remove/insert -> card.absent/card.present | %.0f | %.0f | %.0f |\n\n",
        Median(latencies), latencies.front(), latencies.back());

    // 3. The idle cost of open connections.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const ProcessUsage before = Usage(setup.agent());
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const ProcessUsage idle = Usage(setup.agent());
    std::vector<std::unique_ptr<Client>> open;
    for (int i = 0; i < connections; ++i) open.push_back(std::make_unique<Client>(io, setup));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const ProcessUsage loaded = Usage(setup.agent());
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const ProcessUsage after = Usage(setup.agent());
    std::printf(
        "| agent, idle, one reader polled | CPU ms a second | RSS MiB |\n| --- | ---: | ---: |\n");
    std::printf("| no connections | %.3f | %.1f |\n",
                (idle.cpu_seconds - before.cpu_seconds) * 1000 / 5,
                static_cast<double>(idle.rss_kib) / 1024);
    std::printf("| %d open connections | %.3f | %.1f |\n\n", connections,
                (after.cpu_seconds - loaded.cpu_seconds) * 1000 / 5,
                static_cast<double>(after.rss_kib) / 1024);
  }
  {
    // 2. Four readers in parallel against one.
    std::filesystem::create_directories(folder / "four");
    Setup setup(programs, folder / "four", 4);
    setup.StartAgent();
    const auto started_one = Clock::now();
    AgentCalls(setup, "r0", iterations);
    const double one = Ms(Clock::now() - started_one);
    std::vector<std::thread> threads;
    const auto started_four = Clock::now();
    for (int r = 0; r < 4; ++r) {
      threads.emplace_back(
          [&setup, r, iterations] { AgentCalls(setup, "r" + std::to_string(r), iterations); });
    }
    for (std::thread& thread : threads) thread.join();
    const double four = Ms(Clock::now() - started_four);
    std::printf(
        "| %d card requests on each reader | wall ms | calls a second | wall / one reader's |\n",
        iterations + 3);
    std::printf("| --- | ---: | ---: | ---: |\n");
    std::printf("| one reader | %.0f | %.0f | 1.00 |\n", one, (iterations + 3) * 1000 / one);
    std::printf("| four readers in parallel | %.0f | %.0f | %.2f |\n", four,
                4 * (iterations + 3) * 1000 / four, four / one);
  }
  std::filesystem::remove_all(folder);
  return 0;
}
