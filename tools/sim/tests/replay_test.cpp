// The replay of a tap recording, request by request.
#include "replay.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace vorlex::sim {
namespace {

using engine::Bytes;
using engine::EncodeFrame;

std::string WriteFile(const std::string& text) {
  const std::string path = testing::TempDir() + "replay_" + std::to_string(::getpid()) + ".jsonl";
  std::ofstream(path) << text;
  return path;
}

engine::ParsedFrame Frame(const Bytes& payload) {
  const Bytes raw = EncodeFrame(payload);
  return {payload, raw, true};
}

// Two exchanges: a version request answered by junk and then a frame, and a beep left unanswered.
constexpr char kRecording[] =
    R"({"event":"host_open","t_us":0}
{"t_us":10,"end_us":11,"from":"reader","kind":"junk","raw":"FF"}
{"t_us":100,"end_us":106,"from":"host","kind":"frame","raw":"020002FF010203"}
{"t_us":1100,"end_us":1100,"from":"reader","kind":"junk","raw":"00"}
{"t_us":1200,"end_us":1206,"from":"reader","kind":"frame","raw":"02000290009203"}
{"t_us":5000,"end_us":5008,"from":"host","kind":"frame","raw":"020004010300646C03"}
{"event":"summary","frames_from_host":2}
)";

TEST(Replay, MatchesInOrderAndPlaysWhatFollowed) {
  const std::vector<RecordedExchange> recording = LoadRecording(WriteFile(kRecording));
  ASSERT_EQ(recording.size(), 2u);
  const Bytes version{0xFF, 0x01}, beep{0x01, 0x03, 0x00, 0x64}, other{0xFF, 0x02};
  const Bytes answer{0x00, 0x02, 0x00, 0x02, 0x90, 0x00, 0x92, 0x03};
  const struct {
    const char* name;
    bool strict;
    std::vector<Bytes> requests;
    std::vector<Bytes> replies;  // bytes sent for each request
    std::size_t mismatches;
    std::string report;  // a piece of the first report
  } cases[] = {
      {"as recorded", false, {version, beep}, {answer, {}}, 0, ""},
      {"a changed request is skipped, the right one still plays",
       false,
       {other, version, beep},
       {{}, answer, {}},
       1,
       "request 1 differs from recorded request 1 at byte 4: got 02, recorded 01"},
      {"strict: nothing after the first mismatch",
       true,
       {other, version},
       {{}, {}},
       1,
       "recorded: GET_HARDWARE_VER (FF 01)"},
      {"past the end", false, {version, beep, beep}, {answer, {}, {}}, 1, "after the last"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> reports;
    int stops = 0;
    Replay replay(
        recording, {.timing = false, .strict = c.strict},
        [&](const std::string& line) { reports.push_back(line); }, [&] { ++stops; });
    for (std::size_t i = 0; i < c.requests.size(); ++i) {
      EXPECT_EQ(replay.Answer(Frame(c.requests[i])).bytes, c.replies[i]) << c.name << " #" << i;
    }
    EXPECT_EQ(replay.mismatches(), c.mismatches) << c.name;
    EXPECT_EQ(stops, c.strict ? 1 : 0) << c.name;
    if (c.mismatches > 0) {
      ASSERT_FALSE(reports.empty()) << c.name;
      EXPECT_NE(reports[0].find(c.report), std::string::npos) << c.name << ": " << reports[0];
    }
  }
}

TEST(Replay, TimingFromTheRecording) {
  Replay replay(LoadRecording(WriteFile(kRecording)), {.timing = true, .strict = false}, {});
  const engine::Reply reply = replay.Answer(Frame({0xFF, 0x01}));
  EXPECT_EQ(reply.delay.count(), 1100 - 106);
  ASSERT_TRUE(reply.per_byte.has_value());
  EXPECT_EQ(reply.per_byte->count(), (1206 - 1100) * 1000 / 7);
}

TEST(Replay, BadFilesNameTheLine) {
  const struct {
    const char* text;
    const char* error;
  } cases[] = {
      {"{\"from\":\"host\",\"raw\":\"0200\"}\nnot json\n", ":2: not a JSON object"},
      {"{\"from\":\"nobody\",\"raw\":\"00\"}\n", ":1: \"from\""},
      {"{\"from\":\"host\",\"raw\":\"0G\"}\n", ":1: \"raw\""},
      {"{\"from\":\"host\",\"raw\":\"\"}\n", ":1: \"raw\""},
      {"{\"from\":\"host\",\"raw\":\"00\",\"t_us\":\"soon\"}\n", ":1: \"t_us\""},
      {"{\"from\":\"host\",\"raw\":\"00\",\"end_us\":-9223372036854775807}\n", ":1: \"end_us\""},
  };
  for (const auto& c : cases) {
    try {
      LoadRecording(WriteFile(c.text));
      ADD_FAILURE() << c.text;
    } catch (const std::runtime_error& error) {
      EXPECT_NE(std::string(error.what()).find(c.error), std::string::npos) << error.what();
    }
  }
  EXPECT_THROW(LoadRecording("/nonexistent/recording.jsonl"), std::runtime_error);
}

}  // namespace
}  // namespace vorlex::sim
