// The users' files reader and the replacement of saved files, on real files, folders, devices,
// FIFOs and symlinks in a scratch folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "input_file.h"
#include "replacement_file.h"

namespace vorlex::files {
namespace {

namespace fs = std::filesystem;

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "vorlex-files-XXXXXX").string();
    dir_ = ::mkdtemp(pattern.data());
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Put(const std::string& name, const std::string& content) const {
    std::ofstream(dir_ / name, std::ios::binary) << content;
    return (dir_ / name).string();
  }
  std::string Get(const std::string& name) const {
    std::ostringstream content;
    content << std::ifstream(dir_ / name, std::ios::binary).rdbuf();
    return content.str();
  }
  // The names in the folder, to see that no temporary file is left behind.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  fs::path dir_;
};

constexpr InputKind kSmall{"a key list", 8};

TEST_F(FilesTest, ReadsOnlyRegularFilesUpToTheirKindsSize) {
  ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  fs::create_directory(dir_ / "folder");
  fs::create_symlink(Put("keys", "12345678"), dir_ / "link");
  const struct {
    std::string path;
    const char* says;  // empty: read
  } cases[] = {
      {(dir_ / "keys").string(), ""},
      {(dir_ / "link").string(), ""},  // a symlink to a file is that file
      {Put("big", "123456789"), "larger than a key list can be (at most 8 bytes)"},
      {"/dev/zero", "/dev/zero is a device, not a key list"},
      {(dir_ / "fifo").string(), "is a pipe (FIFO), not a key list"},  // without waiting
      {(dir_ / "folder").string(), "is a folder, not a key list"},
      {(dir_ / "missing").string(), "cannot read "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    if (*c.says == '\0') {
      EXPECT_EQ(ReadInputFile(c.path, kSmall), "12345678");
      continue;
    }
    try {
      ReadInputFile(c.path, kSmall);
      ADD_FAILURE() << "read";
    } catch (const FileError& error) {
      EXPECT_NE(std::string(error.what()).find(c.says), std::string::npos) << error.what();
    }
  }
}

TEST_F(FilesTest, ASaveNeverFollowsAPlantedSymlink) {
  const std::string victim = Put("victim", "precious");
  const std::string target = Put("card.bin", "old");
  // Where a save through a fixed name once went, and the target itself as a link.
  fs::create_symlink(victim, dir_ / "card.bin.tmp");
  fs::create_symlink(victim, dir_ / "linked.bin");
  SaveFile(target, "new");
  SaveFile((dir_ / "linked.bin").string(), "new too");
  EXPECT_EQ(Get("victim"), "precious");
  EXPECT_EQ(Get("card.bin"), "new");
  EXPECT_EQ(Get("linked.bin"), "new too");
  EXPECT_FALSE(fs::is_symlink(dir_ / "linked.bin"));
  EXPECT_EQ(Names(),
            (std::vector<std::string>{"card.bin", "card.bin.tmp", "linked.bin", "victim"}));
}

TEST_F(FilesTest, ASaveKeepsTheTargetsPermissions) {
  const std::string target = Put("card.bin", "old");
  for (const mode_t mode : {0600, 0640, 0444}) {
    SCOPED_TRACE(mode);
    ASSERT_EQ(::chmod(target.c_str(), mode), 0);
    SaveFile(target, "new");
    struct stat info {};
    ASSERT_EQ(::stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, mode);
  }
}

// A new file is the user's alone: dumps, key-bearing JSON and recordings hold keys.
TEST_F(FilesTest, ANewFileIsTheUsersAlone) {
  const mode_t old_umask = ::umask(022);
  SaveFile((dir_ / "new.json").string(), "{}");
  {
    ReplacementStream grown((dir_ / "new.jsonl").string());
    grown << "{}\n";
  }
  ::umask(old_umask);
  for (const char* name : {"new.json", "new.jsonl"}) {
    struct stat info {};
    ASSERT_EQ(::stat((dir_ / name).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u) << name;
  }
}

TEST_F(FilesTest, AnUnfinishedSaveLeavesTheOldFileAndNoTemporary) {
  const std::string target = Put("card.bin", "old");
  {
    ReplacementFile file(target);
    file.Write("half of the new");
  }  // no Commit: a failure on the way
  EXPECT_EQ(Get("card.bin"), "old");
  EXPECT_EQ(Names(), std::vector<std::string>{"card.bin"});
}

// A recording that grows while the tool runs: the old file stays whole until the end, and an
// orderly end (Save, or leaving the scope) puts the new one in its place, through no symlink.
TEST_F(FilesTest, AGrowingFileReplacesItsTargetOnlyWhenItEnds) {
  const std::string victim = Put("victim", "precious");
  fs::create_symlink(victim, dir_ / "run.jsonl");
  const std::string target = (dir_ / "run.jsonl").string();
  {
    ReplacementStream recording(target);
    for (int line = 0; line < 2000; ++line) recording << "line " << line << '\n';
    recording.flush();
    EXPECT_EQ(Get("victim"), "precious");  // the link still names the old content
    EXPECT_EQ(Names().size(), 3u);         // the link, the victim, the growing file
  }
  EXPECT_EQ(Get("victim"), "precious");
  EXPECT_FALSE(fs::is_symlink(dir_ / "run.jsonl"));
  const std::string saved = Get("run.jsonl");
  EXPECT_TRUE(saved.starts_with("line 0\n") && saved.ends_with("line 1999\n")) << saved.size();
  EXPECT_EQ(Names(), (std::vector<std::string>{"run.jsonl", "victim"}));
}

TEST_F(FilesTest, ATargetThatCannotBeSavedIsKnownBeforeAnyWrite) {
  for (const std::string& target :
       {(dir_ / "no" / "such" / "x.bin").string(), dir_.string(), std::string("/proc/x.bin")}) {
    SCOPED_TRACE(target);
    EXPECT_THROW(ReplacementFile{target}, FileError);
  }
}

}  // namespace
}  // namespace vorlex::files
