#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "reader_frame.h"
#include "scripted_reader.h"

namespace vorlex::engine {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(EncodeFrame, KnownFrames) {
  const Bytes max_payload(kMaxPayload, 0xFF);
  const struct {
    Bytes payload, frame;
  } cases[] = {
      {{0xFF, 0x01}, {0x02, 0x00, 0x02, 0xFF, 0x01, 0x02, 0x03}},
      {{0x01, 0x03, 0x00, 0x64}, {0x02, 0x00, 0x04, 0x01, 0x03, 0x00, 0x64, 0x6C, 0x03}},
      {{}, {0x02, 0x00, 0x00, 0x00, 0x03}},
      {{0x02, 0x03}, {0x02, 0x00, 0x02, 0x02, 0x03, 0x07, 0x03}},
      // L = 0x127: the high length byte counts in the checksum.
      {max_payload, Cat(Cat({0x02, 0x01, 0x27}, max_payload), {0x01, 0x03})},
  };
  for (const auto& c : cases) EXPECT_EQ(EncodeFrame(c.payload), c.frame);
  EXPECT_THROW(EncodeFrame(Bytes(kMaxPayload + 1)), std::length_error);
}

struct ParserCase {
  const char* name;
  Bytes stream;
  std::vector<Bytes> payloads;
  std::vector<bool> checksum_ok;
  size_t discarded;
};

std::vector<ParserCase> ParserCases() {
  const Bytes a = EncodeFrame(Bytes{0xFF, 0x01});
  const Bytes b = EncodeFrame(Bytes{0x01, 0x03, 0x00, 0x64});
  return {
      {"garbage before STX", Cat({0x00, 0xFF, 0x03, 0x13}, a), {{0xFF, 0x01}}, {true}, 4},
      {"STX and ETX inside payload",
       EncodeFrame(Bytes{0x02, 0x03, 0x02, 0x03}),
       {{0x02, 0x03, 0x02, 0x03}},
       {true},
       0},
      {"back to back", Cat(a, b), {{0xFF, 0x01}, {0x01, 0x03, 0x00, 0x64}}, {true, true}, 0},
      {"wrong ETX then good frame",
       Cat({0x02, 0x00, 0x02, 0xFF, 0x01, 0x02, 0x04}, b),
       {{0x01, 0x03, 0x00, 0x64}},
       {true},
       7},
      {"wrong ETX hides a frame",
       Cat(Cat({0x02, 0x00, 0x07}, a), {0x09, 0x04}),
       {{0xFF, 0x01}},
       {true},
       5},
      {"bad checksum is flagged",
       {0x02, 0x00, 0x02, 0xFF, 0x01, 0x05, 0x03},
       {{0xFF, 0x01}},
       {false},
       0},
      {"length over 295 skipped", Cat({0x02, 0x01, 0x28}, a), {{0xFF, 0x01}}, {true}, 3},
      {"empty payload", {0x02, 0x00, 0x00, 0x00, 0x03}, {{}}, {true}, 0},
      {"incomplete frame waits", Bytes(a.begin(), a.end() - 1), {}, {}, 0},
  };
}

void ExpectFrames(FrameParser& parser, const ParserCase& c, const std::string& how) {
  SCOPED_TRACE(std::string(c.name) + ", " + how);
  for (size_t i = 0; i < c.payloads.size(); ++i) {
    auto frame = parser.Next();
    ASSERT_TRUE(frame.has_value()) << "frame " << i;
    EXPECT_EQ(frame->payload, c.payloads[i]);
    EXPECT_EQ(frame->checksum_ok, c.checksum_ok[i]);
    if (frame->checksum_ok) {
      EXPECT_EQ(frame->raw, EncodeFrame(frame->payload));
    }
    ASSERT_EQ(frame->raw.size(), frame->payload.size() + kFrameOverhead);
    EXPECT_EQ(Bytes(frame->raw.begin() + 3, frame->raw.end() - 2), frame->payload);
  }
  EXPECT_FALSE(parser.Next().has_value());
  EXPECT_EQ(parser.discarded(), c.discarded);
}

TEST(FrameParser, WholeByteWiseAndEverySplit) {
  for (const ParserCase& c : ParserCases()) {
    FrameParser whole;
    whole.Feed(c.stream);
    ExpectFrames(whole, c, "whole");

    FrameParser bytewise;
    for (uint8_t byte : c.stream) bytewise.Feed(std::span(&byte, 1));
    ExpectFrames(bytewise, c, "byte by byte");

    for (size_t cut = 1; cut < c.stream.size(); ++cut) {
      FrameParser split;
      split.Feed(std::span(c.stream).first(cut));
      split.Feed(std::span(c.stream).subspan(cut));
      ExpectFrames(split, c, "split at " + std::to_string(cut));
    }
  }
}

TEST(FrameParser, MemoryStaysBoundedOnNoise) {
  FrameParser parser;
  parser.Feed(Bytes(100000, 0x55));
  EXPECT_EQ(parser.buffered(), 0u);
  EXPECT_EQ(parser.discarded(), 100000u);

  std::mt19937 rng(7);
  for (int i = 0; i < 200000; ++i) {
    const uint8_t byte = static_cast<uint8_t>(rng() % 4 == 0 ? kStx : rng());
    parser.Feed(std::span(&byte, 1));
    ASSERT_LT(parser.buffered(), kMaxPayload + kFrameOverhead);
    while (auto frame = parser.Next()) {
      ASSERT_EQ(frame->raw.size(), frame->payload.size() + kFrameOverhead);
      ASSERT_EQ(frame->raw.front(), kStx);
      ASSERT_EQ(frame->raw.back(), kEtx);
    }
  }
  parser.Reset();
  EXPECT_EQ(parser.buffered(), 0u);
  EXPECT_EQ(parser.discarded(), 0u);
}

// The tap's view of one direction: every byte lands in exactly one event, named by its shape,
// however the stream is cut.
TEST(WireDecoder, EveryByteInOneEventByShape) {
  const Bytes ok{0x90, 0x00};
  const Bytes good = EncodeFrame(ok);
  const struct {
    const char* name;
    Bytes stream;
    std::vector<WireKind> kinds;
  } cases[] = {
      {"frames", Cat(good, Reply::BadChecksum(ok).bytes), {WireKind::kFrame, WireKind::kFrame}},
      {"junk then a frame", Cat({0x00, 0xFF}, good), {WireKind::kJunk, WireKind::kFrame}},
      {"bad STX", Reply::WrongStx(ok).bytes, {WireKind::kBadStx}},
      {"bad STX with an STX inside",
       Reply::WrongStx({0x02, 0x00, 0x01}).bytes,
       {WireKind::kBadStx}},
      {"bad ETX", Reply::WrongEtx(ok).bytes, {WireKind::kBadEtx}},
      {"oversize", Reply::DeclaredLength(400, ok).bytes, {WireKind::kOversize}},
      {"stall", Cat(good, Reply::Truncated(ok, 4).bytes), {WireKind::kFrame, WireKind::kStall}},
  };
  for (const auto& c : cases) {
    for (size_t step : {c.stream.size(), size_t{1}}) {
      WireDecoder decoder;
      for (size_t at = 0; at < c.stream.size(); at += step) {
        decoder.Feed(std::span(c.stream).subspan(at, std::min(step, c.stream.size() - at)),
                     static_cast<int64_t>(at));
      }
      decoder.Flush();
      Bytes joined;
      std::vector<WireKind> kinds;
      while (auto event = decoder.Next()) {
        kinds.push_back(event->kind);
        if (event->kind == WireKind::kFrame) {
          EXPECT_EQ(event->checksum_ok, event->raw != Reply::BadChecksum(ok).bytes) << c.name;
        }
        joined = Cat(joined, event->raw);
        if (step == 1) {
          EXPECT_EQ(event->last_us - event->first_us + 1, event->raw.size()) << c.name;
        }
      }
      EXPECT_EQ(kinds, c.kinds) << c.name << " step " << step;
      EXPECT_EQ(joined, c.stream) << c.name;
      EXPECT_FALSE(decoder.holding());
    }
  }
}

TEST(Reply, BuildersProduceExactBytes) {
  const Bytes p{0xFF, 0x01};
  const struct {
    const char* name;
    Reply reply;
    Bytes bytes;
  } cases[] = {
      {"answer", Reply::Answer({0x90, 0x00}), {0x02, 0x00, 0x02, 0x90, 0x00, 0x92, 0x03}},
      {"status+data",
       Reply::Status(0x9000, {0xAA}),
       {0x02, 0x00, 0x03, 0x90, 0x00, 0xAA, 0x3D, 0x03}},
      {"status", Reply::Status(0x0102), {0x02, 0x00, 0x02, 0x01, 0x02, 0x05, 0x03}},
      {"wrong STX", Reply::WrongStx(p), {0x05, 0x00, 0x02, 0xFF, 0x01, 0x02, 0x03}},
      {"wrong ETX", Reply::WrongEtx(p), {0x02, 0x00, 0x02, 0xFF, 0x01, 0x02, 0x04}},
      {"bad checksum", Reply::BadChecksum(p), {0x02, 0x00, 0x02, 0xFF, 0x01, 0x03, 0x03}},
      {"bad checksum wraps", Reply::BadChecksum({0xFE}), {0x02, 0x00, 0x01, 0xFE, 0x00, 0x03}},
      {"truncated", Reply::Truncated(p, 3), {0x02, 0x00, 0x02}},
      {"truncated past end", Reply::Truncated(p, 99), EncodeFrame(p)},
      {"declared 1", Reply::DeclaredLength(1, {0x90}), {0x02, 0x00, 0x01, 0x90, 0x91, 0x03}},
      {"declared 10",
       Reply::DeclaredLength(10, {0x90, 0x00}),
       {0x02, 0x00, 0x0A, 0x90, 0x00, 0x9A, 0x03}},
      {"declared 296", Reply::DeclaredLength(296, Bytes(296)),
       Cat(Cat({0x02, 0x01, 0x28}, Bytes(296)), {0x29, 0x03})},
      {"trailing", Reply::Trailing(p, {0xAA, 0xBB}), Cat(EncodeFrame(p), {0xAA, 0xBB})},
      {"silence", Reply::Silence(), {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.reply.bytes, c.bytes) << c.name;
    EXPECT_FALSE(c.reply.hang_up) << c.name;
  }
  EXPECT_TRUE(Reply::HangUp().hang_up);
  const Reply r = Reply::Answer(p).Paced(87us).After(5ms).ThenHangUp();
  EXPECT_EQ(r.per_byte, 87us);
  EXPECT_EQ(r.delay, 5ms);
  EXPECT_TRUE(r.hang_up);
}

// The library's side of the line, done the way it does it.
class Host {
 public:
  explicit Host(const std::string& port) : fd_(::open(port.c_str(), O_RDWR | O_NOCTTY)) {
    EXPECT_GE(fd_, 0) << port << ": " << errno;
    termios tio{};
    ::tcgetattr(fd_, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(fd_, TCSANOW, &tio);
  }
  ~Host() { ::close(fd_); }

  void Write(const Bytes& bytes) {
    ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // Up to n bytes, whatever arrives before the timeout or a hang-up.
  Bytes Read(size_t n, std::chrono::milliseconds timeout = 2000ms) {
    Bytes out;
    const auto deadline = Clock::now() + timeout;
    while (out.size() < n && Clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (::poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0) break;
      uint8_t buf[4096];
      const ssize_t got = ::read(fd_, buf, std::min(sizeof buf, n - out.size()));
      if (got <= 0) break;
      out.insert(out.end(), buf, buf + got);
    }
    return out;
  }
  Bytes Transact(const Bytes& payload, size_t answer_size,
                 std::chrono::milliseconds timeout = 2000ms) {
    Write(EncodeFrame(payload));
    return Read(answer_size, timeout);
  }
  // True once the line reports the device gone: POLLHUP, end of file or EIO.
  bool SeesHangUp() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 2000) <= 0) return false;
    if (p.revents & POLLHUP) return true;
    uint8_t byte;
    const ssize_t got = ::read(fd_, &byte, 1);
    return got == 0 || (got < 0 && errno == EIO);
  }

 private:
  int fd_;
};

TEST(ScriptedReader, AnswersAndRecords) {
  ScriptedReader reader;
  EXPECT_EQ(reader.port().rfind("/dev/pts/", 0), 0u) << reader.port();
  reader.Script(Reply::Status(0x9000, {0xAA, 0xBB}));
  Host host(reader.port());
  const Bytes answer = EncodeFrame(Bytes{0x90, 0x00, 0xAA, 0xBB});
  EXPECT_EQ(host.Transact({0xFF, 0x01}, answer.size()), answer);
  EXPECT_EQ(reader.Requests(), (std::vector<Bytes>{{0xFF, 0x01}}));
  EXPECT_EQ(reader.RawRequests(), (std::vector<Bytes>{EncodeFrame(Bytes{0xFF, 0x01})}));
  EXPECT_EQ(reader.PendingReplies(), 0u);
  reader.ClearRecord();
  EXPECT_EQ(reader.RequestCount(), 0u);
  EXPECT_FALSE(reader.WaitForRequests(1, 20ms));
}

TEST(ScriptedReader, OneReplyPerRequestInOrderThenResponder) {
  ScriptedReader reader;
  reader.Script({Reply::Silence(), Reply::Answer({0x01})});
  reader.Script(Reply::WrongEtx({0x02}));
  Host host(reader.port());
  EXPECT_TRUE(host.Transact({0x10}, 1, 150ms).empty());  // the first attempt goes unanswered
  EXPECT_EQ(host.Transact({0x11}, 6), EncodeFrame(Bytes{0x01}));
  EXPECT_EQ(host.Transact({0x12}, 6), Reply::WrongEtx({0x02}).bytes);
  EXPECT_TRUE(host.Transact({0x13}, 1, 150ms).empty());  // no script, no responder: silent

  std::atomic<bool> last_checksum_ok = true;  // written on the serving thread
  reader.SetResponder([&](const ParsedFrame& request) {
    last_checksum_ok = request.checksum_ok;
    return Reply::Answer(Cat({0x90, 0x00}, request.payload));
  });
  EXPECT_EQ(host.Transact({0x14, 0x03}, 9), EncodeFrame(Bytes{0x90, 0x00, 0x14, 0x03}));
  EXPECT_TRUE(last_checksum_ok);
  host.Write({0x02, 0x00, 0x01, 0x15, 0x00, 0x03});  // bad checksum still reaches the responder
  EXPECT_EQ(host.Read(8), EncodeFrame(Bytes{0x90, 0x00, 0x15}));
  EXPECT_FALSE(last_checksum_ok);
  EXPECT_EQ(reader.Requests(),
            (std::vector<Bytes>{{0x10}, {0x11}, {0x12}, {0x13}, {0x14, 0x03}, {0x15}}));
}

TEST(ScriptedReader, SplitWritesGarbageAndBatchedRequests) {
  ScriptedReader reader;
  reader.SetResponder([](const ParsedFrame& r) { return Reply::Answer(r.payload); });
  Host host(reader.port());
  const Bytes frame = EncodeFrame(Bytes{0x02, 0x03, 0x02});
  host.Write({0x00, 0x03, 0xFF});
  host.Write(Bytes(frame.begin(), frame.begin() + 2));
  std::this_thread::sleep_for(20ms);
  host.Write(Bytes(frame.begin() + 2, frame.end()));
  EXPECT_EQ(host.Read(frame.size()), frame);

  const Bytes big(kMaxPayload, 0x03);
  host.Write(Cat(EncodeFrame(Bytes{0x21}), EncodeFrame(big)));
  EXPECT_EQ(host.Read(6 + kMaxPayload + 5), Cat(EncodeFrame(Bytes{0x21}), EncodeFrame(big)));
  EXPECT_EQ(reader.RequestCount(), 3u);
}

TEST(ScriptedReader, HostMayCloseAndReopen) {
  ScriptedReader reader;
  reader.SetResponder([](const ParsedFrame&) { return Reply::Status(0x9000); });
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(Host(reader.port()).Transact({0x01}, 7), EncodeFrame(Bytes{0x90, 0x00})) << round;
    std::this_thread::sleep_for(30ms);  // time for the engine to notice a closed line, if it would
  }
}

TEST(ScriptedReader, HangUps) {
  {  // scripted
    ScriptedReader reader;
    reader.Script(Reply::HangUp());
    Host host(reader.port());
    host.Write(EncodeFrame(Bytes{0x01}));
    EXPECT_TRUE(host.SeesHangUp());
    EXPECT_TRUE(reader.hung_up());
    EXPECT_EQ(reader.RequestCount(), 1u);
    EXPECT_LT(::open(reader.port().c_str(), O_RDWR | O_NOCTTY), 0);  // the device is gone
  }
  {  // mid-answer
    ScriptedReader reader;
    reader.Script(Reply::Truncated({0x90, 0x00}, 4).ThenHangUp());
    Host host(reader.port());
    EXPECT_EQ(host.Transact({0x01}, 7), (Bytes{0x02, 0x00, 0x02, 0x90}));
    EXPECT_TRUE(host.SeesHangUp());
  }
  {  // on demand, while a slow answer is under way
    ScriptedReader reader;
    reader.Script(Reply::Answer({0x90, 0x00}).Paced(10s));
    Host host(reader.port());
    host.Write(EncodeFrame(Bytes{0x01}));
    ASSERT_TRUE(reader.WaitForRequests(1, 2s));
    const auto start = Clock::now();
    reader.HangUpNow();
    reader.HangUpNow();
    EXPECT_LT(Clock::now() - start, 2s);
    EXPECT_TRUE(reader.hung_up());
    EXPECT_TRUE(host.SeesHangUp());
  }
}

TEST(ScriptedReader, PacingAndDelayAreLowerBounds) {
  ScriptedReader reader;
  Host host(reader.port());
  const Bytes answer = EncodeFrame(Bytes(5, 0x77));  // 10 bytes
  const struct {
    const char* name;
    Reply reply;
    std::chrono::microseconds at_least;
  } cases[] = {
      {"paced", Reply::Answer(Bytes(5, 0x77)).Paced(5ms), 45ms},
      {"after", Reply::Answer(Bytes(5, 0x77)).After(80ms), 80ms},
      {"both", Reply::Answer(Bytes(5, 0x77)).After(30ms).Paced(5ms), 75ms},
  };
  for (const auto& c : cases) {
    reader.Script(c.reply);
    const auto start = Clock::now();
    EXPECT_EQ(host.Transact({0x01}, answer.size()), answer) << c.name;
    EXPECT_GE(Clock::now() - start, c.at_least) << c.name;
  }
  // Sub-millisecond pacing: 300 bytes at 115200 baud take about 26 ms.
  const Bytes full = EncodeFrame(Bytes(kMaxPayload, 0x02));
  reader.Script(Reply::Raw(full).Paced(87us));
  const auto start = Clock::now();
  EXPECT_EQ(host.Transact({0x01}, full.size()), full);
  EXPECT_GE(Clock::now() - start, 25ms);

  reader.SetPacing(50ms);  // the default applies unless a reply sets its own
  reader.Script({Reply::Answer(Bytes(5, 0x77)).Paced(0us), Reply::Answer(Bytes(5, 0x77))});
  auto t0 = Clock::now();
  EXPECT_EQ(host.Transact({0x01}, answer.size()), answer);
  EXPECT_LT(Clock::now() - t0, 400ms);
  t0 = Clock::now();
  EXPECT_EQ(host.Transact({0x01}, answer.size()), answer);
  EXPECT_GE(Clock::now() - t0, 450ms);
}

TEST(ScriptedReader, LargeRepliesSurviveAFullLineAndStopIsPrompt) {
  Bytes big(200000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
  {
    ScriptedReader reader;
    reader.Script(Reply::Raw(big));
    Host host(reader.port());
    EXPECT_EQ(host.Transact({0x01}, big.size(), 10s), big);
  }
  // The host never reads: the engine is stuck on a full line and must still stop.
  auto reader = std::make_unique<ScriptedReader>();
  reader->Script(Reply::Raw(big));
  Host host(reader->port());
  host.Write(EncodeFrame(Bytes{0x01}));
  ASSERT_TRUE(reader->WaitForRequests(1, 2s));
  std::this_thread::sleep_for(50ms);
  const auto start = Clock::now();
  reader.reset();
  EXPECT_LT(Clock::now() - start, 2s);
}

}  // namespace
}  // namespace vorlex::engine
