// The e-purse edition names ports "COMn". On Linux these map to serial devices by one rule; the
// real devices (here /dev/ttyS0 is the machine's console) are never touched: the test runs in a
// private mount namespace with a pty standing in for each device it opens.
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "editions/edition.h"
#include "support/reader_test.h"

namespace vorlex::testing {
namespace {

bool private_namespace = false;

TEST(ComPortNames, MapToSerialDevicesByOneRule) {
  const std::pair<const char*, const char*> cases[] = {
      {nullptr, "/dev/ttyS0"},   {"COM1", "/dev/ttyS0"},       {"COM12", "/dev/ttyS11"},
      {"COM32", "/dev/ttyS31"},  {"COM33", "/dev/ttyUSB0"},    {"COM64", "/dev/ttyUSB31"},
      {"COM65", "/dev/ttyACM0"}, {"COM96", "/dev/ttyACM31"},   {"COM 7", "/dev/ttyS6"},
      {"COM+3", "/dev/ttyS2"},   {"COM3 extra", "/dev/ttyS2"}, {"COM007", "/dev/ttyS6"},
  };
  for (const auto& [name, device] : cases) {
    char buffer[link::kDevicePathSize];
    const char* path = edition::DevicePathFor(name, buffer);
    ASSERT_NE(path, nullptr) << (name ? name : "null");
    EXPECT_STREQ(path, device) << (name ? name : "null");
  }
  for (const char* name : {"com1", " COM1", "COM", "COMx", "COM0", "COM97", "COM-1", "", "CO",
                           "COM4294967297", "/dev/ttyS0"}) {
    char buffer[link::kDevicePathSize];
    EXPECT_EQ(edition::DevicePathFor(name, buffer), nullptr) << name;
  }
}

void BindOver(const std::string& source, const std::string& target) {
  std::ofstream(target).put('\0');
  ASSERT_EQ(mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr), 0)
      << target << ": " << std::strerror(errno);
}

TEST(ComPortNames, OpenTheMappedDevice) {
  if (!private_namespace) GTEST_SKIP() << "needs root for a private mount namespace";
  engine::ScriptedReader reader;
  reader.SetResponder([](const engine::ParsedFrame&) { return Reply::Status(0); });

  // Keep the pty reachable, then hide the real /dev behind an empty tmpfs in this namespace.
  char scratch[] = "/tmp/vorlex-com-XXXXXX";
  ASSERT_NE(mkdtemp(scratch), nullptr);
  const std::string pty = std::string(scratch) + "/pty";
  BindOver(reader.port(), pty);
  ASSERT_EQ(mount("tmpfs", "/dev", "tmpfs", 0, nullptr), 0) << std::strerror(errno);
  for (const char* device : {"/dev/ttyS0", "/dev/ttyS11", "/dev/ttyUSB0", "/dev/ttyACM31"}) {
    BindOver(pty, device);
  }

  const VorlexLibrary& epurse = Library(Edition::kEpurse);
  for (const char* name : {static_cast<const char*>(nullptr), "COM1", "COM12", "COM33", "COM96"}) {
    SCOPED_TRACE(name ? name : "null");
    reader.ClearRecord();
    ReaderHandle handle = epurse.Open_Reader(name);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(epurse.BELL_BEEP(handle, 100), 0);
    EXPECT_EQ(reader.RawRequests().back(), HexBytes("02 00 04 01 03 00 64 6C 03"));
    // Every name reaches the same pty here, so each is held while another is open.
    EXPECT_EQ(epurse.Open_Reader("COM12"), nullptr);
    EXPECT_EQ(epurse.Close_Reader(handle), 0);
  }
  EXPECT_EQ(epurse.Open_Reader("COM2"), nullptr);  // /dev/ttyS1 does not exist here

  umount2("/dev", MNT_DETACH);
  umount2(pty.c_str(), MNT_DETACH);
  unlink(pty.c_str());
  rmdir(scratch);
}

}  // namespace
}  // namespace vorlex::testing

int main(int argc, char** argv) {
  // Before any thread starts: the namespace is the calling thread's, inherited by later ones.
  if (unshare(CLONE_NEWNS) == 0 &&
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) {
    vorlex::testing::private_namespace = true;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
