// The tool's pieces at unit level: COM names of devices, text conversion.
#include <gtest/gtest.h>

#include "port.h"
#include "sim_status.h"
#include "status_words.h"
#include "text_encoding.h"

namespace vorlex::cli {
using text::Convert;
using text::GbkTo;
namespace {

TEST(ComNameOf, TheEpurseEditionsDeviceTable) {
  const struct {
    const char* path;
    const char* com;
  } cases[] = {
      {"/dev/ttyUSB0", "COM33"}, {"/dev/ttyUSB2", "COM35"},  {"/dev/ttyUSB31", "COM64"},
      {"/dev/ttyACM0", "COM65"}, {"/dev/ttyACM31", "COM96"}, {"/dev/ttyUSB32", ""},
      {"/dev/pts/3", ""},        {"/dev/ttyUSBx", ""},       {"ttyUSB0", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ComNameOf(c.path), c.com) << c.path;
    if (*c.com != '\0') {
      EXPECT_EQ(DeviceOfComName(c.com), c.path);
    }
  }
  EXPECT_EQ(DeviceOfComName("COM3"), "/dev/ttyS2");
  EXPECT_EQ(DeviceOfComName("com3"), "/dev/ttyS2") << "named for the diagnosis, flagged there";
  EXPECT_EQ(DeviceOfComName("COM97"), "");
}

TEST(Convert, LibraryMessagesAndBrokenBytes) {
  EXPECT_EQ(GbkTo("UTF-8", "\xD1\xB0\xBF\xA8\xB3\xC9\xB9\xA6"), "寻卡成功");
  EXPECT_EQ(GbkTo("UTF-8", "apdu\xCA\xFD\xBE\xDD\xB4\xED\xCE\xF3"), "apdu数据错误");
  EXPECT_EQ(GbkTo("UTF-8", "ok\xFF"), "ok\xEF\xBF\xBD") << "a cut sequence is replaced, not lost";
  EXPECT_EQ(Convert("欢迎 VORLEX", "UTF-8", "GBK"), "\xBB\xB6\xD3\xAD VORLEX");
  EXPECT_EQ(Convert("€x", "UTF-8", "ASCII"), "?x") << "one mark per missing character";
}

// A device this user may not open: the advice follows the owner and mode found.
TEST(PermissionAdvice, NamesTheOwnerFound) {
  const struct {
    unsigned uid, gid, mode;
    const char* said;
    const char* not_said;
  } cases[] = {
      {0, 20, 020660, "(owner root, group dialout): join the group dialout", "only"},
      {0, 0, 020620, "only root may open it", "join"},
      {0, 0, 020660, "only root may open it", "join"},
      {0, 5, 020620, "only root may open it", "join"},
      {4242, 4343, 020660, "join the group 4343 (sudo usermod -aG 4343 $USER", "only"},
  };
  for (const auto& c : cases) {
    const std::string advice = PermissionAdvice("/dev/x", c.uid, c.gid, c.mode);
    EXPECT_NE(advice.find(c.said), std::string::npos) << advice;
    if (*c.not_said != '\0') {
      EXPECT_EQ(advice.find(c.not_said), std::string::npos) << advice;
    }
  }
}

// The hints against the simulator's status words: each word the reader gives gets the cause it
// names, whichever command family met it.
TEST(ReaderStatusHint, SaysWhatTheSimulatorsStatusMeans) {
  const struct {
    const char* step;
    std::uint16_t status;
    const char* said;
  } cases[] = {
      {"request", sim::kInsufficientBalance, "balance is lower than the amount"},
      {"request", sim::kBadAmount, "1 to 2147483647 cents"},
      {"request", sim::kModuleNotInitialised, "vorlex purse init"},
      {"request", sim::kNoCard, "no card answered"},
      {"purchase", sim::kNoPurchasePrepared, "vorlex purse request"},
      {"write", sim::kAccessDenied, "access conditions refuse"},
      {"read", sim::kAccessDenied, "access conditions refuse"},
      {"write", sim::kCardNotSaved, "could not save its card file"},
      {"read", sim::kNotAuthenticated, "vorlex auth SECTOR"},
      {"read", sim::kCardNotSelected, "vorlex card-request"},
      {"auth", sim::kAuthFailed, "does not open this sector"},
      {"apdu", sim::kSamNotPowered, "sam-power on"},
      {"apdu", sim::kCardNotSelected, "card-request (or rfsim-request)"},
      {"rfsim_request", sim::kNoCard, "RF-SIM"},
      {"card_request", sim::kNoCard, "--wait"},
      {"write", sim::kBadAccessBits, "inverted copies"},
      {"ats", sim::kNoIso14443_4, "without ISO 14443-4"},
      {"sam_power", sim::kNoSam, "no SAM in this slot"},
  };
  for (const auto& c : cases) {
    const std::string hint = ReaderStatusHint(c.step, c.status);
    EXPECT_NE(hint.find(c.said), std::string::npos)
        << c.step << " " << sim::StatusName(c.status) << ": " << hint;
  }
  // Every failure word of the simulator has a cause of its own, in every family.
  for (int status = 0x0100; status <= 0x0600; ++status) {
    if (std::string(sim::StatusName(static_cast<std::uint16_t>(status))) == "unknown status") {
      continue;
    }
    EXPECT_FALSE(ReaderStatusHint("beep", status).empty()) << sim::StatusName(status);
  }
  EXPECT_EQ(ReaderStatusHint("beep", 0x6F00), "");
}

}  // namespace
}  // namespace vorlex::cli
