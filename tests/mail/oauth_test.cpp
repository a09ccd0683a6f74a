// The pieces of the token client that take outside input: the JSON reader for the token
// endpoints' answers, the splitting of a token command, and the list of retry pauses.
#include "mail/oauth.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace verdan::mail {
namespace {

TEST(OAuthJson, KeepsTheScalarMembersAndSkipsNestedValues) {
  std::map<std::string, std::string> m;
  std::string problem;
  ASSERT_TRUE(ParseJsonObject(
      " {\"access_token\":\"eyJ0.a\\/b\",\"expires_in\":3599,\"ok\":true,\"none\":null,"
      "\"error_codes\":[70000,{\"x\":[1,2]}],\"trace\":{},\"text\":\"\\u017ea\\u0161 "
      "\\ud83d\\ude00\\n\"}\r\n",
      m, problem))
      << problem;
  EXPECT_EQ(m, (std::map<std::string, std::string>{{"access_token", "eyJ0.a/b"},
                                                   {"expires_in", "3599"},
                                                   {"ok", "true"},
                                                   {"none", ""},
                                                   {"text", "žaš \xF0\x9F\x98\x80\n"}}));
  ASSERT_TRUE(ParseJsonObject("{}", m, problem));
  EXPECT_TRUE(m.empty());
}

TEST(OAuthJson, RejectsWhatIsNotOneWellFormedObject) {
  const std::vector<std::string> bad = {
      "",
      "[]",
      "\"token\"",
      "{\"a\":1",
      "{\"a\":1,}",
      "{\"a\" 1}",
      "{a:1}",
      "{\"a\":'x'}",
      "{\"a\":01}",
      "{\"a\":1.}",
      "{\"a\":-}",
      "{\"a\":tru}",
      "{\"a\":\"x\ny\"}",
      "{\"a\":\"\\x\"}",
      "{\"a\":\"\\u12\"}",
      "{\"a\":\"\\ud83d\"}",
      "{\"a\":\"\\ude00\"}",
      "{\"a\":\"\\u0000\"}",
      "{\"a\":1}{\"b\":2}",
      "{\"a\":1} x",
      "{\"a\":1,\"a\":2}",
      "{\"a\":[1,2}",
      "{\"a\":" + std::string(40, '[') + std::string(40, ']') + "}",
      "{\"a\":\"unterminated",
  };
  for (const std::string& text : bad) {
    std::map<std::string, std::string> m;
    std::string problem;
    EXPECT_FALSE(ParseJsonObject(text, m, problem)) << text;
    EXPECT_TRUE(m.empty()) << text;
    EXPECT_EQ(problem.rfind("neispravan JSON", 0), 0u) << text << ": " << problem;
  }
}

TEST(OAuthTokenCommand, SplitsOnBlanksWithQuotesKeepingThem) {
  std::vector<std::string> argv;
  std::string problem;
  ASSERT_TRUE(
      SplitCommand("  /usr/bin/helper  --account 'ured backup' \"a'b\" x''y ''  ", argv, problem));
  EXPECT_EQ(argv, (std::vector<std::string>{"/usr/bin/helper", "--account", "ured backup", "a'b",
                                            "xy", ""}));
  EXPECT_FALSE(SplitCommand("helper 'open", argv, problem));
  EXPECT_FALSE(SplitCommand("   ", argv, problem));
}

TEST(OAuthRetryPauses, ListsOfSecondsOrNone) {
  std::vector<int> pauses;
  std::string problem;
  ASSERT_TRUE(ParseRetryPauses("", pauses, problem));
  EXPECT_EQ(pauses, kDefaultRetryPauses);
  ASSERT_TRUE(ParseRetryPauses(" 1, 5 ,30", pauses, problem));
  EXPECT_EQ(pauses, (std::vector<int>{1, 5, 30}));
  ASSERT_TRUE(ParseRetryPauses("ne", pauses, problem));
  EXPECT_TRUE(pauses.empty());
  for (const char* bad : {"1,,2", "-1", "0,5", "x", "999999", "1,2,3,4,5,6,7,8,9,10,11"}) {
    EXPECT_FALSE(ParseRetryPauses(bad, pauses, problem)) << bad;
    EXPECT_EQ(pauses, kDefaultRetryPauses) << bad;
  }
}

}  // namespace
}  // namespace verdan::mail
