#include "platform/text.h"

#include <gtest/gtest.h>

namespace verdan::platform {
namespace {

TEST(Text, UpperCaseByCodePage1250CoversCroatianLetters) {
  EXPECT_EQ(UpperCp1250("čćđšž abc"), "ČĆĐŠŽ ABC");
  EXPECT_EQ(UpperCp1250("ľĺňťźż"), "ĽĹŇŤŹŻ");
  EXPECT_EQ(UpperCp1250("ÄÖÜ é ß"), "ÄÖÜ É ß");
  EXPECT_TRUE(EqualNoCase("Šibenik  ", "šIBENIK"));
  EXPECT_FALSE(EqualNoCase("Šibenik", "Sibenik"));
}

TEST(Text, FieldsAreCutAndPaddedInCharactersNotBytes) {
  EXPECT_EQ(FitField("čač", 5), "čač  ");
  EXPECT_EQ(FitField("Žabljak", 3), "Žab");
  EXPECT_EQ(CharCount("ŠĐ"), 2u);
  EXPECT_EQ(TrimRight("a b   "), "a b");
  EXPECT_TRUE(IsBlank("    "));
  EXPECT_TRUE(IsBlank(""));
}

TEST(Text, Cp1250RoundTrip) {
  std::string s = "Greška čćžšđ ČĆŽŠĐ";
  std::string cp = Utf8ToCp1250(s);
  EXPECT_EQ(cp.size(), CharCount(s));
  EXPECT_EQ(static_cast<unsigned char>(cp[3]), 0x9A);  // š
  EXPECT_EQ(Cp1250ToUtf8(cp), s);
  EXPECT_EQ(Utf8ToCp1250("€ 日"), "\x80 ?");
}

}  // namespace
}  // namespace verdan::platform
