// The driver's entry points, called as pcscd calls them, against the simulator's reader
// in-process on a pty: capabilities, ATRs, the storage-card pseudo-APDUs (a table), APDU relay,
// presence and power.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

extern "C" {
#include <ifdhandler.h>
#include <reader.h>
}

#include "reader_frame.h"
#include "scripted_reader.h"
#include "sim_responder.h"
#include "virtual_reader.h"

namespace vorlex::pcsc::testing {
namespace {

using engine::Bytes;
using sim::CardKind;

// The built driver, loaded as pcscd loads it.
struct Driver {
  Driver() {
    handle = dlopen(VORLEX_PCSC_DRIVER, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) throw std::runtime_error(dlerror());
    create = Symbol<decltype(&IFDHCreateChannelByName)>("IFDHCreateChannelByName");
    close = Symbol<decltype(&IFDHCloseChannel)>("IFDHCloseChannel");
    capabilities = Symbol<decltype(&IFDHGetCapabilities)>("IFDHGetCapabilities");
    power = Symbol<decltype(&IFDHPowerICC)>("IFDHPowerICC");
    transmit = Symbol<decltype(&IFDHTransmitToICC)>("IFDHTransmitToICC");
    presence = Symbol<decltype(&IFDHICCPresence)>("IFDHICCPresence");
    control = Symbol<decltype(&IFDHControl)>("IFDHControl");
    protocol = Symbol<decltype(&IFDHSetProtocolParameters)>("IFDHSetProtocolParameters");
  }
  template <typename F>
  F Symbol(const char* name) {
    void* symbol = dlsym(handle, name);
    if (symbol == nullptr) throw std::runtime_error(std::string("no ") + name);
    return reinterpret_cast<F>(symbol);
  }
  void* handle;
  decltype(&IFDHCreateChannelByName) create;
  decltype(&IFDHCloseChannel) close;
  decltype(&IFDHGetCapabilities) capabilities;
  decltype(&IFDHPowerICC) power;
  decltype(&IFDHTransmitToICC) transmit;
  decltype(&IFDHICCPresence) presence;
  decltype(&IFDHControl) control;
  decltype(&IFDHSetProtocolParameters) protocol;
};

Driver& TheDriver() {
  static Driver driver;
  return driver;
}

Bytes Hex(const std::string& text) {
  const std::optional<Bytes> bytes = engine::ParseHex(text);
  if (!bytes) throw std::invalid_argument("not hex: " + text);
  return *bytes;
}

std::string HexOf(const Bytes& bytes) { return engine::HexText(bytes); }

constexpr DWORD kField = 0, kSam1 = 1, kSam2 = 2, kRfsim = 3;

// One simulated reader on a pty, opened by the driver as reader 0 (all four slots).
class DriverOnSim : public ::testing::Test {
 protected:
  void Open(CardKind card = CardKind::kDual) {
    sim::ReaderOptions options;
    options.card = card;
    reader_ = std::make_unique<sim::VirtualReader>(options);
    engine_ = std::make_unique<engine::ScriptedReader>();
    engine_->SetResponder(sim::MakeResponder(*reader_, {}));
    std::string port = engine_->port();
    ASSERT_EQ(driver().create(kField, port.data()), IFD_SUCCESS);
    for (DWORD slot : {kSam1, kSam2, kRfsim})
      ASSERT_EQ(driver().create(slot, port.data()), IFD_SUCCESS);
    open_ = true;
  }
  void TearDown() override {
    if (!open_) return;
    for (DWORD slot : {kField, kSam1, kSam2, kRfsim}) driver().close(slot);
  }

  Driver& driver() { return TheDriver(); }
  sim::VirtualReader& reader() { return *reader_; }

  Bytes PowerUp(DWORD slot, DWORD action = IFD_POWER_UP) {
    UCHAR atr[MAX_ATR_SIZE] = {};
    DWORD length = sizeof atr;
    if (driver().power(slot, action, atr, &length) != IFD_SUCCESS) return {};
    return Bytes(atr, atr + length);
  }

  // The response; "gone" when the card session is lost, "too small" for the receive buffer,
  // "error" for any other transport failure.
  std::string Send(DWORD slot, const std::string& apdu) {
    Bytes command = Hex(apdu);
    UCHAR response[MAX_BUFFER_SIZE_EXTENDED];
    DWORD length = sizeof response;
    SCARD_IO_HEADER header{SCARD_PROTOCOL_T1, 0};
    const RESPONSECODE result =
        driver().transmit(slot, header, command.data(), static_cast<DWORD>(command.size()),
                          response, &length, nullptr);
    if (result == IFD_ICC_NOT_PRESENT) return "gone";
    if (result == IFD_ERROR_INSUFFICIENT_BUFFER) return "too small";
    if (result != IFD_SUCCESS) return "error";
    return HexOf(Bytes(response, response + length));
  }
  // Send with a receive buffer of `room` bytes.
  std::string SendInto(DWORD slot, const std::string& apdu, DWORD room) {
    Bytes command = Hex(apdu);
    UCHAR response[MAX_BUFFER_SIZE_EXTENDED];
    SCARD_IO_HEADER header{SCARD_PROTOCOL_T1, 0};
    const RESPONSECODE result = driver().transmit(
        slot, header, command.data(), static_cast<DWORD>(command.size()), response, &room, nullptr);
    if (result == IFD_ERROR_INSUFFICIENT_BUFFER) return "too small";
    if (result != IFD_SUCCESS) return "error";
    return HexOf(Bytes(response, response + room));
  }
  void Respond(sim::FaultOptions faults) {
    engine_->SetResponder(sim::MakeResponder(*reader_, faults));
  }
  void HangUp() { engine_->HangUpNow(); }

 private:
  std::unique_ptr<sim::VirtualReader> reader_;
  std::unique_ptr<engine::ScriptedReader> engine_;
  bool open_ = false;
};

TEST_F(DriverOnSim, TheReaderHasFourSlotsThatPcscdSerialises) {
  Open();
  UCHAR value[8] = {};
  DWORD length = sizeof value;
  ASSERT_EQ(driver().capabilities(kField, TAG_IFD_SLOTS_NUMBER, &length, value), IFD_SUCCESS);
  EXPECT_EQ(length, 1u);
  EXPECT_EQ(value[0], 4);
  length = sizeof value;
  ASSERT_EQ(driver().capabilities(kField, TAG_IFD_SLOT_THREAD_SAFE, &length, value), IFD_SUCCESS);
  EXPECT_EQ(value[0], 0);
  length = sizeof value;
  EXPECT_EQ(driver().capabilities(kField, 0x7777, &length, value), IFD_ERROR_TAG);
  EXPECT_EQ(driver().protocol(kField, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);
}

TEST_F(DriverOnSim, AnOpenReaderRefusesASecondDeviceForTheSameLun) {
  Open();
  char other[] = "/dev/null";
  EXPECT_EQ(driver().create(kField, other), IFD_COMMUNICATION_ERROR);
}

struct AtrCase {
  const char* name;
  CardKind card;
  DWORD slot;
  const char* atr;
};
// By name: the struct's padding is no byte worth printing (and never initialised).
void PrintTo(const AtrCase& c, std::ostream* out) { *out << c.name; }

class Atrs : public DriverOnSim, public ::testing::WithParamInterface<AtrCase> {};

TEST_P(Atrs, PowerUpGivesTheSlotsAtr) {
  Open(GetParam().card);
  const Bytes atr = PowerUp(GetParam().slot);
  EXPECT_EQ(HexOf(atr), GetParam().atr);
  UCHAR value[MAX_ATR_SIZE];
  DWORD length = sizeof value;
  ASSERT_EQ(driver().capabilities(GetParam().slot, TAG_IFD_ATR, &length, value), IFD_SUCCESS);
  EXPECT_EQ(HexOf(Bytes(value, value + length)), GetParam().atr);
}

INSTANTIATE_TEST_SUITE_P(
    Slots, Atrs,
    ::testing::Values(
        AtrCase{"MifareIsTheStorageCard1K", CardKind::kMifare, kField,
                "3B8F8001804F0CA000000306030001000000006A"},
        AtrCase{"DualShowsItsAtsHistoricalBytes", CardKind::kDual, kField,
                "3B868001564F524C45581D"},
        AtrCase{"CpuShowsItsAtsHistoricalBytes", CardKind::kCpu, kField, "3B868001564F524C45581D"},
        AtrCase{"Sam1ItsResetAnswer", CardKind::kDual, kSam1, "3B680000564F524C45585331"},
        AtrCase{"Sam2ItsResetAnswer", CardKind::kDual, kSam2, "3B680000564F524C45585332"},
        AtrCase{"RfsimItsIdentifier", CardKind::kDual, kRfsim, "3B888001860123456789ABCD60"}),
    [](const auto& test) { return std::string(test.param.name); });

// A pseudo-APDU (or APDU) to the card in the field after the setup APDUs, and the response.
struct ApduCase {
  const char* name;
  CardKind card;
  std::vector<std::string> setup;
  std::string apdu;
  std::string response;
};
void PrintTo(const ApduCase& c, std::ostream* out) { *out << c.name; }

const std::string kLoadKey0 = "FF82000006FFFFFFFFFFFF";
const std::string kAuthBlock4 = "FF860000050100046000";
const std::string kLabel = "564F524C45582053494D204341524420";

class PseudoApdus : public DriverOnSim, public ::testing::WithParamInterface<ApduCase> {};

TEST_P(PseudoApdus, AnswerAsTheStorageCardSupplementSays) {
  const ApduCase& c = GetParam();
  Open(c.card);
  ASSERT_FALSE(PowerUp(kField).empty());
  for (const std::string& apdu : c.setup) Send(kField, apdu);
  EXPECT_EQ(Send(kField, c.apdu), c.response);
}

INSTANTIATE_TEST_SUITE_P(
    Field, PseudoApdus,
    ::testing::Values(
        ApduCase{"UidWithLe00", CardKind::kMifare, {}, "FFCA000000", "3A5C719E9000"},
        ApduCase{"UidWithItsLength", CardKind::kMifare, {}, "FFCA000004", "3A5C719E9000"},
        ApduCase{"UidWithAShortLeAsksForTheRightOne", CardKind::kMifare, {}, "FFCA000002", "6C04"},
        ApduCase{"UidWithALongLeEndsEarly", CardKind::kMifare, {}, "FFCA000008", "3A5C719E6282"},
        ApduCase{
            "HistoricalBytesOfAnIsoCard", CardKind::kDual, {}, "FFCA010000", "564F524C45589000"},
        ApduCase{"NoHistoricalBytesWithoutAnAts", CardKind::kMifare, {}, "FFCA010000", "6A81"},
        ApduCase{"GetDataOfAnotherKind", CardKind::kMifare, {}, "FFCA020000", "6A81"},
        ApduCase{"LoadKeysWithAShortKey", CardKind::kMifare, {}, "FF82000005FFFFFFFFFF", "6989"},
        ApduCase{
            "LoadKeysWithAnLcThatIsNotTheirs", CardKind::kMifare, {}, "FF82000006FFFF", "6700"},
        ApduCase{"LoadKeysNonVolatile", CardKind::kMifare, {}, "FF82200006FFFFFFFFFFFF", "6987"},
        ApduCase{"LoadKeysAsReaderKey", CardKind::kMifare, {}, "FF82800006FFFFFFFFFFFF", "6983"},
        ApduCase{"LoadKeysSecured", CardKind::kMifare, {}, "FF82400006FFFFFFFFFFFF", "6985"},
        ApduCase{
            "LoadKeysBeyondTheKeySlots", CardKind::kMifare, {}, "FF82001006FFFFFFFFFFFF", "6988"},
        ApduCase{"AuthenticateWithAnEmptyKeySlot",
                 CardKind::kMifare,
                 {},
                 "FF860000050100046002",
                 "6984"},
        ApduCase{"AuthenticateBeyondTheKeySlots",
                 CardKind::kMifare,
                 {kLoadKey0},
                 "FF860000050100046010",
                 "6988"},
        ApduCase{"AuthenticateTheOlderWayBeyondTheKeySlots",
                 CardKind::kMifare,
                 {kLoadKey0},
                 "FF8800046020",
                 "6988"},
        ApduCase{"AuthenticateWithAnUnknownKeyType",
                 CardKind::kMifare,
                 {kLoadKey0},
                 "FF860000050100046200",
                 "6986"},
        ApduCase{
            "AuthenticateVersion2", CardKind::kMifare, {kLoadKey0}, "FF860000050200046000", "6A81"},
        ApduCase{"AuthenticateBeyondA1K",
                 CardKind::kMifare,
                 {kLoadKey0},
                 "FF860000050100406000",
                 "6A82"},
        ApduCase{"AuthenticateWithTheWrongKey",
                 CardKind::kMifare,
                 {"FF82000006000000000000"},
                 kAuthBlock4,
                 "6300"},
        ApduCase{"AuthenticateAgainAfterAWrongKey",
                 CardKind::kMifare,
                 {"FF82000106000000000000", "FF860000050100046001", kLoadKey0},
                 kAuthBlock4,
                 "9000"},
        ApduCase{"AuthenticateTheOlderWay", CardKind::kMifare, {kLoadKey0}, "FF8800046000", "9000"},
        ApduCase{"ReadWithoutAuthentication", CardKind::kMifare, {}, "FFB0000410", "6982"},
        ApduCase{"ReadAnAuthenticatedBlock",
                 CardKind::kMifare,
                 {kLoadKey0, kAuthBlock4},
                 "FFB0000410",
                 kLabel + "9000"},
        ApduCase{"ReadWithLe00",
                 CardKind::kMifare,
                 {kLoadKey0, kAuthBlock4},
                 "FFB0000400",
                 kLabel + "9000"},
        ApduCase{
            "ReadWithAnotherLe", CardKind::kMifare, {kLoadKey0, kAuthBlock4}, "FFB0000420", "6C10"},
        ApduCase{"ReadBeyondA1K", CardKind::kMifare, {}, "FFB0004010", "6A82"},
        ApduCase{"UpdateAndReadBack",
                 CardKind::kMifare,
                 {kLoadKey0, kAuthBlock4, "FFD600051000112233445566778899AABBCCDDEEFF"},
                 "FFB0000510",
                 "00112233445566778899AABBCCDDEEFF9000"},
        ApduCase{"UpdateWithAShortBlock",
                 CardKind::kMifare,
                 {kLoadKey0, kAuthBlock4},
                 "FFD600050F00112233445566778899AABBCCDDEE",
                 "6700"},
        ApduCase{"UpdateBlock0IsRefused",
                 CardKind::kMifare,
                 {kLoadKey0, "FF860000050100006000"},
                 "FFD60000103A5C719E810804006263646566676869",
                 "6986"},
        ApduCase{"UpdateATrailerWithInvalidAccessBitsIsRefused",
                 CardKind::kMifare,
                 {kLoadKey0, kAuthBlock4},
                 "FFD6000710FFFFFFFFFFFF00000000FFFFFFFFFFFF",
                 "6986"},
        ApduCase{"UpdateATrailerThatLocksForGoodIsRefused",
                 CardKind::kMifare,
                 {kLoadKey0, kAuthBlock4},
                 "FFD6000710FFFFFFFFFFFF778F0869FFFFFFFFFFFF",
                 "6986"},
        ApduCase{"UpdateATrailerThatStaysChangeable",
                 CardKind::kMifare,
                 {kLoadKey0, kAuthBlock4},
                 "FFD6000710FFFFFFFFFFFFFF078069FFFFFFFFFFFF",
                 "9000"},
        ApduCase{"UpdateWithoutAuthentication",
                 CardKind::kMifare,
                 {},
                 "FFD600051000112233445566778899AABBCCDDEEFF",
                 "6982"},
        ApduCase{"UnknownPseudoApdu", CardKind::kMifare, {}, "FF00000000", "6A81"},
        ApduCase{"ACpuCardHasNoMifareMemory", CardKind::kCpu, {kLoadKey0}, kAuthBlock4, "6300"},
        ApduCase{"ADualCardServesThePseudoApdus",
                 CardKind::kDual,
                 {kLoadKey0, kAuthBlock4},
                 "FFB0000410",
                 kLabel + "9000"},
        ApduCase{"AnApduToAMifareCardIsNotSupported",
                 CardKind::kMifare,
                 {},
                 "00A404000E325041592E5359532E4444463031",
                 "6E00"},
        ApduCase{"ACase4ApduGoesOutWithLcAndLe",
                 CardKind::kCpu,
                 {},
                 "00A404000E325041592E5359532E444446303100",
                 "6F12840E325041592E5359532E4444463031A5009000"},
        ApduCase{"AnExtendedLengthApduIsRefused",
                 CardKind::kCpu,
                 {},
                 "00A4040000000E325041592E5359532E4444463031",
                 "6700"}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(DriverOnSim, APoweredCardIsNeverProbed) {
  Open(CardKind::kMifare);
  ASSERT_FALSE(PowerUp(kField).empty());
  Send(kField, kLoadKey0);
  ASSERT_EQ(Send(kField, kAuthBlock4), "9000");
  const std::uint64_t before = reader().Requests();
  for (int i = 0; i < 5; ++i) EXPECT_EQ(driver().presence(kField), IFD_ICC_PRESENT);
  EXPECT_EQ(reader().Requests(), before);
  EXPECT_EQ(Send(kField, "FFB0000410"), kLabel + "9000");  // still authenticated
}

TEST_F(DriverOnSim, AnIdleSlotIsProbedAndAnEmptyOneReadsAsNoCard) {
  Open();
  reader().SetInserted(sim::Unit::kSam2, false);
  EXPECT_EQ(driver().presence(kSam1), IFD_ICC_PRESENT);
  EXPECT_EQ(driver().presence(kSam2), IFD_ICC_NOT_PRESENT);
  EXPECT_TRUE(PowerUp(kSam2).empty());
  // Asked again at once, the slow slots answer from the last probe: no exchange.
  const std::uint64_t before = reader().Requests();
  EXPECT_EQ(driver().presence(kSam1), IFD_ICC_PRESENT);
  EXPECT_EQ(driver().presence(kSam2), IFD_ICC_NOT_PRESENT);
  EXPECT_EQ(reader().Requests(), before);
}

TEST_F(DriverOnSim, ARemovedCardShowsAtItsNextFailedExchange) {
  Open(CardKind::kCpu);
  ASSERT_FALSE(PowerUp(kField).empty());
  reader().SetInserted(sim::Unit::kCard, false);
  EXPECT_EQ(driver().presence(kField), IFD_ICC_PRESENT);  // in use: not probed
  EXPECT_EQ(Send(kField, "0084000008"), "gone");
  EXPECT_EQ(driver().presence(kField), IFD_ICC_NOT_PRESENT);
  EXPECT_TRUE(PowerUp(kField).empty());
}

TEST_F(DriverOnSim, ARemovedStorageCardShowsAtItsNextFailedExchange) {
  Open(CardKind::kMifare);
  ASSERT_FALSE(PowerUp(kField).empty());
  Send(kField, kLoadKey0);
  reader().SetInserted(sim::Unit::kCard, false);
  EXPECT_EQ(Send(kField, kAuthBlock4), "gone");
  EXPECT_EQ(driver().presence(kField), IFD_ICC_NOT_PRESENT);
}

// A card swapped for another during a session: the session is lost at the first failed
// command's re-selection, and nothing reaches the other card until pcscd powers the slot up.
struct SwapCase {
  const char* name;
  std::vector<std::string> before;  // sent before the swap
  std::string first;                // the first command after it: lost
};
void PrintTo(const SwapCase& c, std::ostream* out) { *out << c.name; }

class Swaps : public DriverOnSim, public ::testing::WithParamInterface<SwapCase> {};

TEST_P(Swaps, ALostCardStaysLostAndTheOtherIsUntouched) {
  Open(CardKind::kMifare);
  ASSERT_EQ(HexOf(PowerUp(kField)), "3B8F8001804F0CA000000306030001000000006A");
  for (const std::string& apdu : GetParam().before) ASSERT_NE(Send(kField, apdu), "gone");
  const sim::CardImage other = sim::MifareClassic1K(sim::Uid{0x11, 0x22, 0x33, 0x44}).image();
  reader().LoadImage(other);
  EXPECT_EQ(Send(kField, GetParam().first), "gone");
  // What a program tries next goes nowhere: no exchange at all.
  const std::uint64_t before = reader().Requests();
  for (const std::string& apdu :
       {kLoadKey0, kAuthBlock4, std::string("FFD600051000112233445566778899AABBCCDDEEFF"),
        std::string("FFB0000510"), std::string("FFCA000000")}) {
    EXPECT_EQ(Send(kField, apdu), "gone") << apdu;
  }
  EXPECT_EQ(reader().Requests(), before);
  EXPECT_EQ(reader().MifareImage(), other);
  // pcscd sees the card go, then the other come, and powers it up: a new session for it.
  EXPECT_EQ(driver().presence(kField), IFD_ICC_NOT_PRESENT);
  EXPECT_EQ(driver().presence(kField), IFD_ICC_NOT_PRESENT) << "probed within 350 ms";
  ASSERT_FALSE(PowerUp(kField).empty());
  EXPECT_EQ(Send(kField, "FFCA000000"), "112233449000");
  EXPECT_EQ(Send(kField, kAuthBlock4), "6984") << "the first session's key is gone";
}

INSTANTIATE_TEST_SUITE_P(
    Field, Swaps,
    ::testing::Values(
        SwapCase{"BeforeTheAuthentication", {kLoadKey0}, kAuthBlock4},
        SwapCase{"AfterTheAuthenticationAtARead", {kLoadKey0, kAuthBlock4}, "FFB0000410"},
        SwapCase{"AfterTheAuthenticationAtAWrite",
                 {kLoadKey0, kAuthBlock4},
                 "FFD600051000112233445566778899AABBCCDDEEFF"},
        SwapCase{"AtGetData", {kLoadKey0, kAuthBlock4}, "FFCA000000"},
        SwapCase{"AfterAWrongKey", {"FF82000106000000000000", kLoadKey0}, "FF860000050100046001"}),
    [](const auto& test) { return std::string(test.param.name); });

// GET DATA answers for the card in the field only after selecting it again: never for one
// taken off, and the authentication in force survives the check.
TEST_F(DriverOnSim, GetDataAnswersOnlyForAVerifiedCard) {
  Open(CardKind::kMifare);
  ASSERT_FALSE(PowerUp(kField).empty());
  Send(kField, kLoadKey0);
  ASSERT_EQ(Send(kField, kAuthBlock4), "9000");
  EXPECT_EQ(Send(kField, "FFCA000000"), "3A5C719E9000");
  EXPECT_EQ(Send(kField, "FFB0000410"), kLabel + "9000") << "still authenticated";
  reader().SetInserted(sim::Unit::kCard, false);
  EXPECT_EQ(Send(kField, "FFCA000000"), "gone");
  reader().SetInserted(sim::Unit::kCard, true);
  EXPECT_EQ(Send(kField, "FFCA000000"), "gone") << "back, but not re-activated";
}

// Keys belong to the card session: power down, reset, removal and a new power-up clear them,
// so a program never authenticates with the keys another loaded before.
TEST_F(DriverOnSim, KeysBelongToTheCardSession) {
  const struct {
    const char* name;
    std::function<void()> end;
  } ends[] = {
      {"power down and up",
       [this] {
         UCHAR atr[MAX_ATR_SIZE];
         DWORD length = sizeof atr;
         driver().power(kField, IFD_POWER_DOWN, atr, &length);
         PowerUp(kField);
       }},
      {"reset", [this] { PowerUp(kField, IFD_RESET); }},
      {"removal",
       [this] {
         reader().SetInserted(sim::Unit::kCard, false);
         EXPECT_EQ(Send(kField, "FFB0000410"), "gone");
         EXPECT_EQ(driver().presence(kField), IFD_ICC_NOT_PRESENT);
         reader().SetInserted(sim::Unit::kCard, true);
         PowerUp(kField);
       }},
  };
  for (const auto& end : ends) {
    SCOPED_TRACE(end.name);
    TearDown();
    Open(CardKind::kMifare);
    ASSERT_FALSE(PowerUp(kField).empty());
    for (int slot = 0; slot < 16; ++slot) {
      ASSERT_EQ(
          Send(kField, "FF8200" + HexOf({static_cast<std::uint8_t>(slot)}) + "06FFFFFFFFFFFF"),
          "9000");
    }
    ASSERT_EQ(Send(kField, kAuthBlock4), "9000");
    end.end();
    for (int slot = 0; slot < 16; ++slot) {
      EXPECT_EQ(Send(kField, "FF8600000501000460" + HexOf({static_cast<std::uint8_t>(slot)})),
                "6984")
          << "key slot " << slot;
    }
  }
}

// A reader that stops answering, or whose device is gone, is not an empty slot.
TEST_F(DriverOnSim, ASilentOrVanishedReaderIsNoEmptySlot) {
  Open();
  sim::FaultOptions silent;
  silent.silent = true;
  Respond(silent);
  EXPECT_EQ(driver().presence(kField), IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(driver().presence(kSam1), IFD_COMMUNICATION_ERROR);
  Respond({});
  EXPECT_EQ(driver().presence(kSam2), IFD_ICC_PRESENT);
  HangUp();
  EXPECT_EQ(driver().presence(kRfsim), IFD_NO_SUCH_DEVICE);
}

// A receive buffer too small for the answer is said so before the card runs the command
// wherever the answer's size is known then; never as a status word the card did not give.
struct RoomCase {
  const char* name;
  CardKind card;
  std::string apdu;
  DWORD room;
  bool sent;  // the card ran it (its answer was longer than Le promised: known only after)
};
void PrintTo(const RoomCase& c, std::ostream* out) { *out << c.name; }

class Rooms : public DriverOnSim, public ::testing::WithParamInterface<RoomCase> {};

TEST_P(Rooms, ABufferTooSmallIsSaidSo) {
  const RoomCase& c = GetParam();
  Open(c.card);
  ASSERT_FALSE(PowerUp(kField).empty());
  Send(kField, kLoadKey0);
  if (c.card != CardKind::kCpu) {
    ASSERT_EQ(Send(kField, kAuthBlock4), "9000");
  }
  const std::uint64_t before = reader().Requests();
  EXPECT_EQ(SendInto(kField, c.apdu, c.room), "too small");
  EXPECT_EQ(reader().Requests() > before, c.sent);
}

INSTANTIATE_TEST_SUITE_P(
    Field, Rooms,
    ::testing::Values(RoomCase{"ReadBinaryInSeventeen", CardKind::kMifare, "FFB0000410", 17, false},
                      RoomCase{"UpdateBinaryInOne", CardKind::kMifare,
                               "FFD600051000112233445566778899AABBCCDDEEFF", 1, false},
                      RoomCase{"GetDataInFive", CardKind::kMifare, "FFCA000000", 5, false},
                      RoomCase{"AnApduWhoseLeDoesNotFit", CardKind::kCpu, "0084000008", 9, false},
                      RoomCase{"AnApduAnsweringMoreThanItsLe", CardKind::kCpu,
                               "00A404000E325041592E5359532E444446303101", 4, true}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(DriverOnSim, PowerDownAndUpReactivateTheCard) {
  for (const DWORD action : {DWORD{IFD_POWER_UP}, DWORD{IFD_RESET}}) {
    SCOPED_TRACE(action);
    TearDown();
    Open(CardKind::kMifare);
    ASSERT_FALSE(PowerUp(kField).empty());
    Send(kField, kLoadKey0);
    ASSERT_EQ(Send(kField, kAuthBlock4), "9000");
    if (action == IFD_POWER_UP) {
      UCHAR atr[MAX_ATR_SIZE];
      DWORD length = sizeof atr;
      ASSERT_EQ(driver().power(kField, IFD_POWER_DOWN, atr, &length), IFD_SUCCESS);
      EXPECT_EQ(length, 0u);
    }
    ASSERT_EQ(HexOf(PowerUp(kField, action)), "3B8F8001804F0CA000000306030001000000006A");
    // A fresh activation: a new card session, without the authentication or the keys.
    EXPECT_EQ(Send(kField, "FFB0000410"), "6982");
    EXPECT_EQ(Send(kField, kAuthBlock4), "6984");
    Send(kField, kLoadKey0);
    EXPECT_EQ(Send(kField, kAuthBlock4), "9000");
  }
}

TEST_F(DriverOnSim, SamAndRfsimApdusAreRelayed) {
  Open();
  ASSERT_FALSE(PowerUp(kSam1).empty());
  EXPECT_EQ(Send(kSam1, "00A404000B564F524C45582E53414D31"),
            "6F0F840B564F524C45582E53414D31A5009000");
  ASSERT_FALSE(PowerUp(kRfsim).empty());
  EXPECT_EQ(Send(kRfsim, "00A4040008F0564F524C455801"), "6F0C8408F0564F524C455801A5009000");
}

TEST_F(DriverOnSim, TheTlvPropertiesSayShortApdusOnly) {
  Open();
  UCHAR features[64];
  DWORD returned = 0;
  ASSERT_EQ(driver().control(kField, CM_IOCTL_GET_FEATURE_REQUEST, nullptr, 0, features,
                             sizeof features, &returned),
            IFD_SUCCESS);
  ASSERT_EQ(returned, 6u);
  EXPECT_EQ(features[0], FEATURE_GET_TLV_PROPERTIES);
  const DWORD code =
      static_cast<DWORD>(features[2]) << 24 | features[3] << 16 | features[4] << 8 | features[5];
  UCHAR properties[64];
  ASSERT_EQ(driver().control(kField, code, nullptr, 0, properties, sizeof properties, &returned),
            IFD_SUCCESS);
  bool found = false;
  for (DWORD at = 0; at + 2 <= returned; at += 2u + properties[at + 1]) {
    if (properties[at] != PCSCv2_PART10_PROPERTY_dwMaxAPDUDataSize) continue;
    found = true;
    EXPECT_EQ(HexOf(Bytes(properties + at, properties + at + 6)), "0A0400000000");
  }
  EXPECT_TRUE(found);
}

// tests/guard_cases.json, the table every front end's tests run, as a PC/SC program can say
// it: absolute block numbers on the simulator's Classic 1K, key types 60 and 61. The driver's
// allowance is fixed (trailers with valid, changeable access bits; never a permanent lock or
// block 0), so a case runs where it grants no more than the driver does and its refusal is not
// one the driver's allowance lifts. A refusal is 69 86 with nothing sent.
TEST_F(DriverOnSim, GuardCases) {
  std::ifstream file(VORLEX_GUARD_CASES);
  const nlohmann::json table = nlohmann::json::parse(file);
  int ran = 0;
  for (const nlohmann::json& c : table.at("cases")) {
    const std::string call = c.at("call"), what = c.at("what");
    const nlohmann::json& args = c.at("args");
    if (c.at("edition") != "epurse" || (call != "write_block" && call != "authenticate")) continue;
    const int sector = args.at("sector");
    const int block = args.value("block", 0);
    const int key_type = args.value("key_type", 0);
    // What absolute block numbers on a 1K cannot say: no sector 16 and up, no block 4 and up.
    if (sector < 0 || sector > 15 || block < 0 || block > 3 || key_type < 0 || key_type > 1) {
      continue;
    }
    if (args.value("allow_permanent_lock", false) || args.value("allow_block0", false) ||
        c.at("refused") == "allow_trailer") {
      continue;
    }
    SCOPED_TRACE(what);
    TearDown();
    Open(CardKind::kMifare);
    ASSERT_FALSE(PowerUp(kField).empty());
    const std::string absolute = HexOf({static_cast<std::uint8_t>(sector * 4 + block)});
    ASSERT_EQ(Send(kField, kLoadKey0), "9000");
    ASSERT_EQ(Send(kField, "FF88" + std::string("00") + absolute + "6000"), "9000");
    const std::uint64_t before = reader().Requests();
    std::string response;
    if (call == "write_block") {
      response = Send(kField, "FFD600" + absolute + "10" + args.at("data").get<std::string>());
    } else {
      response = Send(kField, "FF8800" + absolute + (key_type == 0 ? "60" : "61") + "00");
    }
    if (c.at("refused").is_null()) {
      EXPECT_NE(response, "6986");
      EXPECT_GT(reader().Requests(), before);
    } else {
      EXPECT_EQ(response, "6986");
      EXPECT_EQ(reader().Requests(), before);
    }
    ++ran;
  }
  EXPECT_GE(ran, 5);
}

}  // namespace
}  // namespace vorlex::pcsc::testing
