// The simulated reader as the library's callers see it: the e-purse edition's exports (linked)
// and the display edition's LED_DISPLAY, over the engine's pty.
#include <gtest/gtest.h>
#include <iconv.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "sim_fixture.h"
#include "vorlex_epurse.h"

namespace vorlex::sim {
namespace {

using testing::Display;
using testing::SimOnPty;

constexpr const char* kKey = "FFFFFFFFFFFF";

struct Outputs {
  char message[VORLEX_MESSAGE_SIZE];
  char text[VORLEX_REPLY_TEXT_SIZE];
  char second[VORLEX_REPLY_TEXT_SIZE];
};

ReaderOptions CardFile(const std::filesystem::path& path) {
  ReaderOptions options;
  options.card_file = path;
  return options;
}

ReaderOptions Balance(std::uint32_t cents) {
  ReaderOptions options;
  options.balance = cents;
  return options;
}

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/vorlex-sim-test-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::filesystem::path operator/(const char* name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

TEST(SimThroughLibrary, Versions) {
  SimOnPty sim;
  unsigned char version[VORLEX_VERSION_SIZE] = {};
  char message[VORLEX_MESSAGE_SIZE];
  ASSERT_EQ(GET_HARDWARE_VER(sim.handle(), version, message), 0);
  EXPECT_STREQ(reinterpret_cast<char*>(version), "VORLEX-SIM HW 1.0");
  std::memset(version, 0, sizeof version);
  ASSERT_EQ(GET_SOFTWARE_VER(sim.handle(), version, message), 0);
  EXPECT_STREQ(reinterpret_cast<char*>(version), "VORLEX-SIM SW 1.0");
  EXPECT_EQ(BELL_BEEP(sim.handle(), 100), 0);
  EXPECT_EQ(sim.reader().Beeps(), 1);
}

TEST(SimThroughLibrary, MifareSessionRules) {
  SimOnPty sim;
  const ReaderHandle h = sim.handle();
  Outputs o;
  EXPECT_EQ(MIFS_AUTH(h, 1, 0, kKey, o.message), kCardNotSelected) << "before any request";
  ASSERT_EQ(REQ_14443_CARD(h, 0, o.text, o.second, o.message), 0);
  EXPECT_STREQ(o.text, "0004");
  EXPECT_STREQ(o.second, "3A5C719E");
  char ats[VORLEX_ATS_TEXT_SIZE];
  ASSERT_EQ(ATS_14443_CARD(h, ats, o.message), 0);
  EXPECT_STREQ(ats, "0B78807002564F524C4558");

  EXPECT_EQ(MIFS_READ(h, 1, 0, o.text, o.message), kNotAuthenticated);
  EXPECT_EQ(MIFS_AUTH(h, 1, 0, "A0A1A2A3A4A5", o.message), kAuthFailed);
  EXPECT_EQ(MIFS_AUTH(h, 1, 0, kKey, o.message), kCardNotSelected) << "muted until a request";
  ASSERT_EQ(REQ_14443_CARD(h, 0, o.text, o.second, o.message), 0);
  ASSERT_EQ(MIFS_AUTH(h, 1, 0, kKey, o.message), 0);
  ASSERT_EQ(MIFS_READ(h, 1, 0, o.text, o.message), 0);
  EXPECT_STREQ(o.text, "564F524C45582053494D204341524420");  // "VORLEX SIM CARD "
  const char* data = "00112233445566778899AABBCCDDEEFF";
  ASSERT_EQ(MIFS_WRITE(h, 1, 1, data, o.message), 0);
  ASSERT_EQ(MIFS_READ(h, 1, 1, o.text, o.message), 0);
  EXPECT_STREQ(o.text, data);
  EXPECT_EQ(MIFS_READ(h, 16, 0, o.text, o.message), kBadAddress);

  ASSERT_EQ(MIFS_HALT(h, o.message), 0);
  EXPECT_EQ(MIFS_READ(h, 1, 1, o.text, o.message), kCardNotSelected);
  EXPECT_EQ(REQ_14443_CARD(h, 0, o.text, o.second, o.message), kNoCard) << "halted: mode 0";
  ASSERT_EQ(REQ_14443_CARD(h, 1, o.text, o.second, o.message), 0) << "mode 1 wakes it";
  EXPECT_EQ(MIFS_READ(h, 1, 1, o.text, o.message), kNotAuthenticated) << "halt ended the session";
}

TEST(SimThroughLibrary, CardFilePersistsWritesAcrossSimulators) {
  TempDir dir;
  const std::filesystem::path file = dir / "card.mfd";
  const char* data = "CAFEBABE000000000000000000000001";
  Outputs o;
  {
    SimOnPty sim(CardFile(file));
    ASSERT_EQ(REQ_14443_CARD(sim.handle(), 0, o.text, o.second, o.message), 0);
    ASSERT_EQ(MIFS_AUTH(sim.handle(), 5, 0, kKey, o.message), 0);
    ASSERT_EQ(MIFS_WRITE(sim.handle(), 5, 2, data, o.message), 0);
  }
  ASSERT_EQ(std::filesystem::file_size(file), 1024u);
  std::ifstream in(file, std::ios::binary);
  in.seekg((5 * 4 + 2) * 16);
  unsigned char stored[4];
  in.read(reinterpret_cast<char*>(stored), 4);
  EXPECT_EQ(stored[0], 0xCA);
  EXPECT_EQ(stored[3], 0xBE);

  SimOnPty again(CardFile(file));
  ASSERT_EQ(REQ_14443_CARD(again.handle(), 0, o.text, o.second, o.message), 0);
  EXPECT_STREQ(o.second, "3A5C719E") << "the UID comes from block 0 of the file";
  ASSERT_EQ(MIFS_AUTH(again.handle(), 5, 0, kKey, o.message), 0);
  ASSERT_EQ(MIFS_READ(again.handle(), 5, 2, o.text, o.message), 0);
  EXPECT_STREQ(o.text, data);

  std::ofstream(dir / "short.mfd") << "not a card";
  EXPECT_THROW(VirtualReader(CardFile(dir / "short.mfd")), std::runtime_error);

  // No folder to save in: refused at start. A folder that goes away later: the write answers
  // a status of its own, though the card holds the block.
  EXPECT_THROW(VirtualReader(CardFile(dir / "missing" / "card.mfd")), std::runtime_error);
  std::filesystem::create_directory(dir / "gone");
  SimOnPty lost(CardFile(dir / "gone" / "card.mfd"));
  std::filesystem::remove(dir / "gone");
  ASSERT_EQ(REQ_14443_CARD(lost.handle(), 0, o.text, o.second, o.message), 0);
  ASSERT_EQ(MIFS_AUTH(lost.handle(), 5, 0, kKey, o.message), 0);
  EXPECT_EQ(MIFS_WRITE(lost.handle(), 5, 2, data, o.message), kCardNotSaved);
  ASSERT_EQ(MIFS_READ(lost.handle(), 5, 2, o.text, o.message), 0);
  EXPECT_STREQ(o.text, data);
}

// Both purchase modules behave alike; only the card identifier differs.
struct ModuleCalls {
  const char* name;
  decltype(&CPU_PBOC_INIT_MODULE) init;
  decltype(&CPU_PBOC_REQA_CARD) request;
  decltype(&CPU_PBOC_PURCHASE) purchase;
  decltype(&CPU_PBOC_GET_BALANCE) balance;
  decltype(&CPU_PBOC_GET_CARDINFO) card_info;
  const char* card_id;
  std::uint32_t (VirtualReader::*purse)() const;
};

// Test names say which; gtest would print the bytes otherwise.
void PrintTo(const ModuleCalls& calls, std::ostream* out) { *out << calls.name; }

class PurseTest : public ::testing::TestWithParam<ModuleCalls> {};

std::string Hex32(std::uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", value);
  return text;
}

TEST_P(PurseTest, PurchaseDebitsTheBalanceAndRefusesWhatItCannotCover) {
  const ModuleCalls& m = GetParam();
  SimOnPty sim(Balance(5000));
  const ReaderHandle h = sim.handle();
  Outputs o;
  PurchaseRecord record{};
  std::strcpy(record.PrepData, "20240315143000");
  record.Amount = 1234;

  EXPECT_EQ(m.request(h, 0, record, &record, o.message), kModuleNotInitialised);
  EXPECT_EQ(m.purchase(h, &record, o.message), kNoPurchasePrepared);
  ASSERT_EQ(m.init(h, 0, 0, o.text, o.message), 0);
  EXPECT_STREQ(o.text, "100000000001") << "terminal number";
  std::int32_t balance = 0;
  ASSERT_EQ(m.balance(h, &balance, o.message), 0);
  EXPECT_EQ(balance, 5000);

  ASSERT_EQ(m.request(h, 0, record, &record, o.message), 0);
  EXPECT_STREQ(record.CardId, m.card_id);
  EXPECT_EQ(record.CardValue24, 5000u);
  EXPECT_EQ(record.PrepValue16, 0u) << "transaction counter";
  EXPECT_EQ(record.PrepValue32, 1234u) << "amount accepted";
  EXPECT_EQ(record.PrepByte1, 0x01) << "key version";
  ASSERT_EQ(m.purchase(h, &record, o.message), 0);
  EXPECT_EQ(std::string(record.ResultText1), Hex32(0)) << "transaction serial";
  EXPECT_EQ(std::string(record.ResultText2), Hex32(1234));
  EXPECT_EQ(std::string(record.ResultText3), Hex32(5000 - 1234)) << "balance after";
  EXPECT_EQ(std::strlen(record.ResultText4), 6u);
  EXPECT_EQ(m.purchase(h, &record, o.message), kNoPurchasePrepared) << "one purchase per search";
  ASSERT_EQ(m.balance(h, &balance, o.message), 0);
  EXPECT_EQ(balance, 5000 - 1234);

  record.Amount = 5000 - 1234 + 1;
  EXPECT_EQ(m.request(h, 0, record, &record, o.message), kInsufficientBalance);
  EXPECT_EQ(m.purchase(h, &record, o.message), kNoPurchasePrepared);
  record.Amount = 0;
  EXPECT_EQ(m.request(h, 0, record, &record, o.message), kBadAmount);
  record.Amount = 5000 - 1234;  // exactly the balance
  ASSERT_EQ(m.request(h, 0, record, &record, o.message), 0);
  EXPECT_EQ(record.PrepValue16, 1u);
  ASSERT_EQ(m.purchase(h, &record, o.message), 0);
  EXPECT_EQ(std::string(record.ResultText1), Hex32(1));
  EXPECT_EQ((sim.reader().*m.purse)(), 0u);

  PurchaseRecord info{};
  ASSERT_EQ(m.card_info(h, 0, &info, o.message), 0);
  EXPECT_STREQ(info.CardId, m.card_id);
  EXPECT_EQ(info.CardValue24, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Modules, PurseTest,
    ::testing::Values(ModuleCalls{"cpu", CPU_PBOC_INIT_MODULE, CPU_PBOC_REQA_CARD,
                                  CPU_PBOC_PURCHASE, CPU_PBOC_GET_BALANCE, CPU_PBOC_GET_CARDINFO,
                                  "3A5C719E", &VirtualReader::CpuBalance},
                      ModuleCalls{"rfsim", RFSIM_INIT_MODULE, RFSIM_REQA_CARD, RFSIM_PURCHASE,
                                  RFSIM_GET_BALANCE, RFSIM_GET_CARDINFO, "860123456789ABCD",
                                  &VirtualReader::RfsimBalance}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(SimThroughLibrary, EmptyFieldAnswersNoCard) {
  ReaderOptions empty;
  empty.no_card = true;
  SimOnPty sim(empty);
  Outputs o;
  PurchaseRecord record{};
  record.Amount = 1;
  EXPECT_EQ(REQ_14443_CARD(sim.handle(), 1, o.text, o.second, o.message), kNoCard);
  EXPECT_EQ(REQ_RFSIM_CARD(sim.handle(), 1, o.text, o.message), kNoCard);
  ASSERT_EQ(CPU_PBOC_INIT_MODULE(sim.handle(), 0, 0, o.text, o.message), 0);
  EXPECT_EQ(CPU_PBOC_REQA_CARD(sim.handle(), 0, record, &record, o.message), kNoCard);
}

TEST(SimThroughLibrary, SamSlotsAnswerOnlyWhilePowered) {
  SimOnPty sim;
  const ReaderHandle h = sim.handle();
  Outputs o;
  const auto sam_apdu = {SAMCAR1_APDU, SAMCAR2_APDU};
  for (auto apdu : sam_apdu) {
    EXPECT_EQ(apdu(h, "0084000008", o.text, o.message), kSamNotPowered);
  }
  ASSERT_EQ(SAMCAR1_POWER_ON(h, o.text, o.message), 0);
  EXPECT_STREQ(o.text, "3B680000564F524C45585331");
  ASSERT_EQ(SAMCAR1_APDU(h, "0084000008", o.text, o.message), 0);
  EXPECT_EQ(std::strlen(o.text), 20u);
  EXPECT_STREQ(o.text + 16, "9000");
  EXPECT_EQ(SAMCAR2_APDU(h, "0084000008", o.text, o.message), kSamNotPowered) << "slots apart";
  ASSERT_EQ(SAMCAR1_APDU(h, "00B0960006", o.text, o.message), 0);
  EXPECT_STREQ(o.text, "1000000000019000") << "EF 0016 holds the terminal number";
  ASSERT_EQ(SAMCAR1_POWER_OFF(h, o.message), 0);
  EXPECT_EQ(SAMCAR1_APDU(h, "0084000008", o.text, o.message), kSamNotPowered);
}

TEST(SimThroughLibrary, CardAndRfsimApdus) {
  SimOnPty sim(Balance(4660));
  const ReaderHandle h = sim.handle();
  Outputs o;
  EXPECT_EQ(CPUCARD_APDU(h, "0084000004", o.text, o.message), kCardNotSelected);
  ASSERT_EQ(REQ_14443_CARD(h, 0, o.text, o.second, o.message), 0);
  // SELECT 2PAY.SYS.DDF01: FCI with the name, then 9000.
  ASSERT_EQ(CPUCARD_APDU(h, "00A404000E325041592E5359532E4444463031", o.text, o.message), 0);
  EXPECT_STREQ(o.text, "6F12840E325041592E5359532E4444463031A5009000");
  ASSERT_EQ(CPUCARD_APDU(h, "805C000204", o.text, o.message), 0);
  EXPECT_STREQ(o.text, "000012349000") << "GET BALANCE reads the CPU card purse";
  ASSERT_EQ(CPUCARD_APDU(h, "00B0950004", o.text, o.message), 0);
  EXPECT_STREQ(o.text, "3A5C719E9000") << "EF 0015 starts with the card identity";
  ASSERT_EQ(CPUCARD_APDU(h, "00CA000000", o.text, o.message), 0);
  EXPECT_STREQ(o.text, "6D00");

  EXPECT_EQ(RFSIMCARD_APDU(h, "00B0950008", o.text, o.message), kCardNotSelected);
  ASSERT_EQ(REQ_RFSIM_CARD(h, 0, o.text, o.message), 0);
  EXPECT_STREQ(o.text, "860123456789ABCD");
  ASSERT_EQ(RFSIMCARD_APDU(h, "00B0950008", o.text, o.message), 0);
  EXPECT_STREQ(o.text, "860123456789ABCD9000");
  ASSERT_EQ(RFSIM_HALT(h, o.message), 0);
  EXPECT_EQ(RFSIMCARD_APDU(h, "00B0950008", o.text, o.message), kCardNotSelected);
}

TEST(SimThroughLibrary, DisplayTextArrivesAsTheCallerSentIt) {
  SimOnPty sim;
  const std::string gbk = "\xBB\xB6\xD3\xAD 12.34";  // "欢迎 12.34"
  ASSERT_EQ(Display().led_display(sim.handle(), gbk.c_str(), 5), 0);
  EXPECT_EQ(sim.reader().LastDisplayText(), Bytes(gbk.begin(), gbk.end()));
  EXPECT_EQ(GbkToUtf8(sim.reader().LastDisplayText()), "欢迎 12.34");
}

// What each fault does to an exchange, with the library's three attempts. Prints what each
// command took (docs/simulator.md quotes the figures); the times are not checked.
struct FaultCase {
  const char* name;
  FaultOptions faults;
  int beeps;  // BELL_BEEP calls made
  int result;
  std::size_t requests;  // frames the reader saw
};

void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.name; }

class FaultTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultTest, LibraryOutcome) {
  const FaultCase& c = GetParam();
  SimOnPty sim({}, c.faults);
  int result = 0;
  std::string times;
  for (int i = 0; i < c.beeps; ++i) {
    const auto started = std::chrono::steady_clock::now();
    result = BELL_BEEP(sim.handle(), 1);
    const std::chrono::duration<double, std::milli> took =
        std::chrono::steady_clock::now() - started;
    char figure[32];
    std::snprintf(figure, sizeof figure, "%s%.1f", i == 0 ? "" : ", ", took.count());
    times += figure;
  }
  std::printf("fault timing: %s: result %d, ms per BELL_BEEP in a row: %s\n", c.name, result,
              times.c_str());
  EXPECT_EQ(result, c.result);
  EXPECT_EQ(sim.engine().RequestCount(), c.requests);
}

FaultOptions Faults(void (*change)(FaultOptions&)) {
  FaultOptions faults;
  change(faults);
  return faults;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultTest,
    ::testing::Values(
        FaultCase{"none", {}, 3, 0, 3},
        FaultCase{"silent", Faults([](FaultOptions& f) { f.silent = true; }), 1, 1, 3},
        // The second request goes unanswered; the library's second attempt gets through.
        FaultCase{"drop_every_2", Faults([](FaultOptions& f) { f.drop_every = 2; }), 2, 0, 3},
        FaultCase{"corrupt_stx", Faults([](FaultOptions& f) { f.corrupt = Corruption::kStx; }), 1,
                  1, 3},
        FaultCase{"corrupt_etx", Faults([](FaultOptions& f) { f.corrupt = Corruption::kEtx; }), 1,
                  1, 3},
        // The second beep's first answer is hit, its retry is not.
        FaultCase{"corrupt_stx_every_2", Faults([](FaultOptions& f) {
                    f.corrupt = Corruption::kStx;
                    f.fault_every = 2;
                  }),
                  2, 0, 3},
        // The library does not compare the checksum: the answer is taken.
        FaultCase{"corrupt_checksum",
                  Faults([](FaultOptions& f) { f.corrupt = Corruption::kChecksum; }), 1, 0, 1},
        FaultCase{"truncate_every_2nd", Faults([](FaultOptions& f) {
                    f.truncate = true;
                    f.fault_every = 2;
                  }),
                  1, 0, 1},
        FaultCase{"truncate", Faults([](FaultOptions& f) { f.truncate = true; }), 1, 1, 3},
        FaultCase{"slow_bytes",
                  Faults([](FaultOptions& f) { f.per_byte = std::chrono::microseconds(500); }), 1,
                  0, 1},
        FaultCase{"pace", Faults([](FaultOptions& f) { f.per_byte = kLineSpeedPerByte; }), 1, 0,
                  1}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace vorlex::sim
