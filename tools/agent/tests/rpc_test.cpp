// What a frame becomes: a request, or the error answer, one case a row.
#include "rpc.h"

#include <gtest/gtest.h>

#include <string>

namespace vorlex::agent {
namespace {

struct Case {
  const char* name;
  std::string text;
  int code;  // 0: a request
};

TEST(ParseRequest, EachShapeAnswersAsDocumented) {
  const Case cases[] = {
      {"request", R"({"jsonrpc":"2.0","id":1,"method":"card.request","params":{}})", 0},
      {"no params", R"({"jsonrpc":"2.0","id":"a","method":"agent.info"})", 0},
      {"notification", R"({"jsonrpc":"2.0","method":"agent.info"})", 0},
      {"malformed", R"({"jsonrpc":"2.0",)", kParseError},
      {"trailing bytes", R"({"jsonrpc":"2.0","id":1,"method":"x"} x)", kParseError},
      {"too deep", std::string(40, '[') + std::string(40, ']'), kParseError},
      {"deep in params",
       R"({"jsonrpc":"2.0","id":1,"method":"x","params":{"a":)" + std::string(40, '[') +
           std::string(40, ']') + "}}",
       kParseError},
      {"batch", R"([{"jsonrpc":"2.0","id":1,"method":"x"}])", kInvalidRequest},
      {"not an object", "42", kInvalidRequest},
      {"wrong version", R"({"jsonrpc":"1.0","id":1,"method":"x"})", kInvalidRequest},
      {"no method", R"({"jsonrpc":"2.0","id":1})", kInvalidRequest},
      {"object id", R"({"jsonrpc":"2.0","id":{},"method":"x"})", kInvalidRequest},
      {"params by position", R"({"jsonrpc":"2.0","id":1,"method":"x","params":[1]})",
       kInvalidParams},
      {"invalid utf-8", "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"\xff\"}", kParseError},
      {"empty", "", kParseError},
  };
  for (const Case& c : cases) {
    const Parsed parsed = ParseRequest(c.text, 32);
    if (c.code == 0) {
      EXPECT_TRUE(parsed.request) << c.name << ": " << parsed.error;
    } else {
      ASSERT_FALSE(parsed.request) << c.name;
      const auto answer = nlohmann::json::parse(parsed.error);
      EXPECT_EQ(answer["error"]["code"], c.code) << c.name << ": " << parsed.error;
    }
  }
}

TEST(ParseRequest, NotificationHasNoId) {
  const Parsed parsed = ParseRequest(R"({"jsonrpc":"2.0","method":"agent.info"})", 32);
  ASSERT_TRUE(parsed.request);
  EXPECT_TRUE(parsed.request->notification);
}

TEST(Answers, ErrorCarriesDataOnlyWhenThere) {
  EXPECT_EQ(nlohmann::json::parse(Error(1, kReaderBusy, "busy"))["error"].contains("data"), false);
  EXPECT_EQ(nlohmann::json::parse(
                Error(1, kReaderBusy, "busy", {{"reader", "r"}}))["error"]["data"]["reader"],
            "r");
}

}  // namespace
}  // namespace vorlex::agent
