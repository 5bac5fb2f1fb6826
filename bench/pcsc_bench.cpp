// An APDU through pcscd and the driver against the same APDU through the library directly, side
// by side in one run (each goes first every other time), and what an idle reader costs its line.
// Started by bench/pcsc_bench.sh, which sets up two simulators and a private pcscd.
//   vorlex_pcsc_bench READER PORT SIMULATOR LINK [--iterations N] [--idle-seconds S]
// READER: the pcscd slot (served by the simulator at LINK); PORT: the other simulator's pty.
#include <winscard.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "vorlex_display.h"

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The requests the simulator at `link` has answered so far (vorlex-sim ctl stats).
long long Requests(const std::string& simulator, const std::string& link) {
  const std::string command = simulator + " ctl --link '" + link + "' stats";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  long long count = -1;
  if (std::fscanf(pipe, "ok requests %lld", &count) != 1) count = -1;
  pclose(pipe);
  return count;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr,
                 "usage: %s READER PORT SIMULATOR LINK [--iterations N] [--idle-seconds S]\n",
                 argv[0]);
    return 2;
  }
  const std::string reader_name = argv[1], port = argv[2], simulator = argv[3], link = argv[4];
  int iterations = 200, idle_seconds = 10;
  for (int i = 5; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--iterations") == 0) iterations = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--idle-seconds") == 0) idle_seconds = std::atoi(argv[i + 1]);
  }

  SCARDCONTEXT context = 0;
  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS ||
      SCardConnect(context, reader_name.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &card,
                   &protocol) != SCARD_S_SUCCESS) {
    std::fprintf(stderr, "cannot connect to %s through pcscd\n", reader_name.c_str());
    return 1;
  }
  ReaderHandle direct = Open_Reader(port.c_str());
  char atqa[8], uid[16], ats[600], message[VORLEX_MESSAGE_SIZE];
  // The library's side activates the card as the driver did: card request, then ATS.
  if (direct == nullptr || REQ_14443_CARD(direct, 1, atqa, uid, message) != 0 ||
      ATS_14443_CARD(direct, ats, message) != 0) {
    std::fprintf(stderr, "cannot open %s or find its card\n", port.c_str());
    return 1;
  }

  // GET CHALLENGE, 8 bytes: the same request frame on both lines (04 07 00 84 00 00 00 08).
  const BYTE apdu[] = {0x00, 0x84, 0x00, 0x00, 0x08};
  const auto through_pcscd = [&] {
    BYTE response[258];
    DWORD length = sizeof response;
    const auto start = Clock::now();
    const LONG result =
        SCardTransmit(card, SCARD_PCI_T1, apdu, sizeof apdu, nullptr, response, &length);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    return result == SCARD_S_SUCCESS && length == 10 ? ms : -1.0;
  };
  const auto through_library = [&] {
    char reply[600];
    const auto start = Clock::now();
    const int result = CPUCARD_APDU(direct, "0084000008", reply, message);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    return result == 0 && std::strlen(reply) == 20 ? ms : -1.0;
  };
  for (int i = 0; i < 3; ++i) {
    through_pcscd();
    through_library();
  }
  std::vector<double> pcsc, library;
  for (int i = 0; i < iterations; ++i) {
    double a = 0, b = 0;
    if (i % 2 == 0) {
      a = through_pcscd();
      b = through_library();
    } else {
      b = through_library();
      a = through_pcscd();
    }
    if (a < 0 || b < 0) {
      std::fprintf(stderr, "an exchange failed at iteration %d (pcscd %.3f, library %.3f)\n", i, a,
                   b);
      return 1;
    }
    pcsc.push_back(a);
    library.push_back(b);
  }
  const double pcsc_ms = Median(pcsc), library_ms = Median(library);
  std::printf(
      "APDU 00 84 00 00 08 (GET CHALLENGE), median of %d, each side first every other time\n",
      iterations);
  std::printf("| path | wall ms |\n| --- | ---: |\n");
  std::printf("| SCardTransmit -> pcscd -> libifdvorlex | %.3f |\n", pcsc_ms);
  std::printf("| CPUCARD_APDU (library) | %.3f |\n", library_ms);
  std::printf("ratio pcscd+driver / library: %.4f (target <= 1.02)\n", pcsc_ms / library_ms);
  Close_Reader(direct);

  // Idle: nobody connected; pcscd powers the card down after its grace period, then only the
  // presence probes touch the line.
  SCardDisconnect(card, SCARD_LEAVE_CARD);
  SCardReleaseContext(context);
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const long long before = Requests(simulator, link);
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(idle_seconds));
  const long long after = Requests(simulator, link);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (before < 0 || after < 0) {
    std::fprintf(stderr, "cannot read the simulator's request count\n");
    return 1;
  }
  std::printf(
      "idle line cost, card in the field and SAMs and RF-SIM present, nobody connected: "
      "%.2f exchanges a second (%lld in %.1f s)\n",
      static_cast<double>(after - before) / seconds, after - before, seconds);
  return 0;
}
