// The e-purse edition's two purchase modules and the PurchaseRecord they fill.
#include <cstddef>

#include "support/reader_test.h"

namespace vorlex::testing {
namespace {

// A record whose every byte starts as a canary, with the purchase inputs set.
PurchaseRecord PreparedRecord(std::int32_t amount = 100, const char* prep = "0123456789ABCD") {
  PurchaseRecord record;
  std::memset(&record, kCanary, sizeof record);
  record.Amount = amount;
  // PrepData holds up to 16 characters, without a NUL when full, like any caller's record.
  std::memcpy(record.PrepData, prep, std::min(std::strlen(prep) + 1, sizeof record.PrepData));
  return record;
}

const unsigned char* BytesOf(const PurchaseRecord& record) {
  return reinterpret_cast<const unsigned char*>(&record);
}

// True when bytes [first, last] of the two records are equal.
bool SameBytes(const PurchaseRecord& a, const PurchaseRecord& b, std::size_t first,
               std::size_t last) {
  return std::memcmp(BytesOf(a) + first, BytesOf(b) + first, last - first + 1) == 0;
}

// The 31-byte (CPU card) / 35-byte (RF-SIM) answer of a card search with purchase set-up.
Bytes CardSearchAnswer(std::size_t card_id_bytes) {
  Bytes answer = {0x00, 0x00};
  for (std::size_t i = 0; i < card_id_bytes; ++i)
    answer.push_back(static_cast<std::uint8_t>(i + 1));
  const Bytes rest = HexBytes(
      "C0 C1 C2 C3 C4 C5 C6 C7 C8 C9"  // card information
      "D0 D1 D2 D3"                    // prep text
      "E1 E2"                          // prep bytes
      "01 02 03"                       // 24-bit card value: 66051
      "01 02"                          // 16-bit prep value: 258
      "00 00 27 10");                  // 32-bit prep value: 10000
  answer.insert(answer.end(), rest.begin(), rest.end());
  return answer;
}

struct Module {
  const char* name;
  std::uint8_t command_class;
  std::size_t card_id_bytes;
  decltype(&::CPU_PBOC_INIT_MODULE) VorlexLibrary::*init;
  decltype(&::CPU_PBOC_REQA_CARD) VorlexLibrary::*request_card;
  decltype(&::CPU_PBOC_PURCHASE) VorlexLibrary::*purchase;
  decltype(&::CPU_PBOC_GET_BALANCE) VorlexLibrary::*balance;
  decltype(&::CPU_PBOC_GET_CARDINFO) VorlexLibrary::*card_info;
  const char* texts[5][2];  // init, request card, purchase, balance, card info: failure, success
};

const Module kModules[] = {
    {"cpu",
     0xFE,
     4,
     &VorlexLibrary::CPU_PBOC_INIT_MODULE,
     &VorlexLibrary::CPU_PBOC_REQA_CARD,
     &VorlexLibrary::CPU_PBOC_PURCHASE,
     &VorlexLibrary::CPU_PBOC_GET_BALANCE,
     &VorlexLibrary::CPU_PBOC_GET_CARDINFO,
     {{"CPU卡PBOC交易模块初始化失败", "CPU卡PBOC交易模块初始化成功"},
      {"CPU卡PBOC交易寻卡初始化失败", "CPU卡PBOC交易寻卡初始化成功"},
      {"CPU卡PBOC交易失败", "CPU卡PBOC交易成功"},
      {"CPU卡PBOC获取余额失败", "CPU卡PBOC获取余额成功"},
      {"CPU卡PBOC寻卡获取信息失败", "CPU卡PBOC寻卡获取信息成功"}}},
    {"rfsim",
     0xFD,
     8,
     &VorlexLibrary::RFSIM_INIT_MODULE,
     &VorlexLibrary::RFSIM_REQA_CARD,
     &VorlexLibrary::RFSIM_PURCHASE,
     &VorlexLibrary::RFSIM_GET_BALANCE,
     &VorlexLibrary::RFSIM_GET_CARDINFO,
     {{"RF_SIM交易模块初始化失败", "RF_SIM交易模块初始化成功"},
      {"RF_SIM交易寻卡初始化失败", "RF_SIM交易寻卡初始化成功"},
      {"RF_SIM交易失败", "RF_SIM交易成功"},
      {"RF_SIM获取余额失败", "RF_SIM获取余额成功"},
      {"RF_SIM寻卡获取信息失败", "RF_SIM寻卡获取信息成功"}}},
};
enum { kInit, kRequestCard, kPurchase, kBalance, kCardInfo };

class PurchaseTest : public ReaderTest {
 protected:
  const VorlexLibrary& epurse_lib() const { return Library(Edition::kEpurse); }
  template <typename Member, typename... Args>
  int Call(const Module& module, Member member, Args... args) {
    return (epurse_lib().*(module.*member))(handle_, args...);
  }
};
INSTANTIATE_TEST_SUITE_P(Epurse, PurchaseTest, ::testing::Values(Edition::kEpurse), EditionName);

TEST_P(PurchaseTest, TheDisplayEditionHasNoPurchaseModule) {
  const VorlexLibrary& display = Library(Edition::kDisplay);
  for (const char* name :
       {"CPU_PBOC_INIT_MODULE", "CPU_PBOC_REQA_CARD", "CPU_PBOC_PURCHASE", "CPU_PBOC_GET_BALANCE",
        "CPU_PBOC_GET_CARDINFO", "RFSIM_INIT_MODULE", "RFSIM_REQA_CARD", "RFSIM_PURCHASE",
        "RFSIM_GET_BALANCE", "RFSIM_GET_CARDINFO"}) {
    EXPECT_EQ(display.Find(name), nullptr) << name;
  }
}

TEST_P(PurchaseTest, InitModuleSendsTheParameterBytesAndReturnsModuleData) {
  for (const Module& m : kModules) {
    SCOPED_TRACE(m.name);
    MessageBuffer message;
    Buffer<13> data;
    reader_.Script(Reply::Answer(HexBytes("00 00 11 22 33 44 55 66")));
    EXPECT_EQ(Call(m, &Module::init, 0, 0, data.get(), message.get()), 0);
    EXPECT_EQ(data.text(), "112233445566");
    EXPECT_TRUE(data.guard_intact());
    EXPECT_TRUE(message.Holds(m.texts[kInit][1]));
    Bytes frame = {0x02, 0x00, 0x04, m.command_class,
                   0x01, 0x00, 0x00, static_cast<std::uint8_t>(0x04 + m.command_class + 0x01),
                   0x03};
    EXPECT_EQ(reader_.RawRequests().back(), frame);

    Buffer<13> untouched;
    reader_.Script(Reply::Answer(HexBytes("00 00 11 22 33 44 55")));
    EXPECT_EQ(Call(m, &Module::init, 0x106, 0x2FF, untouched.get(), message.get()), 1);
    EXPECT_EQ(LastSent(), (Bytes{m.command_class, 0x01, 0x06, 0xFF}));
    EXPECT_TRUE(message.Holds(m.texts[kInit][0]));
    EXPECT_TRUE(untouched.untouched());
  }
  EXPECT_EQ(reader_.RawRequests()[0], HexBytes("02 00 04 FE 01 00 00 03 03"));
}

TEST_P(PurchaseTest, CardSearchSendsAmountAndPrepDataFromTheRecordCopy) {
  const char* frames[] = {"02 00 0E FE 02 06 00 00 00 64 01 23 45 67 89 AB CD 49 03",
                          "02 00 0E FD 02 06 00 00 00 64 01 23 45 67 89 AB CD 48 03"};
  for (std::size_t i = 0; i < 2; ++i) {
    const Module& m = kModules[i];
    MessageBuffer message;
    PurchaseRecord record = PreparedRecord();
    reader_.Script(Reply::Status(0x0001));
    EXPECT_EQ(Call(m, &Module::request_card, 0x06, record, &record, message.get()), 1);
    EXPECT_EQ(reader_.RawRequests().back(), HexBytes(frames[i]));

    PurchaseRecord lower = PreparedRecord(-1, "0123456789abcdEXTRA");
    reader_.Script(Reply::Status(0x0001));
    EXPECT_EQ(Call(m, &Module::request_card, 0x106, lower, &lower, message.get()), 1);
    EXPECT_EQ(LastSent(), (Bytes{m.command_class, 0x02, 0x06, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x23,
                                 0x45, 0x67, 0x89, 0xAB, 0xCD}));

    PurchaseRecord short_prep = PreparedRecord(1, "01x3");
    reader_.Script(Reply::Status(0x0001));
    EXPECT_EQ(Call(m, &Module::request_card, 0, short_prep, &short_prep, message.get()), 1);
    EXPECT_EQ(LastSent(), (Bytes{m.command_class, 0x02, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00,
                                 0x00, 0x00, 0x00, 0x00, 0x00}));
  }
}

TEST_P(PurchaseTest, CardSearchFillsTheRecordAndNothingElse) {
  for (const Module& m : kModules) {
    SCOPED_TRACE(m.name);
    MessageBuffer message;
    PurchaseRecord record = PreparedRecord();
    const PurchaseRecord before = record;
    reader_.Script(Reply::Answer(CardSearchAnswer(m.card_id_bytes)));
    // The record goes in by value and the outputs come back into the very same record.
    EXPECT_EQ(Call(m, &Module::request_card, 6, record, &record, message.get()), 0);
    EXPECT_TRUE(message.Holds(m.texts[kRequestCard][1]));
    EXPECT_EQ(std::string(record.CardId), m.card_id_bytes == 4 ? "01020304" : "0102030405060708");
    EXPECT_EQ(std::string(record.CardInfo), "C0C1C2C3C4C5C6C7C8C9");
    EXPECT_EQ(std::string(record.PrepText), "D0D1D2D3");
    EXPECT_EQ(record.PrepByte1, 0xE1);
    EXPECT_EQ(record.PrepByte2, 0xE2);
    EXPECT_EQ(record.CardValue24, 66051u);
    EXPECT_EQ(record.PrepValue16, 258u);
    EXPECT_EQ(record.PrepValue32, 10000u);
    // Bytes after each text's NUL, the caller's bytes and the inputs keep their values.
    const std::size_t id_end = 15 + 2 * m.card_id_bytes;  // the NUL
    EXPECT_TRUE(SameBytes(record, before, id_end + 1, 35));
    EXPECT_TRUE(SameBytes(record, before, 0, 14));
    EXPECT_TRUE(SameBytes(record, before, 57, 79));  // unused bytes, Amount, PrepData
    EXPECT_TRUE(SameBytes(record, before, 99, 99));
    EXPECT_TRUE(SameBytes(record, before, 104, 139));  // result texts and the last two bytes
  }
}

TEST_P(PurchaseTest, ACpuSearchAfterAnRfsimSearchWritesOnlyItsShorterCardId) {
  MessageBuffer message;
  PurchaseRecord record = PreparedRecord();
  reader_.Script(Reply::Answer(CardSearchAnswer(8)));
  ASSERT_EQ(Call(kModules[1], &Module::request_card, 6, record, &record, message.get()), 0);
  EXPECT_EQ(BytesOf(record)[31], 0);
  EXPECT_EQ(BytesOf(record)[32], kCanary);
  Bytes cpu_answer = CardSearchAnswer(4);
  cpu_answer[2] = 0xAA;
  reader_.Script(Reply::Answer(cpu_answer));
  ASSERT_EQ(Call(kModules[0], &Module::request_card, 6, record, &record, message.get()), 0);
  EXPECT_EQ(std::string(record.CardId), "AA020304");
  EXPECT_EQ(std::string(record.CardId + 9), "5060708");  // the rest of the RF-SIM text
}

TEST_P(PurchaseTest, FailedOrShortCardSearchesLeaveTheRecordAlone) {
  for (const Module& m : kModules) {
    SCOPED_TRACE(m.name);
    MessageBuffer message;
    PurchaseRecord record = PreparedRecord();
    const PurchaseRecord before = record;
    Bytes short_answer = CardSearchAnswer(m.card_id_bytes);
    short_answer.pop_back();
    Bytes refused = CardSearchAnswer(m.card_id_bytes);
    refused[1] = 0x01;
    for (const Bytes& answer : {short_answer, refused}) {
      reader_.Script(Reply::Answer(answer));
      EXPECT_NE(Call(m, &Module::request_card, 6, record, &record, message.get()), 0);
      EXPECT_TRUE(message.Holds(m.texts[kRequestCard][0]));
      EXPECT_EQ(std::memcmp(&record, &before, sizeof record), 0);
    }
    Bytes info = {0x00, 0x00};
    info.resize(14 + m.card_id_bytes, 0x11);  // one byte short
    reader_.Script(Reply::Answer(info));
    EXPECT_EQ(Call(m, &Module::card_info, 0, &record, message.get()), 1);
    EXPECT_TRUE(message.Holds(m.texts[kCardInfo][0]));
    EXPECT_EQ(std::memcmp(&record, &before, sizeof record), 0);
  }
}

TEST_P(PurchaseTest, PurchaseFillsFourResultTextsWithoutOverlap) {
  for (const Module& m : kModules) {
    SCOPED_TRACE(m.name);
    MessageBuffer message;
    PurchaseRecord record = PreparedRecord();
    const PurchaseRecord before = record;
    reader_.Script(Reply::Status(0, HexBytes("11 11 11 11 22 22 22 22 33 33 33 33 44 45 46 47")));
    EXPECT_EQ(Call(m, &Module::purchase, &record, message.get()), 0);
    EXPECT_EQ(LastSent(), (Bytes{m.command_class, 0x03}));
    EXPECT_TRUE(message.Holds(m.texts[kPurchase][1]));
    EXPECT_EQ(std::string(record.ResultText1), "11111111");
    EXPECT_EQ(std::string(record.ResultText2), "22222222");
    EXPECT_EQ(std::string(record.ResultText3), "33333333");
    EXPECT_EQ(std::string(record.ResultText4), "444546");  // the 7 bytes hold 6 characters + NUL
    EXPECT_TRUE(SameBytes(record, before, 0, 103));
    EXPECT_TRUE(SameBytes(record, before, 138, 139));
  }
  EXPECT_EQ(reader_.RawRequests().back(), HexBytes("02 00 02 FD 03 02 03"));
}

TEST_P(PurchaseTest, ShortPurchaseAnswersNeverLeaveAnEarlierPurchasesValues) {
  for (const Module& m : kModules) {
    SCOPED_TRACE(m.name);
    MessageBuffer message;
    PurchaseRecord record = PreparedRecord();
    reader_.Script(Reply::Status(0, Bytes(16, 0x99)));
    ASSERT_EQ(Call(m, &Module::purchase, &record, message.get()), 0);
    const PurchaseRecord earlier = record;

    reader_.Script(Reply::Status(0, Bytes(7, 0x12)));  // 9 bytes in all
    EXPECT_EQ(Call(m, &Module::purchase, &record, message.get()), 1);
    EXPECT_TRUE(message.Holds(m.texts[kPurchase][0]));
    EXPECT_EQ(std::memcmp(&record, &earlier, sizeof record), 0);

    reader_.Script(Reply::Status(0, HexBytes("01 02 03 04 05 06 07 08")));  // 10 bytes
    EXPECT_EQ(Call(m, &Module::purchase, &record, message.get()), 0);
    EXPECT_EQ(std::string(record.ResultText1), "01020304");
    EXPECT_EQ(std::string(record.ResultText2), "05060708");
    EXPECT_EQ(std::string(record.ResultText3), "");
    EXPECT_EQ(std::string(record.ResultText4), "");

    reader_.Script(Reply::Status(0, HexBytes("01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F")));
    EXPECT_EQ(Call(m, &Module::purchase, &record, message.get()), 0);
    EXPECT_EQ(std::string(record.ResultText3), "090A0B0C");
    EXPECT_EQ(std::string(record.ResultText4), "");
  }
}

TEST_P(PurchaseTest, BalanceIsStoredInThePlatformsOrder) {
  for (const Module& m : kModules) {
    SCOPED_TRACE(m.name);
    MessageBuffer message;
    std::int32_t balance = -7;
    reader_.Script(Reply::Answer(HexBytes("00 00 00 00 27 10")));
    EXPECT_EQ(Call(m, &Module::balance, &balance, message.get()), 0);
    EXPECT_EQ(balance, 10000);
    EXPECT_TRUE(message.Holds(m.texts[kBalance][1]));
    EXPECT_EQ(LastSent(), (Bytes{m.command_class, 0x04}));

    for (const char* answer : {"12 34 00 00 00 01", "00 00 00 00 01"}) {
      reader_.Script(Reply::Answer(HexBytes(answer)));
      EXPECT_EQ(Call(m, &Module::balance, &balance, message.get()), answer[0] == '1' ? 0x1234 : 1);
      EXPECT_EQ(balance, 10000);
      EXPECT_TRUE(message.Holds(m.texts[kBalance][0]));
    }
  }
}

TEST_P(PurchaseTest, CardInfoSendsZerosAndFillsThreeFields) {
  for (const Module& m : kModules) {
    SCOPED_TRACE(m.name);
    MessageBuffer message;
    PurchaseRecord record = PreparedRecord();
    const PurchaseRecord before = record;
    Bytes answer = {0x00, 0x00};
    for (std::size_t i = 0; i < m.card_id_bytes; ++i) answer.push_back(0xB0);
    const Bytes rest = HexBytes("01 02 03 04 05 06 07 08 09 0A 00 01 00");
    answer.insert(answer.end(), rest.begin(), rest.end());
    reader_.Script(Reply::Answer(answer));
    EXPECT_EQ(Call(m, &Module::card_info, 0x12345678, &record, message.get()), 0);
    Bytes request = {m.command_class, 0x05};
    request.resize(14, 0x00);
    EXPECT_EQ(LastSent(), request);
    EXPECT_TRUE(message.Holds(m.texts[kCardInfo][1]));
    EXPECT_EQ(std::string(record.CardId), m.card_id_bytes == 4 ? "B0B0B0B0" : "B0B0B0B0B0B0B0B0");
    EXPECT_EQ(std::string(record.CardInfo), "0102030405060708090A");
    EXPECT_EQ(record.CardValue24, 256u);
    EXPECT_TRUE(SameBytes(record, before, 57, 99));  // no purchase set-up field
    EXPECT_TRUE(SameBytes(record, before, 104, 139));
  }
}

}  // namespace
}  // namespace vorlex::testing
