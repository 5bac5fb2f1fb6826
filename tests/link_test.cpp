// The reader link: opening the port, the frame on the wire, the three attempts and the
// time-outs, seen from the exported functions.
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "support/reader_test.h"

namespace vorlex::testing {
namespace {

using namespace std::chrono_literals;

const VorlexLibrary& Display() { return Library(Edition::kDisplay); }
const VorlexLibrary& Epurse() { return Library(Edition::kEpurse); }

int OpenDescriptorCount() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
  }
  return count;
}

double ThreadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// ---- Opening and closing ------------------------------------------------------------------

TEST(OpenReader, SecondOpenOfAHeldPortFailsUntilTheFirstIsClosed) {
  engine::ScriptedReader reader;
  ReaderHandle first = Display().Open_Reader(reader.port().c_str());
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(Display().Open_Reader(reader.port().c_str()), nullptr);

  const pid_t child = fork();
  if (child == 0) _exit(Display().Open_Reader(reader.port().c_str()) == nullptr ? 0 : 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "another process opened it";

  EXPECT_EQ(Display().Close_Reader(first), 0);
  ReaderHandle again = Display().Open_Reader(reader.port().c_str());
  EXPECT_NE(again, nullptr);
  EXPECT_EQ(Display().Close_Reader(again), 0);
}

// Programs that ignore the lock are kept out while the port is held, and let in once it is closed;
// opens that were refused (from this process and from another, as root: the lock refuses them
// after the device opened) leave the holder's exclusive mode alone. Root may open an exclusive
// terminal regardless, so the program that ignores the lock runs as nobody.
TEST(OpenReader, ExclusiveModeKeepsOutOtherProgramsOnlyWhileHeld) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run a program as another user";
  engine::ScriptedReader reader;
  ASSERT_EQ(chmod(reader.port().c_str(), 0666), 0);
  const auto in_child = [](auto body) {
    const pid_t child = fork();
    if (child == 0) _exit(body());
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 3;
  };
  const auto other_program_opens = [&] {
    return in_child([&] {
      if (setgid(65534) != 0 || setuid(65534) != 0) return 2;
      const int descriptor = open(reader.port().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
      return descriptor >= 0 ? 0 : 1;
    });
  };
  const char* port = reader.port().c_str();
  ReaderHandle handle = Display().Open_Reader(port);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(other_program_opens(), 1);
  EXPECT_EQ(Display().Open_Reader(port), nullptr);
  EXPECT_EQ(other_program_opens(), 1) << "a refused open in this process dropped exclusive mode";
  EXPECT_EQ(in_child([&] { return Display().Open_Reader(port) == nullptr ? 0 : 1; }), 0);
  EXPECT_EQ(other_program_opens(), 1) << "a refused open in another process dropped it";
  EXPECT_EQ(Display().Close_Reader(handle), 0);
  EXPECT_EQ(other_program_opens(), 0);
}

TEST(OpenReader, CloseReportsMinus105ForClosedAndNullHandles) {
  engine::ScriptedReader reader;
  ReaderHandle handle = Display().Open_Reader(reader.port().c_str());
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(Display().Close_Reader(handle), 0);
  EXPECT_EQ(Display().Close_Reader(handle), -105);
  EXPECT_EQ(Display().Close_Reader(nullptr), -105);
  EXPECT_EQ(Epurse().Close_Reader(nullptr), -105);
}

TEST(OpenReader, DisplayEditionNeedsAName) {
  EXPECT_EQ(Display().Open_Reader(nullptr), nullptr);
  EXPECT_EQ(Display().Open_Reader("/nonexistent/ttyVORLEX"), nullptr);
  EXPECT_EQ(Display().Open_Reader(""), nullptr);
}

TEST(OpenReader, ADeviceThatIsNoSerialPortIsClosedAgain) {
  char path[] = "/tmp/vorlex-not-a-port-XXXXXX";
  const int file = mkstemp(path);
  ASSERT_GE(file, 0);
  close(file);
  const int before = OpenDescriptorCount();
  EXPECT_EQ(Display().Open_Reader(path), nullptr);
  EXPECT_EQ(OpenDescriptorCount(), before);
  unlink(path);
}

TEST(OpenReader, EpurseEditionRefusesNamesThatAreNotComPorts) {
  // None of these may reach a device: each fails before anything is opened.
  const int before = OpenDescriptorCount();
  for (const char* name : {"com1", "Com1", "COM", "COMx", "COM0", "COM97", "COM-1", "/dev/ttyS0",
                           "", "CO", "COM99999999999999999999"}) {
    EXPECT_EQ(Epurse().Open_Reader(name), nullptr) << name;
  }
  EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST(OpenReader, StandardInputClosedStillGivesANonNullHandle) {
  engine::ScriptedReader reader;
  const int saved = dup(0);
  close(0);
  ReaderHandle handle = Display().Open_Reader(reader.port().c_str());
  EXPECT_NE(handle, nullptr);
  reader.Script(Reply::Status(0));
  EXPECT_EQ(Display().BELL_BEEP(handle, 1), 0);
  EXPECT_EQ(Display().Close_Reader(handle), 0);
  dup2(saved, 0);
  close(saved);
}

// ---- The frame on the wire ------------------------------------------------------------------

class FrameTest : public ReaderTest {};
VORLEX_BOTH_EDITIONS(FrameTest);

TEST_P(FrameTest, WorkedRequestFrames) {
  reader_.Script({Reply::Status(0), Reply::Status(0)});
  MessageBuffer message;
  Buffer<293> version;
  EXPECT_EQ(lib().BELL_BEEP(handle_, 100), 0);
  EXPECT_EQ(lib().GET_HARDWARE_VER(handle_, version.bytes(), message.get()), 0);
  const auto raw = reader_.RawRequests();
  ASSERT_EQ(raw.size(), 2u);
  EXPECT_EQ(raw[0], HexBytes("02 00 04 01 03 00 64 6C 03"));
  EXPECT_EQ(raw[1], HexBytes("02 00 02 FF 01 02 03"));
}

TEST_P(FrameTest, AWrongChecksumIsAccepted) {
  reader_.Script(Reply::BadChecksum(HexBytes("00 00 11 22")));
  MessageBuffer message;
  Buffer<293> version;
  EXPECT_EQ(lib().GET_SOFTWARE_VER(handle_, version.bytes(), message.get()), 0);
  EXPECT_EQ(version[0], 0x11);
  EXPECT_EQ(version[1], 0x22);
  EXPECT_EQ(reader_.RequestCount(), 1u);
}

TEST_P(FrameTest, StxAndEtxInsideThePayloadNeedNoEscaping) {
  reader_.Script(Reply::Status(0, HexBytes("02 03 02 03")));
  MessageBuffer message;
  Buffer<293> version;
  EXPECT_EQ(lib().GET_HARDWARE_VER(handle_, version.bytes(), message.get()), 0);
  EXPECT_EQ(Bytes(version.bytes(), version.bytes() + 4), HexBytes("02 03 02 03"));
}

TEST_P(FrameTest, AnswersTricklingInAtOrBelowLineSpeedArriveWhole) {
  for (const auto& [bytes, per_byte] : {std::pair{293, 87us}, {40, 1000us}, {20, 30000us}}) {
    Bytes data(static_cast<std::size_t>(bytes));
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
    reader_.Script(Reply::Status(0, data).Paced(per_byte));
    MessageBuffer message;
    Buffer<293> version;
    EXPECT_EQ(lib().GET_HARDWARE_VER(handle_, version.bytes(), message.get()), 0) << bytes;
    EXPECT_EQ(Bytes(version.bytes(), version.bytes() + bytes), data);
  }
  EXPECT_EQ(reader_.RequestCount(), 3u);
}

struct FailedAttempt {
  const char* name;
  Reply reply;
};

class MalformedAnswerTest : public ReaderTest {};
VORLEX_BOTH_EDITIONS(MalformedAnswerTest);

// Each of these fails one attempt; three of them fail the transaction.
TEST_P(MalformedAnswerTest, ThreeMalformedAnswersFailTheCommandWithOutputsUntouched) {
  const Bytes good = HexBytes("00 00 11 22 33");
  Bytes too_long(300, 0x00);
  const FailedAttempt cases[] = {
      {"wrong STX", Reply::WrongStx(good)},
      {"wrong ETX", Reply::WrongEtx(good)},
      {"declared length over 295", Reply::DeclaredLength(296, too_long)},
      {"declared length 0xFFFF", Reply::DeclaredLength(0xFFFF, good)},
  };
  for (const auto& [name, reply] : cases) {
    SCOPED_TRACE(name);
    reader_.ClearRecord();
    reader_.Script({reply, reply, reply});
    MessageBuffer message;
    Buffer<293> version;
    EXPECT_EQ(lib().GET_HARDWARE_VER(handle_, version.bytes(), message.get()), 1);
    EXPECT_TRUE(message.Holds("读取模块硬件版本号失败"));
    EXPECT_TRUE(version.untouched());
    EXPECT_EQ(reader_.RequestCount(), 3u);
    const auto sent = reader_.Requests();
    for (const auto& request : sent) EXPECT_EQ(request, HexBytes("FF 01"));
  }
}

TEST_P(MalformedAnswerTest, AReaderThatAnswersOnTheThirdAttemptSucceeds) {
  reader_.Script({Reply::WrongStx(HexBytes("00 00")), Reply::WrongEtx(HexBytes("00 00")),
                  Reply::Status(0, HexBytes("AB"))});
  MessageBuffer message;
  Buffer<293> version;
  EXPECT_EQ(lib().GET_HARDWARE_VER(handle_, version.bytes(), message.get()), 0);
  EXPECT_TRUE(message.Holds("读取模块硬件版本号成功"));
  EXPECT_EQ(version[0], 0xAB);
  EXPECT_EQ(reader_.RequestCount(), 3u);
}

TEST_P(MalformedAnswerTest, AnAnswerWithoutACompleteStatusIsAFailure) {
  for (const Bytes& payload : {Bytes{}, Bytes{0x00}}) {
    reader_.Script(Reply::Answer(payload));
    MessageBuffer message;
    Buffer<293> version;
    EXPECT_EQ(lib().GET_HARDWARE_VER(handle_, version.bytes(), message.get()), 1);
    EXPECT_TRUE(message.Holds("读取模块硬件版本号失败"));
    EXPECT_TRUE(version.untouched());
    reader_.Script(Reply::Answer(payload));
    EXPECT_EQ(lib().BELL_BEEP(handle_, 1), 1);
  }
}

TEST_P(MalformedAnswerTest, TrailingBytesAreDroppedBeforeTheNextRequest) {
  reader_.Script({Reply::Trailing(HexBytes("00 00 01"), HexBytes("02 00 02 00 00 02 03")),
                  Reply::Status(0x0102)});
  MessageBuffer message;
  Buffer<293> version;
  EXPECT_EQ(lib().GET_HARDWARE_VER(handle_, version.bytes(), message.get()), 0);
  EXPECT_EQ(version[0], 0x01);
  // Give the trailing bytes time to land; the next exchange must purge them, not read them.
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(lib().BELL_BEEP(handle_, 1), 0x0102);
}

// ---- Time-outs (loose bounds: they show which timer ended the wait, not how precisely) ------

// A hardware version read, timed: wall and thread CPU seconds, the result, the output.
struct TimedRead {
  int result;
  double seconds, cpu_seconds;
  bool version_untouched;
};

class TimeoutTest : public ReaderTest {
 protected:
  TimedRead ReadVersion() {
    MessageBuffer message;
    Buffer<293> version;
    TimedRead read{};
    const double cpu_before = ThreadCpuSeconds();
    read.seconds = SecondsOf(
        [&] { read.result = lib().GET_HARDWARE_VER(handle_, version.bytes(), message.get()); });
    read.cpu_seconds = ThreadCpuSeconds() - cpu_before;
    read.version_untouched = version.untouched();
    return read;
  }
};
INSTANTIATE_TEST_SUITE_P(Display, TimeoutTest, ::testing::Values(Edition::kDisplay), EditionName);

TEST_P(TimeoutTest, ASilentReaderFailsAfterThreeHeaderTimeouts) {
  // Each attempt: 10 ms pause + 3-byte read giving up after 200 x 3 + 200 ms.
  const TimedRead read = ReadVersion();
  EXPECT_EQ(read.result, 1);
  EXPECT_EQ(reader_.RequestCount(), 3u);
  EXPECT_GT(read.seconds, 2.3);
  EXPECT_LT(read.seconds, 3.5);
  EXPECT_LT(read.cpu_seconds, 0.1);  // waiting, not spinning
  EXPECT_TRUE(read.version_untouched);
}

TEST_P(TimeoutTest, HeaderThenSilenceEndsAtThePayloadTotalTimeout) {
  // L = 10: the payload read asks 12 bytes and gives up after 200 x 12 + 200 ms = 2.6 s.
  reader_.Script({Reply::Truncated(Bytes(10, 0x00), 3), Reply::Status(0x0102)});
  const TimedRead read = ReadVersion();
  EXPECT_EQ(read.result, 0x0102);
  EXPECT_GT(read.seconds, 2.5);
  EXPECT_LT(read.seconds, 3.6);
}

TEST_P(TimeoutTest, AStallAfterSomePayloadEndsEightHundredMillisecondsAfterTheLastByte) {
  // L = 10 again (2.6 s total), but 4 payload bytes arrive: the interval timer ends it first.
  reader_.Script({Reply::Truncated(Bytes(10, 0x00), 7), Reply::Status(0x0102)});
  const TimedRead read = ReadVersion();
  EXPECT_EQ(read.result, 0x0102);
  EXPECT_GT(read.seconds, 0.75);
  EXPECT_LT(read.seconds, 1.6);
}

TEST_P(TimeoutTest, AnAnswerWithinTheHeaderTimeoutIsAwaited) {
  reader_.Script(Reply::Status(0).After(400ms));
  EXPECT_EQ(lib().BELL_BEEP(handle_, 1), 0);
  EXPECT_EQ(reader_.RequestCount(), 1u);
}

TEST_P(TimeoutTest, AHangUpEndsTheCommandAtOnceWithoutSpinning) {
  reader_.Script(Reply::HangUp());
  const TimedRead read = ReadVersion();
  EXPECT_EQ(read.result, 1);
  EXPECT_LT(read.seconds, 1.0);
  EXPECT_LT(read.cpu_seconds, 0.1);
  EXPECT_TRUE(read.version_untouched);
}

TEST_P(TimeoutTest, HangUpMidAnswerEndsTheCommandAtOnce) {
  reader_.Script(Reply::Truncated(Bytes(10, 0x00), 5).ThenHangUp());
  const TimedRead read = ReadVersion();
  EXPECT_EQ(read.result, 1);
  EXPECT_LT(read.seconds, 2.0);
  EXPECT_TRUE(read.version_untouched);
}

}  // namespace
}  // namespace vorlex::testing
