// The tools refuse to run installed set-user-ID or set-group-ID: copies of the built programs,
// owned by root with the bit set, run as nobody.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "program_under_test.h"

namespace vorlex::command_line {
namespace {

namespace fs = std::filesystem;
using launch::testing::Program;

TEST(Privileges, SetIdInstallsAreRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a set-user-ID copy";
  if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "no setpriv (util-linux)";
  char pattern[] = "/tmp/vorlex-privileges-XXXXXX";
  const fs::path folder = mkdtemp(pattern);
  chmod(folder.c_str(), 0755);  // nobody runs the copies
  struct statvfs mount {};
  if (statvfs(folder.c_str(), &mount) == 0 && (mount.f_flag & ST_NOSUID) != 0) {
    fs::remove_all(folder);
    GTEST_SKIP() << folder << " is on a nosuid mount";
  }
  const struct {
    const char* program;
    mode_t mode;
  } cases[] = {
      {VORLEX_SIM_PROGRAM, 04755}, {VORLEX_SIM_PROGRAM, 02755}, {VORLEX_TAP_PROGRAM, 04755},
      {VORLEX_TAP_PROGRAM, 02755}, {VORLEX_CLI_PROGRAM, 04755}, {VORLEX_CLI_PROGRAM, 02755},
  };
  for (const auto& c : cases) {
    const fs::path copy = folder / fs::path(c.program).filename();
    SCOPED_TRACE(copy.filename().string() + (c.mode == 04755 ? " set-user-ID" : " set-group-ID"));
    fs::copy_file(c.program, copy, fs::copy_options::overwrite_existing);
    ASSERT_EQ(chown(copy.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(copy.c_str(), c.mode), 0);
    Program tool({"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                  copy.string(), "--version"});
    EXPECT_EQ(tool.Wait(), 3) << tool.text();
    EXPECT_NE(tool.text().find("refusing to run with borrowed privileges"), std::string::npos)
        << tool.text();
  }
  fs::remove_all(folder);
}

}  // namespace
}  // namespace vorlex::command_line
