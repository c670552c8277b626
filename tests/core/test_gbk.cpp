#include <gtest/gtest.h>

#include "core/Gbk.h"

using namespace tessaro;

TEST(Gbk, ChineseTakesTwoBytesAndRoundTrips) {
  const std::string name = "机房UPS-1";
  const auto gbk = Utf8ToGbk(name);
  ASSERT_TRUE(gbk.has_value());
  EXPECT_EQ(*gbk, std::string("\xBB\xFA\xB7\xBF") + "UPS-1");
  EXPECT_EQ(GbkLength(name), 9);
  EXPECT_EQ(GbkToUtf8(*gbk), name);
}

TEST(Gbk, TextGbkCannotHoldIsRefused) {
  EXPECT_FALSE(Utf8ToGbk("UPS \xF0\x9F\x94\x8B").has_value());  // an emoji
  EXPECT_EQ(GbkLength("\xF0\x9F\x94\x8B"), -1);
  EXPECT_FALSE(Utf8ToGbk("\xFF\xFE").has_value());  // not UTF-8 at all
}

TEST(Gbk, BytesThatAreNotGbkBecomeReplacementCharacters) {
  // A lead byte with no trail at the end, and a lone 0xFF, as a damaged file might hold.
  EXPECT_EQ(GbkToUtf8("A\xFF" "B\xBB"), "A\xEF\xBF\xBD" "B\xEF\xBF\xBD");
  EXPECT_EQ(GbkToUtf8(""), "");
}
