// Conventions every command shares: hex text both ways, the message buffer, the message table.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "common/command.h"
#include "common/hex_text.h"
#include "common/message_table.h"
#include "support/gbk.h"

namespace vorlex {
namespace {

TEST(HexToBytes, ConvertsEitherCaseAndTerminates) {
  std::uint8_t out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_TRUE(HexToBytes("0a1B", out, 4));
  EXPECT_EQ(out[0], 0x0A);
  EXPECT_EQ(out[1], 0x1B);
  EXPECT_EQ(out[2], 0x00);
  EXPECT_EQ(out[3], 0xEE);
}

TEST(HexToBytes, StopsAtTheFirstNonDigitWithoutTerminator) {
  std::uint8_t out[3] = {0xEE, 0xEE, 0xEE};
  EXPECT_FALSE(HexToBytes("0G12", out, 4));
  EXPECT_EQ(out[0], 0xEE);
  EXPECT_EQ(out[1], 0xEE);
  EXPECT_FALSE(HexToBytes("12 34", out, 4));
  EXPECT_EQ(out[0], 0x12);
  EXPECT_EQ(out[1], 0xEE);
}

TEST(HexToBytes, NeverReadsPastTheTerminatorOfAShortText) {
  // The text's NUL ends it; the bytes after it (here: no longer part of any string) are not read.
  char text[4] = {'A', 'B', '\0', 'C'};
  std::uint8_t out[8] = {};
  EXPECT_FALSE(HexToBytes(text, out, 8));
  EXPECT_EQ(out[0], 0xAB);
  EXPECT_EQ(out[1], 0x00);
}

TEST(HexToBytes, ZeroCharactersWriteOnlyTheTerminator) {
  std::uint8_t out[2] = {0xEE, 0xEE};
  EXPECT_TRUE(HexToBytes("", out, 0));
  EXPECT_EQ(out[0], 0x00);
  EXPECT_EQ(out[1], 0xEE);
}

TEST(BytesToHex, WritesUpperCaseAndANul) {
  const std::uint8_t bytes[] = {0x0A, 0xFF};
  char out[6];
  std::memset(out, 'x', sizeof out);
  BytesToHex(bytes, out, 2);
  EXPECT_STREQ(out, "0AFF");
  EXPECT_EQ(out[5], 'x');
  BytesToHex(bytes, out, 0);
  EXPECT_STREQ(out, "");
  BytesToHex(bytes, out, -3);
  EXPECT_STREQ(out, "");
}

TEST(MessageBuffer, ClearsAllFiftyBytesAndKeepsPastThemUntouched) {
  char buffer[60];
  std::memset(buffer, 'x', sizeof buffer);
  WriteMessage(buffer, "abc");
  EXPECT_STREQ(buffer, "abc");
  for (int i = 3; i < 50; ++i) EXPECT_EQ(buffer[i], 0) << i;
  for (int i = 50; i < 60; ++i) EXPECT_EQ(buffer[i], 'x') << i;
}

TEST(MessageTable, EveryTextIsTheGbkOfItsReadableText) {
  std::size_t longest = 0;
  for (const MessagePair& pair : kMessageTable) {
    EXPECT_EQ(std::string(pair.failure), testing::Gbk(pair.failure_readable));
    longest = std::max(longest, std::strlen(pair.failure));
    if (pair.success != nullptr) {
      EXPECT_EQ(std::string(pair.success), testing::Gbk(pair.success_readable));
      longest = std::max(longest, std::strlen(pair.success));
    }
  }
  EXPECT_EQ(longest, 27u);  // with its NUL, well inside the 50-byte buffer
}

TEST(MessageTable, TextsAreDistinctButForTheSharedOnes) {
  std::set<std::string> texts;
  for (const MessagePair& pair : kMessageTable) {
    EXPECT_TRUE(texts.insert(pair.failure).second) << pair.failure_readable;
    if (pair.success != nullptr) {
      EXPECT_TRUE(texts.insert(pair.success).second) << pair.success_readable;
    }
  }
}

}  // namespace
}  // namespace vorlex
