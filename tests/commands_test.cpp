// The reader and card commands of both editions: the bytes each sends, what the caller gets
// back, and what stays untouched when a command fails.
#include <thread>

#include "support/reader_test.h"

namespace vorlex::testing {
namespace {

using namespace std::chrono_literals;

using ApduExport = int(VORLEX_CALL*)(ReaderHandle, const char*, char*, char*);

class CommandTest : public ReaderTest {
 protected:
  // A refused APDU text: result 1, the data-error text, the reply buffer untouched.
  void ExpectRefused(ApduExport VorlexLibrary::*call, const std::string& apdu) {
    MessageBuffer message;
    Buffer<587> reply;
    EXPECT_EQ((lib().*call)(handle_, apdu.c_str(), reply.get(), message.get()), 1) << apdu;
    EXPECT_TRUE(message.Holds("apdu数据错误"));
    EXPECT_TRUE(reply.untouched());
  }
};
VORLEX_BOTH_EDITIONS(CommandTest);

// ---- Reader housekeeping ----------------------------------------------------------------------

TEST_P(CommandTest, BeepValueTravelsAsSignedQuotientAndRemainder) {
  const std::pair<int, const char*> cases[] = {
      {100, "01 03 00 64"},  {300, "01 03 01 2C"},  {65536, "01 03 00 00"}, {-1, "01 03 00 FF"},
      {-256, "01 03 FF 00"}, {-257, "01 03 FF FF"}, {65535, "01 03 FF FF"}, {0, "01 03 00 00"},
  };
  for (const auto& [value, payload] : cases) {
    reader_.ClearRecord();
    reader_.Script(Reply::Status(0, HexBytes("EE EE")));  // trailing data is ignored
    EXPECT_EQ(lib().BELL_BEEP(handle_, value), 0) << value;
    EXPECT_EQ(LastSent(), HexBytes(payload)) << value;
  }
}

TEST_P(CommandTest, ReaderStatusIsReturnedUnchanged) {
  MessageBuffer message;
  Buffer<293> version;
  reader_.Script({Reply::Status(0x0102), Reply::Status(0x0102), Reply::Status(0x0102)});
  EXPECT_EQ(lib().BELL_BEEP(handle_, 1), 258);
  EXPECT_EQ(lib().GET_HARDWARE_VER(handle_, version.bytes(), message.get()), 258);
  EXPECT_TRUE(message.Holds("读取模块硬件版本号失败"));
  EXPECT_EQ(lib().GET_SOFTWARE_VER(handle_, version.bytes(), message.get()), 258);
  EXPECT_TRUE(message.Holds("读取模块软件版本号失败"));
  EXPECT_TRUE(version.untouched());
}

TEST_P(CommandTest, VersionDataIsCopiedExactlyAsLongAsTheAnswer) {
  MessageBuffer message;
  Buffer<293> version;
  reader_.Script(Reply::Status(0));
  EXPECT_EQ(lib().GET_HARDWARE_VER(handle_, version.bytes(), message.get()), 0);
  EXPECT_TRUE(message.Holds("读取模块硬件版本号成功"));
  EXPECT_TRUE(version.untouched());

  reader_.Script(Reply::Status(0, HexBytes("01 02 03 04 05")));
  EXPECT_EQ(lib().GET_SOFTWARE_VER(handle_, version.bytes(), message.get()), 0);
  EXPECT_TRUE(message.Holds("读取模块软件版本号成功"));
  EXPECT_EQ(Bytes(version.bytes(), version.bytes() + 5), HexBytes("01 02 03 04 05"));
  EXPECT_EQ(version[5], kCanary);
  EXPECT_EQ(LastSent(), HexBytes("FF 02"));

  Buffer<293> longest;
  reader_.Script(Reply::Status(0, Bytes(293, 0x5A)));
  EXPECT_EQ(lib().GET_HARDWARE_VER(handle_, longest.bytes(), message.get()), 0);
  EXPECT_EQ(longest[292], 0x5A);
  EXPECT_TRUE(longest.guard_intact());
}

class DisplayCommandTest : public ReaderTest {};
INSTANTIATE_TEST_SUITE_P(Display, DisplayCommandTest, ::testing::Values(Edition::kDisplay),
                         EditionName);

TEST_P(DisplayCommandTest, LedDisplaySendsTheTextBytesAndTheValue) {
  EXPECT_EQ(Library(Edition::kEpurse).LED_DISPLAY, nullptr);
  const std::tuple<std::string, int, const char*> cases[] = {
      {"", 5, "01 04 00 05"},
      {"AB", 258, "01 04 41 42 01 02"},
      {"\xC4\xE3\xBA\xC3", -1, "01 04 C4 E3 BA C3 00 FF"},  // bytes pass through unconverted
  };
  for (const auto& [text, value, payload] : cases) {
    reader_.Script(Reply::Status(0));
    EXPECT_EQ(lib().LED_DISPLAY(handle_, text.c_str(), value), 0);
    EXPECT_EQ(LastSent(), HexBytes(payload));
  }
  reader_.Script(Reply::Status(0x0102));
  EXPECT_EQ(lib().LED_DISPLAY(handle_, "X", 0), 258);
}

TEST_P(DisplayCommandTest, LedDisplayTextFillsOneFrameAtMostAndLongerIsRefusedUnsent) {
  const std::string longest(291, 'x');
  reader_.Script(Reply::Status(0));
  EXPECT_EQ(lib().LED_DISPLAY(handle_, longest.c_str(), 7), 0);
  ASSERT_EQ(LastSent().size(), 295u);
  EXPECT_EQ(LastSent()[294], 7);

  reader_.ClearRecord();
  const std::string too_long(292, 'x');
  EXPECT_EQ(lib().LED_DISPLAY(handle_, too_long.c_str(), 7), 1);
  EXPECT_EQ(lib().LED_DISPLAY(handle_, nullptr, 7), 1);
  EXPECT_EQ(reader_.RequestCount(), 0u);
}

// ---- ISO 14443-A and Mifare -------------------------------------------------------------------

TEST_P(CommandTest, CardRequestSendsOnlyTheModeBitAndReturnsAtqaAndUid) {
  for (const auto& [mode, bit] : {std::pair{0, 0}, {0x26, 0}, {0x52, 0}, {1, 1}, {3, 1}}) {
    reader_.Script(Reply::Status(0x0001));
    MessageBuffer message;
    Buffer<5> atqa;
    Buffer<9> uid;
    EXPECT_EQ(lib().REQ_14443_CARD(handle_, mode, atqa.get(), uid.get(), message.get()), 1);
    EXPECT_EQ(LastSent(), (Bytes{0x04, 0x01, static_cast<std::uint8_t>(bit)})) << mode;
    EXPECT_TRUE(atqa.untouched() && uid.untouched());
  }
  MessageBuffer message;
  Buffer<5> atqa;
  Buffer<9> uid;
  reader_.Script(Reply::Answer(HexBytes("00 00 04 00 A1 B2 C3 D4")));
  EXPECT_EQ(lib().REQ_14443_CARD(handle_, 0x52, atqa.get(), uid.get(), message.get()), 0);
  EXPECT_EQ(atqa.text(), "0400");
  EXPECT_EQ(uid.text(), "A1B2C3D4");
  EXPECT_TRUE(atqa.guard_intact() && uid.guard_intact());
  EXPECT_TRUE(message.Holds("寻卡成功"));
}

TEST_P(CommandTest, ShortSuccessAnswersFailWithOutputsUntouched) {
  MessageBuffer message;
  Buffer<5> atqa;
  Buffer<9> uid;
  Buffer<33> block;
  reader_.Script(Reply::Answer(HexBytes("00 00 04 00 A1 B2 C3")));
  EXPECT_EQ(lib().REQ_14443_CARD(handle_, 0, atqa.get(), uid.get(), message.get()), 1);
  EXPECT_TRUE(message.Holds("寻卡失败，无卡"));
  EXPECT_TRUE(atqa.untouched() && uid.untouched());

  reader_.Script(Reply::Status(0, Bytes(15, 0x11)));
  EXPECT_EQ(lib().MIFS_READ(handle_, 1, 1, block.get(), message.get()), 1);
  EXPECT_TRUE(message.Holds("读块数据失败"));
  EXPECT_TRUE(block.untouched());
}

TEST_P(CommandTest, AtsDropsTheLastTwoAnswerBytes) {
  const std::pair<const char*, const char*> cases[] = {
      {"00 00 11 22 33 44 55", "112233"},
      {"00 00 11 22 33 44 55 66 77", "1122334455"},
      {"00 00", ""},
      {"00 00 11", ""},
      {"00 00 11 22", ""},
  };
  for (const auto& [answer, ats] : cases) {
    MessageBuffer message;
    Buffer<583> text;
    reader_.Script(Reply::Answer(HexBytes(answer)));
    EXPECT_EQ(lib().ATS_14443_CARD(handle_, text.get(), message.get()), 0) << answer;
    EXPECT_EQ(text.text(), ats);
    EXPECT_TRUE(message.Holds("获取ATS成功"));
    EXPECT_EQ(LastSent(), HexBytes("04 02"));
  }
}

// sector, key type / block argument -> bytes sent by the e-purse and by the display edition.
struct Reduction {
  int sector, second;
  std::uint8_t epurse_sector, epurse_second, display_sector, display_second;
};

TEST_P(CommandTest, MifareAuthReducesSectorAndKeyTypePerEdition) {
  const Reduction cases[] = {
      {15, 1, 0x0F, 0x01, 0x00, 0x01},       {0, 2, 0x00, 0x02, 0x00, 0x00},
      {14, 3, 0x0E, 0x03, 0x0E, 0x01},       {255, 16, 0xFF, 0x00, 0x00, 0x00},
      {0x110, 0x1F, 0x10, 0x0F, 0x01, 0x01}, {-1, -1, 0xFF, 0x0F, 0x00, 0x01},
  };
  for (const Reduction& c : cases) {
    reader_.Script(Reply::Status(0));
    MessageBuffer message;
    EXPECT_EQ(lib().MIFS_AUTH(handle_, c.sector, c.second, "A0a1B2c3D4e5", message.get()), 0);
    EXPECT_TRUE(message.Holds("密钥验证成功"));
    const std::uint8_t s = epurse() ? c.epurse_sector : c.display_sector;
    const std::uint8_t k = epurse() ? c.epurse_second : c.display_second;
    EXPECT_EQ(LastSent(), (Bytes{0x04, 0x03, s, k, 0xA0, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5}))
        << c.sector << "/" << c.second;
  }
}

TEST_P(CommandTest, MifareReadReducesSectorAndBlockPerEdition) {
  const Reduction cases[] = {
      {20, 5, 0x14, 0x05, 0x05, 0x01},
      {255, 15, 0xFF, 0x0F, 0x00, 0x03},
      {30, 16, 0x1E, 0x00, 0x00, 0x00},
      {29, 7, 0x1D, 0x07, 0x0E, 0x03},
  };
  for (const Reduction& c : cases) {
    reader_.Script(Reply::Status(0, HexBytes("00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F")));
    MessageBuffer message;
    Buffer<33> data;
    EXPECT_EQ(lib().MIFS_READ(handle_, c.sector, c.second, data.get(), message.get()), 0);
    EXPECT_EQ(data.text(), "000102030405060708090A0B0C0D0E0F");
    EXPECT_TRUE(data.guard_intact());
    EXPECT_TRUE(message.Holds("读块数据成功"));
    const std::uint8_t s = epurse() ? c.epurse_sector : c.display_sector;
    const std::uint8_t b = epurse() ? c.epurse_second : c.display_second;
    EXPECT_EQ(LastSent(), (Bytes{0x04, 0x04, s, b})) << c.sector << "/" << c.second;
  }
}

TEST_P(CommandTest, MifareWriteSendsTheSixteenBytesOfItsText) {
  reader_.Script(Reply::Status(0));
  MessageBuffer message;
  EXPECT_EQ(lib().MIFS_WRITE(handle_, 1, 2, "00112233445566778899aabbccddeeffEXTRA", message.get()),
            0);
  EXPECT_TRUE(message.Holds("写块数据成功"));
  EXPECT_EQ(LastSent(), HexBytes("04 05 01 02 00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF"));
}

TEST_P(CommandTest, KeyAndDataTextsThatEndEarlySendZerosInTheirPlace) {
  const std::pair<const char*, const char*> keys[] = {
      {"FFFFFFFFFFFFFF", "FF FF FF FF FF FF"},  // only the first 12 characters count
      {"FFFF", "FF FF 00 00 00 00"},
      {"FFFFFFGGFFFF", "FF FF FF 00 00 00"},
      {"", "00 00 00 00 00 00"},
  };
  for (const auto& [key, bytes] : keys) {
    reader_.Script(Reply::Status(0));
    MessageBuffer message;
    EXPECT_EQ(lib().MIFS_AUTH(handle_, 1, 0, key, message.get()), 0) << key;
    EXPECT_EQ(LastSent(), HexBytes(std::string("04 03 01 00 ") + bytes)) << key;
  }
  reader_.Script(Reply::Status(0));
  MessageBuffer message;
  EXPECT_EQ(lib().MIFS_WRITE(handle_, 1, 1, "0102x3", message.get()), 0);
  Bytes expected = HexBytes("04 05 01 01 01 02");
  expected.resize(20, 0x00);
  EXPECT_EQ(LastSent(), expected);
}

TEST_P(CommandTest, HaltAndEveryCardCommandReportTheReaderStatus) {
  MessageBuffer message;
  reader_.Script(Reply::Status(0));
  EXPECT_EQ(lib().MIFS_HALT(handle_, message.get()), 0);
  EXPECT_EQ(LastSent(), HexBytes("04 06"));
  EXPECT_TRUE(message.Holds("卡暂停成功"));

  Buffer<5> atqa;
  Buffer<9> uid;
  Buffer<583> ats;
  Buffer<33> data;
  reader_.SetResponder([](const engine::ParsedFrame&) { return Reply::Status(0x0102); });
  EXPECT_EQ(lib().REQ_14443_CARD(handle_, 0, atqa.get(), uid.get(), message.get()), 258);
  EXPECT_TRUE(message.Holds("寻卡失败，无卡"));
  EXPECT_EQ(lib().ATS_14443_CARD(handle_, ats.get(), message.get()), 258);
  EXPECT_TRUE(message.Holds("获取ATS失败"));
  EXPECT_EQ(lib().MIFS_AUTH(handle_, 0, 0, "FFFFFFFFFFFF", message.get()), 258);
  EXPECT_TRUE(message.Holds("密钥验证失败"));
  EXPECT_EQ(lib().MIFS_READ(handle_, 0, 0, data.get(), message.get()), 258);
  EXPECT_TRUE(message.Holds("读块数据失败"));
  EXPECT_EQ(lib().MIFS_WRITE(handle_, 0, 0, "00", message.get()), 258);
  EXPECT_TRUE(message.Holds("写块数据失败"));
  EXPECT_EQ(lib().MIFS_HALT(handle_, message.get()), 258);
  EXPECT_TRUE(message.Holds("卡暂停失败"));
  EXPECT_TRUE(atqa.untouched() && uid.untouched() && ats.untouched() && data.untouched());
}

TEST_P(CommandTest, MissingBuffersAreRefusedBeforeAnythingIsSent) {
  MessageBuffer message;
  Buffer<9> uid;
  EXPECT_EQ(lib().REQ_14443_CARD(handle_, 0, nullptr, uid.get(), message.get()), 1);
  EXPECT_TRUE(message.Holds("寻卡失败，无卡"));
  EXPECT_EQ(lib().MIFS_AUTH(handle_, 0, 0, nullptr, message.get()), 1);
  EXPECT_EQ(lib().MIFS_HALT(handle_, nullptr), 1);
  EXPECT_EQ(lib().GET_HARDWARE_VER(handle_, nullptr, message.get()), 1);
  EXPECT_EQ(lib().CPUCARD_APDU(handle_, "0084000008", nullptr, message.get()), 1);
  EXPECT_TRUE(message.Holds("apdu数据错误"));
  EXPECT_EQ(lib().RFSIMCARD_APDU(handle_, nullptr, uid.get(), message.get()), 1);
  EXPECT_EQ(reader_.RequestCount(), 0u);
}

// ---- APDUs and SAM slots ----------------------------------------------------------------------

struct ApduUnit {
  const char* name;
  ApduExport VorlexLibrary::*call;
  std::uint8_t command_class, command_code;
};
const ApduUnit kStrictUnits[] = {
    {"CPUCARD_APDU", &VorlexLibrary::CPUCARD_APDU, 0x04, 0x07},
    {"SAMCAR1_APDU", &VorlexLibrary::SAMCAR1_APDU, 0x02, 0x03},
    {"SAMCAR2_APDU", &VorlexLibrary::SAMCAR2_APDU, 0x03, 0x03},
};

TEST_P(CommandTest, StrictApduRequestsCarryLcAndLe) {
  const std::pair<const char*, const char*> cases[] = {
      {"0084000008", "00 84 00 00 00 08"},
      {"00A40000023F00", "00 A4 00 00 02 00 3F 00"},
      {"00a40000023f00", "00 A4 00 00 02 00 3F 00"},
  };
  for (const ApduUnit& unit : kStrictUnits) {
    for (const auto& [apdu, body] : cases) {
      reader_.Script(Reply::Status(0, HexBytes("90 00")));
      MessageBuffer message;
      Buffer<587> reply;
      EXPECT_EQ((lib().*unit.call)(handle_, apdu, reply.get(), message.get()), 0);
      EXPECT_EQ(reply.text(), "9000");
      EXPECT_TRUE(message.Holds("apdu执行指令成功"));
      Bytes expected{unit.command_class, unit.command_code};
      const Bytes rest = HexBytes(body);
      expected.insert(expected.end(), rest.begin(), rest.end());
      EXPECT_EQ(LastSent(), expected) << unit.name << " " << apdu;
    }
  }
  EXPECT_EQ(reader_.RawRequests()[0], HexBytes("02 00 08 04 07 00 84 00 00 00 08 9F 03"));
}

TEST_P(CommandTest, StrictApduRuleRefusesTextsUnsent) {
  const std::string longest_accepted = "00D60000C2" + std::string(2 * 194, 'A');
  const std::vector<std::string> refused = {
      "00A40000023F0010",  // case 4
      "00A40000",          // header alone
      "00A40000033F00",    // Lc 3, two data bytes
      "0084000008F",       // odd length
      "",
      "00G4000008",     // not hexadecimal
      "00A40000023F0",  // odd inside the data
      longest_accepted + "00",
  };
  for (const ApduUnit& unit : kStrictUnits) {
    SCOPED_TRACE(unit.name);
    for (const std::string& apdu : refused) ExpectRefused(unit.call, apdu);
  }
  EXPECT_EQ(reader_.RequestCount(), 0u);

  reader_.Script(Reply::Status(0));
  MessageBuffer message;
  Buffer<587> reply;
  EXPECT_EQ(lib().CPUCARD_APDU(handle_, longest_accepted.c_str(), reply.get(), message.get()), 0);
  EXPECT_EQ(LastSent().size(), 8u + 194u);
  EXPECT_EQ(LastSent()[6], 194);
}

TEST_P(CommandTest, ApduReplyIsEveryAnswerByteAfterTheStatus) {
  MessageBuffer message;
  Buffer<587> reply;
  reader_.Script(Reply::Status(0));
  EXPECT_EQ(lib().SAMCAR1_APDU(handle_, "0084000008", reply.get(), message.get()), 0);
  EXPECT_EQ(reply.text(), "");

  Bytes longest(293, 0xC3);
  reader_.Script(Reply::Status(0, longest));
  EXPECT_EQ(lib().SAMCAR2_APDU(handle_, "0084000008", reply.get(), message.get()), 0);
  std::string expected;
  for (int i = 0; i < 293; ++i) expected += "C3";
  EXPECT_EQ(reply.text(), expected);
  EXPECT_TRUE(reply.guard_intact());
}

TEST_P(CommandTest, ApduFailuresKeepTheExchangeFailureText) {
  MessageBuffer message;
  Buffer<587> reply;
  reader_.Script(Reply::Status(0x6A82));
  EXPECT_EQ(lib().CPUCARD_APDU(handle_, "00A40000023F00", reply.get(), message.get()), 0x6A82);
  EXPECT_TRUE(message.Holds("apdu执行指令失败"));
  EXPECT_TRUE(reply.untouched());
  // A reader that never answers: the exchange failed, not the data.
  EXPECT_EQ(lib().CPUCARD_APDU(handle_, "0084000008", reply.get(), message.get()), 1);
  EXPECT_TRUE(message.Holds("apdu执行指令失败"));
  EXPECT_EQ(lib().RFSIMCARD_APDU(handle_, "0084000008", reply.get(), message.get()), 1);
  EXPECT_TRUE(message.Holds("apdu执行指令失败"));
  EXPECT_TRUE(reply.untouched());
}

TEST_P(CommandTest, SamPowerOnAndOff) {
  MessageBuffer message;
  Buffer<587> atr;
  reader_.Script(Reply::Answer(HexBytes("00 00 3B 02 14 50")));
  EXPECT_EQ(lib().SAMCAR1_POWER_ON(handle_, atr.get(), message.get()), 0);
  EXPECT_EQ(atr.text(), "3B021450");
  EXPECT_TRUE(message.Holds("SAM卡座1复位成功"));
  EXPECT_EQ(reader_.RawRequests().back(), HexBytes("02 00 02 02 01 05 03"));

  Buffer<587> untouched;
  reader_.Script(Reply::Status(0x0102));
  EXPECT_EQ(lib().SAMCAR2_POWER_ON(handle_, untouched.get(), message.get()), 258);
  EXPECT_TRUE(message.Holds("SAM卡座2复位失败"));
  EXPECT_TRUE(untouched.untouched());
  EXPECT_EQ(LastSent(), HexBytes("03 01"));

  reader_.Script({Reply::Status(0), Reply::Status(0x0001)});
  EXPECT_EQ(lib().SAMCAR2_POWER_OFF(handle_, message.get()), 0);
  EXPECT_TRUE(message.Holds("SAM卡座2去电成功"));
  EXPECT_EQ(reader_.RawRequests().back(), HexBytes("02 00 02 03 02 07 03"));
  EXPECT_EQ(lib().SAMCAR1_POWER_OFF(handle_, message.get()), 1);
  EXPECT_TRUE(message.Holds("SAM卡座1去电失败"));
  EXPECT_EQ(LastSent(), HexBytes("02 02"));
}

// ---- RF-SIM card ------------------------------------------------------------------------------

TEST_P(CommandTest, RfsimCardRequestAndHalt) {
  for (const auto& [mode, bit] : {std::pair{1, 1}, {2, 0}, {255, 1}}) {
    reader_.Script(Reply::Status(0x0102));
    MessageBuffer message;
    Buffer<17> id;
    EXPECT_EQ(lib().REQ_RFSIM_CARD(handle_, mode, id.get(), message.get()), 258);
    EXPECT_EQ(LastSent(), (Bytes{0x05, 0x01, static_cast<std::uint8_t>(bit)}));
    EXPECT_TRUE(id.untouched());
  }
  EXPECT_EQ(reader_.RawRequests()[0], HexBytes("02 00 03 05 01 01 0A 03"));

  MessageBuffer message;
  Buffer<17> id;
  reader_.Script(Reply::Answer(HexBytes("00 00 01 02 03 04 05 06 07 08")));
  EXPECT_EQ(lib().REQ_RFSIM_CARD(handle_, 1, id.get(), message.get()), 0);
  EXPECT_EQ(id.text(), "0102030405060708");
  EXPECT_TRUE(message.Holds("寻卡成功"));

  Buffer<17> short_id;
  reader_.Script(Reply::Answer(HexBytes("00 00 01 02 03 04 05 06 07")));
  EXPECT_EQ(lib().REQ_RFSIM_CARD(handle_, 1, short_id.get(), message.get()), 1);
  EXPECT_TRUE(message.Holds("寻卡失败，无卡"));
  EXPECT_TRUE(short_id.untouched());

  reader_.Script(Reply::Status(0));
  EXPECT_EQ(lib().RFSIM_HALT(handle_, message.get()), 0);
  EXPECT_TRUE(message.Holds("卡暂停成功"));
  EXPECT_EQ(reader_.RawRequests().back(), HexBytes("02 00 02 05 02 09 03"));
}

TEST_P(CommandTest, LenientApduRuleRowByRow) {
  const std::pair<const char*, const char*> accepted[] = {
      {"0084000008", "05 03 00 84 00 00 00 08"},                // case 2
      {"0084000008F", "05 03 00 84 00 00 00 08"},               // odd last character ignored
      {"00A40000023F00", "05 03 00 A4 00 00 02 00 3F 00"},      // case 3
      {"00A40000023F0010", "05 03 00 A4 00 00 02 10 3F 00"},    // case 4
      {"00A40000023F00AA10", "05 03 00 A4 00 00 02 10 3F 00"},  // surplus before Le dropped
      {"00B0000000", "05 03 00 B0 00 00 00 00"},
      {"00B000000010", "05 03 00 B0 00 00 00 10"},  // Lc 0 and an Le
  };
  for (const auto& [apdu, payload] : accepted) {
    reader_.Script(Reply::Status(0, HexBytes("90 00")));
    MessageBuffer message;
    Buffer<587> reply;
    EXPECT_EQ(lib().RFSIMCARD_APDU(handle_, apdu, reply.get(), message.get()), 0) << apdu;
    EXPECT_EQ(LastSent(), HexBytes(payload)) << apdu;
    EXPECT_EQ(reply.text(), "9000");
    EXPECT_TRUE(message.Holds("apdu执行指令成功"));
  }
  EXPECT_EQ(reader_.RawRequests()[3], HexBytes("02 00 0A 05 03 00 A4 00 00 02 10 3F 00 07 03"));

  reader_.ClearRecord();
  // 199 bytes (Lc 193, its data, Le FF) and an odd character: the longest text accepted.
  const std::string longest_accepted = "00D60000C1" + std::string(2 * 193, 'A') + "FF" + "F";
  const std::string refused[] = {
      "", "00A400", "00A400000201", "00A40000033F00", "00A4000002XX00", longest_accepted + "0"};
  for (const std::string& apdu : refused) ExpectRefused(&VorlexLibrary::RFSIMCARD_APDU, apdu);
  EXPECT_EQ(reader_.RequestCount(), 0u);
  reader_.Script(Reply::Status(0));
  MessageBuffer message;
  Buffer<587> reply;
  EXPECT_EQ(lib().RFSIMCARD_APDU(handle_, longest_accepted.c_str(), reply.get(), message.get()), 0);
  EXPECT_EQ(LastSent().size(), 8u + 193u);
  EXPECT_EQ(LastSent()[7], 0xFF);  // Le: the last whole byte
}

// Two threads on two readers at once: neither may see the other's APDU.
TEST_P(CommandTest, TwoThreadsOnTwoReadersKeepTheirOwnApdus) {
  engine::ScriptedReader second_reader;
  ReaderHandle second = Library(Edition::kDisplay).Open_Reader(second_reader.port().c_str());
  ASSERT_NE(second, nullptr);
  const auto answer = [](const engine::ParsedFrame&) { return Reply::Status(0, {0x90, 0x00}); };
  reader_.SetResponder(answer);
  second_reader.SetResponder(answer);
  constexpr int kRounds = 60;
  auto drive = [&](ReaderHandle handle, const char* apdu, bool rfsim) {
    for (int i = 0; i < kRounds; ++i) {
      MessageBuffer message;
      Buffer<587> reply;
      const int result = rfsim ? lib().RFSIMCARD_APDU(handle, apdu, reply.get(), message.get())
                               : lib().CPUCARD_APDU(handle, apdu, reply.get(), message.get());
      EXPECT_EQ(result, 0);
    }
  };
  std::thread one(drive, handle_, "00A40000023F00", false);
  std::thread two(drive, second, "80CA9F7F00112233445566778899AA", true);
  one.join();
  two.join();
  for (const Bytes& sent : reader_.Requests()) {
    EXPECT_EQ(sent, HexBytes("04 07 00 A4 00 00 02 00 3F 00"));
  }
  for (const Bytes& sent : second_reader.Requests()) {
    EXPECT_EQ(sent, HexBytes("05 03 80 CA 9F 7F 00 AA"));
  }
  EXPECT_EQ(reader_.RequestCount(), static_cast<std::size_t>(kRounds));
  EXPECT_EQ(second_reader.RequestCount(), static_cast<std::size_t>(kRounds));
  Library(Edition::kDisplay).Close_Reader(second);
}

}  // namespace
}  // namespace vorlex::testing
