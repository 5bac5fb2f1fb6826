// Fault survival: whatever a broken reader, cable or firmware does, each command family returns
// in bounded time with the documented result, message and untouched (or exactly filled) outputs,
// after the documented number of attempts.
//
// Both editions are loaded side by side with dlopen (RTLD_LOCAL) and called by name
// (tests/support/vorlex_library.h). The pty is opened through the display edition's Open_Reader,
// which takes a device path; on Linux a handle is the port itself (descriptor + 1), so the
// e-purse edition's purchase exports accept that same handle. The e-purse Open_Reader only maps
// COM names to /dev/ttyS*, which no test may open.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "support/reader_test.h"

namespace vorlex::testing {
namespace {

using namespace std::chrono_literals;

// A caller buffer of any size: guard bytes on both sides, everything pre-filled.
class Output {
 public:
  static constexpr std::size_t kGuard = 16;
  static constexpr std::uint8_t kFill = 0x5C;

  explicit Output(std::size_t size) : size_(size), bytes_(size + 2 * kGuard, kFill) {}
  char* get() { return reinterpret_cast<char*>(bytes_.data() + kGuard); }

  bool untouched() const {
    return std::all_of(bytes_.begin(), bytes_.end(), [](std::uint8_t b) { return b == kFill; });
  }
  // The buffer starts with `image` and every other byte, guards included, still holds the fill.
  ::testing::AssertionResult Holds(const std::string& image) const {
    for (std::size_t i = 0; i < bytes_.size(); ++i) {
      const std::size_t at = i - kGuard;
      const bool in_image = i >= kGuard && at < image.size();
      const auto expected = in_image ? static_cast<std::uint8_t>(image[at]) : kFill;
      if (bytes_[i] != expected) {
        return ::testing::AssertionFailure()
               << "byte " << static_cast<long>(at) << " of " << size_ << " is " << int(bytes_[i])
               << ", expected " << int(expected);
      }
    }
    return ::testing::AssertionSuccess();
  }

 private:
  std::size_t size_;
  std::vector<std::uint8_t> bytes_;
};

// Hex text as the library writes it, NUL included.
std::string Text(const char* characters) { return std::string(characters, strlen(characters) + 1); }

double ThreadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// ---- the command families ---------------------------------------------------------------------

struct Family {
  const char* name;
  Edition edition;
  Bytes request;        // the payload every attempt must carry
  Bytes good;           // a successful answer's payload
  const char* failure;  // message texts, readable (converted to GBK by the test bed)
  const char* success;
  std::vector<std::size_t> outputs;  // caller buffer sizes
  std::vector<std::string> filled;   // what each buffer starts with after a success
  std::function<int(const VorlexLibrary&, ReaderHandle, std::vector<Output>&, char*)> call;
};

PurchaseRecord PurchaseInput() {
  PurchaseRecord input;
  std::memset(&input, 0x33, sizeof input);
  input.Amount = 100;
  std::memcpy(input.PrepData, "0102030405060708", sizeof input.PrepData);
  return input;
}

// The record after a successful CPU card search answering 00 00 01 02 ... 1D: every field it
// documents, the rest still the fill.
std::string SearchedRecord() {
  std::string image(sizeof(PurchaseRecord), static_cast<char>(Output::kFill));
  PurchaseRecord record;
  std::memcpy(&record, image.data(), sizeof record);
  std::memcpy(record.CardId, "01020304", 9);
  std::memcpy(record.CardInfo, "05060708090A0B0C0D0E", 21);
  std::memcpy(record.PrepText, "0F101112", 9);
  record.PrepByte1 = 0x13;
  record.PrepByte2 = 0x14;
  record.CardValue24 = 0x151617;
  record.PrepValue16 = 0x1819;
  record.PrepValue32 = 0x1A1B1C1D;
  std::memcpy(image.data(), &record, sizeof record);
  return image;
}

Bytes Counting(std::uint8_t first, std::size_t count) {
  Bytes bytes{0x00, 0x00};
  for (std::size_t i = 0; i < count; ++i) bytes.push_back(static_cast<std::uint8_t>(first + i));
  return bytes;
}

const std::vector<Family>& Families() {
  static const std::vector<Family> families = {
      {"Housekeeping",
       Edition::kDisplay,
       HexBytes("FF 01"),
       HexBytes("00 00 56 4C 58 20 32 2E 30 34"),
       "读取模块硬件版本号失败",
       "读取模块硬件版本号成功",
       {VORLEX_VERSION_SIZE},
       {"VLX 2.04"},
       [](const VorlexLibrary& lib, ReaderHandle reader, std::vector<Output>& out, char* message) {
         return lib.GET_HARDWARE_VER(reader, reinterpret_cast<unsigned char*>(out[0].get()),
                                     message);
       }},
      {"Iso14443",
       Edition::kDisplay,
       HexBytes("04 01 01"),
       HexBytes("00 00 04 00 A1 B2 C3 D4"),
       "寻卡失败，无卡",
       "寻卡成功",
       {5, 9},
       {Text("0400"), Text("A1B2C3D4")},
       [](const VorlexLibrary& lib, ReaderHandle reader, std::vector<Output>& out, char* message) {
         return lib.REQ_14443_CARD(reader, 1, out[0].get(), out[1].get(), message);
       }},
      {"Apdu",
       Edition::kDisplay,
       HexBytes("04 07 00 84 00 00 00 08"),
       HexBytes("00 00 11 22 33 44 55 66 77 88 90 00"),
       "apdu执行指令失败",
       "apdu执行指令成功",
       {VORLEX_REPLY_TEXT_SIZE},
       {Text("11223344556677889000")},
       [](const VorlexLibrary& lib, ReaderHandle reader, std::vector<Output>& out, char* message) {
         return lib.CPUCARD_APDU(reader, "0084000008", out[0].get(), message);
       }},
      {"RfSim",
       Edition::kDisplay,
       HexBytes("05 01 00"),
       Counting(1, 8),
       "寻卡失败，无卡",
       "寻卡成功",
       {17},
       {Text("0102030405060708")},
       [](const VorlexLibrary& lib, ReaderHandle reader, std::vector<Output>& out, char* message) {
         return lib.REQ_RFSIM_CARD(reader, 0, out[0].get(), message);
       }},
      {"Purchase",
       Edition::kEpurse,
       HexBytes("FE 02 07 00 00 00 64 01 02 03 04 05 06 07"),
       Counting(1, 29),
       "CPU卡PBOC交易寻卡初始化失败",
       "CPU卡PBOC交易寻卡初始化成功",
       {sizeof(PurchaseRecord)},
       {SearchedRecord()},
       [](const VorlexLibrary& lib, ReaderHandle reader, std::vector<Output>& out, char* message) {
         return lib.CPU_PBOC_REQA_CARD(reader, 7, PurchaseInput(),
                                       reinterpret_cast<PurchaseRecord*>(out[0].get()), message);
       }},
  };
  return families;
}

// ---- the faults -------------------------------------------------------------------------------

struct Fault {
  const char* name;
  std::function<Reply(const Bytes& good)> reply;  // what the reader sends to every attempt
  bool succeeds;                                  // the answer is taken as it is
  int attempts;                                   // requests the reader receives
};

const Bytes kFrameLikeGarbage = HexBytes("02 00 02 6A 82 EE 03");

const std::vector<Fault>& Faults() {
  static const std::vector<Fault> faults = {
      {"Silence", [](const Bytes&) { return Reply::Silence(); }, false, 3},
      {"WrongStx", [](const Bytes& good) { return Reply::WrongStx(good); }, false, 3},
      {"WrongEtx", [](const Bytes& good) { return Reply::WrongEtx(good); }, false, 3},
      // The checksum is documented as not compared.
      {"WrongChecksumAccepted", [](const Bytes& good) { return Reply::BadChecksum(good); }, true,
       1},
      // Two bytes of the header, then nothing.
      {"TruncatedHeader", [](const Bytes& good) { return Reply::Truncated(good, 2); }, false, 3},
      {"DeclaredLength296", [](const Bytes& good) { return Reply::DeclaredLength(296, good); },
       false, 3},
      {"DeclaredLengthFFFF", [](const Bytes& good) { return Reply::DeclaredLength(0xFFFF, good); },
       false, 3},
      // A well-formed frame without a whole status word: one attempt, then failure.
      {"LengthZero", [](const Bytes&) { return Reply::Answer({}); }, false, 1},
      {"LengthOne", [](const Bytes&) { return Reply::Answer({0x00}); }, false, 1},
      {"TrailingBytes", [](const Bytes& good) { return Reply::Trailing(good, kFrameLikeGarbage); },
       true, 1},
      // Header and two payload bytes, then the line goes quiet.
      {"StallMidFrame", [](const Bytes& good) { return Reply::Truncated(good, 5); }, false, 3},
  };
  return faults;
}

// ---- the test bed -----------------------------------------------------------------------------

class FaultTest : public ReaderBed {
 protected:
  struct Outcome {
    int result = -1;
    double seconds = 0, cpu_seconds = 0;
  };

  Outcome Run(const Family& family) {
    for (std::size_t size : family.outputs) outputs_.emplace_back(size);
    Outcome outcome;
    const double cpu = ThreadCpuSeconds();
    outcome.seconds = SecondsOf([&] {
      outcome.result = family.call(Library(family.edition), handle_, outputs_, message_.get());
    });
    outcome.cpu_seconds = ThreadCpuSeconds() - cpu;
    return outcome;
  }

  // Every request the reader got was the family's request, and there were `attempts` of them.
  void ExpectAttempts(const Family& family, int attempts) {
    reader_.WaitForRequests(attempts, 1s);
    const auto requests = reader_.Requests();
    EXPECT_EQ(requests.size(), static_cast<std::size_t>(attempts));
    for (const Bytes& request : requests) EXPECT_EQ(request, family.request);
  }

  void ExpectFailedUntouched(const Family& family, int result) {
    EXPECT_EQ(result, 1);
    EXPECT_TRUE(message_.Holds(family.failure));
    for (const Output& output : outputs_) EXPECT_TRUE(output.untouched());
  }

  void ExpectFilled(const Family& family, int result) {
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(message_.Holds(family.success));
    for (std::size_t i = 0; i < outputs_.size(); ++i) {
      EXPECT_TRUE(outputs_[i].Holds(family.filled[i])) << "output " << i;
    }
  }

  MessageBuffer message_;
  std::vector<Output> outputs_;
};

// ---- family x malformed answer ----------------------------------------------------------------

class MalformedAnswer : public FaultTest,
                        public ::testing::WithParamInterface<std::tuple<int, int>> {
 protected:
  const Family& family() const { return Families()[std::get<0>(GetParam())]; }
  const Fault& fault() const { return Faults()[std::get<1>(GetParam())]; }
};

TEST_P(MalformedAnswer, ReturnsTheDocumentedOutcomeAfterTheDocumentedAttempts) {
  const Reply reply = fault().reply(family().good);
  reader_.Script({reply, reply, reply});
  const Outcome outcome = Run(family());
  if (fault().succeeds) {
    ExpectFilled(family(), outcome.result);
  } else {
    ExpectFailedUntouched(family(), outcome.result);
  }
  ExpectAttempts(family(), fault().attempts);
  // Three attempts of at most 10 ms + 800 ms of waiting each, with room for a slow machine.
  EXPECT_LT(outcome.seconds, 6.0);
}

INSTANTIATE_TEST_SUITE_P(Families, MalformedAnswer,
                         ::testing::Combine(::testing::Range(0,
                                                             static_cast<int>(Families().size())),
                                            ::testing::Range(0, static_cast<int>(Faults().size()))),
                         [](const ::testing::TestParamInfo<std::tuple<int, int>>& param) {
                           return std::string(Families()[std::get<0>(param.param)].name) + "_" +
                                  Faults()[std::get<1>(param.param)].name;
                         });

// ---- per family: late answers and a vanishing line ---------------------------------------------

class PerFamily : public FaultTest, public ::testing::WithParamInterface<int> {
 protected:
  const Family& family() const { return Families()[GetParam()]; }
};

TEST_P(PerFamily, AReaderThatAnswersOnlyTheThirdAttemptSucceeds) {
  // A wrong ETX fails only once the whole frame is read, so nothing of it is left to confuse the
  // third attempt.
  reader_.Script({Reply::Silence(), Reply::WrongEtx(family().good), Reply::Answer(family().good)});
  const Outcome outcome = Run(family());
  ExpectFilled(family(), outcome.result);
  ExpectAttempts(family(), 3);
}

TEST_P(PerFamily, AReaderStatusIsReturnedAsItIsWithOutputsUntouched) {
  reader_.Script(Reply::Status(0x6A82, Bytes(40, 0xEE)));
  const Outcome outcome = Run(family());
  EXPECT_EQ(outcome.result, 0x6A82);
  EXPECT_TRUE(message_.Holds(family().failure));
  for (const Output& output : outputs_) EXPECT_TRUE(output.untouched());
  ExpectAttempts(family(), 1);
}

struct HangUp {
  const char* name;
  std::function<Reply(const Bytes& good)> reply;
};

// The device disappears: the command gives up at once instead of waiting out its time-outs, and
// does not spin on the dead descriptor meanwhile.
TEST_P(PerFamily, AHangUpMidExchangeFailsQuicklyWithoutSpinning) {
  const HangUp cases[] = {
      {"before the answer", [](const Bytes&) { return Reply::HangUp(); }},
      {"after the header",
       [](const Bytes& good) { return Reply::Truncated(good, 3).ThenHangUp(); }},
      {"mid-payload", [](const Bytes& good) { return Reply::Truncated(good, 6).ThenHangUp(); }},
  };
  for (const HangUp& hang_up : cases) {
    SCOPED_TRACE(hang_up.name);
    engine::ScriptedReader reader;
    const ReaderHandle handle = Library(Edition::kDisplay).Open_Reader(reader.port().c_str());
    ASSERT_NE(handle, nullptr);
    reader.Script(hang_up.reply(family().good));
    std::vector<Output> outputs;
    for (std::size_t size : family().outputs) outputs.emplace_back(size);
    MessageBuffer message;
    int result = -1;
    const double cpu = ThreadCpuSeconds();
    const double seconds = SecondsOf(
        [&] { result = family().call(Library(family().edition), handle, outputs, message.get()); });
    const double cpu_seconds = ThreadCpuSeconds() - cpu;
    EXPECT_EQ(result, 1);
    EXPECT_TRUE(message.Holds(family().failure));
    for (const Output& output : outputs) EXPECT_TRUE(output.untouched());
    // Far below one 800 ms time-out: the hang-up, not a timer, ended the command.
    EXPECT_LT(seconds, 0.7);
    EXPECT_LT(cpu_seconds, 0.1);
    // The first request reached the reader; later attempts find no line to write to.
    EXPECT_EQ(reader.RequestCount(), 1u);
    Library(Edition::kDisplay).Close_Reader(handle);
  }
}

INSTANTIATE_TEST_SUITE_P(Families, PerFamily,
                         ::testing::Range(0, static_cast<int>(Families().size())),
                         [](const ::testing::TestParamInfo<int>& param) {
                           return std::string(Families()[param.param].name);
                         });

}  // namespace
}  // namespace vorlex::testing
