// The handshake's rules and the listen addresses, one case a row.
#include "security.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "agent_config.h"

namespace vorlex::agent {
namespace {

constexpr std::string_view kToken = "0123456789abcdef0123456789abcdef";

struct HandshakeCase {
  const char* name;
  std::optional<std::string_view> host, origin, authorization;
  std::string_view target;
  int status;
};

TEST(Handshake, EachRuleAnswersAsDocumented) {
  const std::vector<std::string> allowed = {"https://pos.example"};
  const std::string bearer = "Bearer " + std::string(kToken);
  const std::string query = "/?token=" + std::string(kToken);
  const HandshakeCase cases[] = {
      {"allowed origin, no token", "127.0.0.1:47511", "https://pos.example", {}, "/", 0},
      {"allowed origin, normalised", "localhost", "HTTPS://POS.example", {}, "/", 0},
      {"origin not allowed", "127.0.0.1:47511", "https://evil.example", {}, "/", 403},
      {"origin null", "127.0.0.1", "null", {}, "/", 403},
      {"rebound host name", "evil.example:47511", "https://pos.example", {}, "/", 403},
      {"no host", std::nullopt, {}, bearer, "/", 403},
      {"host with a path trick", "127.0.0.1.evil.example", {}, bearer, "/", 403},
      {"ipv6 loopback", "[::1]:47511", {}, bearer, "/", 0},
      {"ipv6 other", "[::2]:47511", {}, bearer, "/", 403},
      {"bad port", "127.0.0.1:80x", {}, bearer, "/", 403},
      {"program with token", "127.0.0.1:47511", {}, bearer, "/", 0},
      {"program with query token", "127.0.0.1:47511", {}, {}, query, 0},
      {"program without token", "127.0.0.1:47511", {}, {}, "/", 401},
      {"program with wrong token",
       "127.0.0.1:47511",
       {},
       "Bearer 0123456789abcdef0123456789abcdeX",
       "/",
       401},
      {"basic authorization", "127.0.0.1:47511", {}, "Basic dXNlcjpwYXNz", "/", 401},
      {"allowed origin with wrong token", "127.0.0.1", "https://pos.example", {}, "/?token=x", 401},
  };
  for (const HandshakeCase& c : cases) {
    const HandshakeVerdict verdict =
        CheckHandshake({c.host, c.origin, c.authorization, c.target}, allowed, kToken);
    EXPECT_EQ(verdict.status, c.status) << c.name << ": " << verdict.body;
  }
}

TEST(Handshake, RefusedOriginNamesTheRemedy) {
  const HandshakeVerdict verdict =
      CheckHandshake({"127.0.0.1", "https://shop.example", {}, "/"}, {}, kToken);
  EXPECT_NE(verdict.body.find("vorlex-agent allow https://shop.example"), std::string::npos);
}

TEST(Listen, LoopbackOnly) {
  EXPECT_EQ(ParseListen("47511").size(), 2u);
  EXPECT_EQ(ParseListen("127.0.0.1:9").at(0).address, "127.0.0.1");
  EXPECT_EQ(ParseListen("[::1]:9").at(0).address, "::1");
  EXPECT_EQ(ParseListen("localhost:0").size(), 2u);
  for (const char* refused : {"0.0.0.0:47511", "192.168.1.2:47511", "[::]:47511", "example:1",
                              "127.0.0.2:1", "99999", "x", "127.0.0.1:"}) {
    EXPECT_THROW(ParseListen(refused), ConfigError) << refused;
  }
}

TEST(Origins, NormalisedOrRefused) {
  EXPECT_EQ(NormaliseOrigin("HTTPS://Pos.Example:8443/"), "https://pos.example:8443");
  for (const char* refused : {"null", "*", "pos.example", "https://", "https://a/b", "https://*.x",
                              "https://u@x", "://x"}) {
    EXPECT_THROW(NormaliseOrigin(refused), ConfigError) << refused;
  }
}

class TokenFile : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() /
              ("vorlex-agent-token-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }
  std::filesystem::path folder_;
};

TEST_F(TokenFile, MadeWithGroupModeWhenAbsentAndReadAgain) {
  const auto path = folder_ / "token";
  const std::string made = LoadOrCreateToken(path);
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
  EXPECT_EQ(made.size(), 64u);
  EXPECT_EQ(LoadOrCreateToken(path), made);
}

TEST_F(TokenFile, RefusedWhenOthersMayReadIt) {
  const auto path = folder_ / "token";
  std::ofstream(path) << kToken << "\n";
  std::filesystem::permissions(path, std::filesystem::perms(0644));
  EXPECT_THROW(LoadOrCreateToken(path), std::runtime_error);
}

TEST_F(TokenFile, RefusedWhenEmpty) {
  const auto path = folder_ / "token";
  std::ofstream(path) << "\n";
  std::filesystem::permissions(path, std::filesystem::perms(0600));
  EXPECT_THROW(LoadOrCreateToken(path), std::runtime_error);
}

TEST_F(TokenFile, AllowListEditedInPlace) {
  const auto path = folder_ / "agent.json";
  std::ofstream(path) << R"({"readers":[{"port":"/dev/ttyUSB0"}]})";
  EXPECT_TRUE(EditAllowList(path, "https://a.example", true));
  EXPECT_FALSE(EditAllowList(path, "https://a.example", true));
  EXPECT_EQ(ReadAllowList(path), std::vector<std::string>{"https://a.example"});
  EXPECT_EQ(LoadConfig(path).readers.at(0).port, "/dev/ttyUSB0");
  EXPECT_TRUE(EditAllowList(path, "https://a.example", false));
  EXPECT_TRUE(ReadAllowList(path).empty());
}

}  // namespace
}  // namespace vorlex::agent
