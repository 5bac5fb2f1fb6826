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
        recording, {.timing = false, .strict = c.strict, .vary = {}},
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
  Replay replay(LoadRecording(WriteFile(kRecording)), {.timing = true, .strict = false, .vary = {}},
                {});
  const engine::Reply reply = replay.Answer(Frame({0xFF, 0x01}));
  EXPECT_EQ(reply.delay.count(), 1100 - 106);
  ASSERT_TRUE(reply.per_byte.has_value());
  EXPECT_EQ(reply.per_byte->count(), (1206 - 1100) * 1000 / 7);
}

// A recorded purchase search replays with another date and time when those bytes may vary; the
// difference is shown, and any other byte still mismatches.
TEST(Replay, BytesThatMayVary) {
  const Bytes search{0xFE, 0x02, 0x00, 0x00, 0x00, 0x00, 0x05,
                     0x20, 0x26, 0x12, 0x09, 0x01, 0x02, 0x03};
  const std::string recording = R"({"t_us":1,"end_us":2,"from":"host","kind":"frame","raw":")" +
                                engine::HexText(EncodeFrame(search)) + R"("}
{"t_us":3,"end_us":4,"from":"reader","kind":"frame","raw":"02000290009203"}
)";
  Bytes later = search, other_amount = search;
  later[12] = 0x59;  // another minute
  later[13] = 0x17;
  other_amount[6] = 0x06;
  const struct {
    const char* name;
    std::vector<std::string> vary;
    Bytes request;
    std::size_t mismatches;
    std::string report;
  } cases[] = {
      {"as recorded", {"CPU_PBOC_REQA_CARD:5-11"}, search, 0, ""},
      {"the time varies",
       {"CPU_PBOC_REQA_CARD:5-11"},
       later,
       0,
       "request 1 (CPU_PBOC_REQA_CARD) varies as allowed: data bytes 10-11: got 5917, recorded "
       "0203"},
      {"by class and code", {"FE02:10-11"}, later, 0, "varies as allowed"},
      {"not allowed to vary", {}, later, 1, "differs from recorded request 1 at byte 15"},
      {"another command's bytes", {"RFSIM_REQA_CARD:5-11"}, later, 1, "differs"},
      {"the amount is not the time",
       {"CPU_PBOC_REQA_CARD:5-11"},
       other_amount,
       1,
       "at byte 9: got 06, recorded 05"},
  };
  for (const auto& c : cases) {
    ReplayOptions options;
    for (const std::string& text : c.vary) options.vary.push_back(ParseVaryingBytes(text));
    std::vector<std::string> reports;
    Replay replay(LoadRecording(WriteFile(recording)), options,
                  [&](const std::string& line) { reports.push_back(line); });
    const Bytes reply = replay.Answer(Frame(c.request)).bytes;
    EXPECT_EQ(replay.mismatches(), c.mismatches) << c.name;
    EXPECT_EQ(reply.empty(), c.mismatches > 0) << c.name;
    if (!c.report.empty()) {
      ASSERT_FALSE(reports.empty()) << c.name;
      EXPECT_NE(reports[0].find(c.report), std::string::npos) << c.name << ": " << reports[0];
    } else {
      EXPECT_TRUE(reports.empty()) << c.name;
    }
  }
  for (const char* bad : {"CPU_PBOC_REQA_CARD", "NO_SUCH_COMMAND:5", "FE02:x", "FE02:9-5", ":5"}) {
    EXPECT_THROW(ParseVaryingBytes(bad), std::invalid_argument) << bad;
  }
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
      {"{\"event\":\"host_open\"}\n{\"t_us\":5,\"from\":\"host\",\"kind\":\"frame\"}\n",
       ":2: a line with \"from\" has no \"raw\" bytes"},
      {"{\"t_us\":5}\n", ":1: neither bytes"},
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
  try {
    LoadRecording(testing::TempDir());
    ADD_FAILURE() << "a folder was read as a recording";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("is a folder"), std::string::npos) << error.what();
  }
}

}  // namespace
}  // namespace vorlex::sim
