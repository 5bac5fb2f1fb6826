// The tool's pieces at unit level: COM names of devices, text conversion.
#include <gtest/gtest.h>

#include "port.h"
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
  for (const auto& c : cases) EXPECT_EQ(ComNameOf(c.path), c.com) << c.path;
}

TEST(Convert, LibraryMessagesAndBrokenBytes) {
  EXPECT_EQ(GbkTo("UTF-8", "\xD1\xB0\xBF\xA8\xB3\xC9\xB9\xA6"), "寻卡成功");
  EXPECT_EQ(GbkTo("UTF-8", "apdu\xCA\xFD\xBE\xDD\xB4\xED\xCE\xF3"), "apdu数据错误");
  EXPECT_EQ(GbkTo("UTF-8", "ok\xFF"), "ok\xEF\xBF\xBD") << "a cut sequence is replaced, not lost";
  EXPECT_EQ(Convert("欢迎 VORLEX", "UTF-8", "GBK"), "\xBB\xB6\xD3\xAD VORLEX");
  EXPECT_EQ(Convert("€x", "UTF-8", "ASCII"), "?x") << "one mark per missing character";
}

}  // namespace
}  // namespace vorlex::cli
