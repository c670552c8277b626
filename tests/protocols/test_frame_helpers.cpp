#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "protocols/FuncUnit.h"

using namespace tessaro;

namespace {

TEST(HexDigitValue, MapsBothCasesAndFlagsEverythingElseAs16) {
  const struct {
    char c;
    int value;
  } rows[] = {
      {'0', 0}, {'9', 9}, {'A', 10}, {'F', 15}, {'a', 10}, {'f', 15},
      {'g', 16}, {'G', 16}, {' ', 16}, {'~', 16}, {'\0', 16}, {'\r', 16},
      {'/', 16}, {':', 16}, {'@', 16}, {'`', 16}, {static_cast<char>(0xB0), 16}, {static_cast<char>(0xFF), 16},
  };
  for (const auto& r : rows) EXPECT_EQ(HexDigitValue(r.c), r.value) << "char " << int(static_cast<unsigned char>(r.c));
}

TEST(HexToInt, ReadsWorkedExamples) {
  const struct {
    const char* text;
    int count;
    int32_t value;
  } rows[] = {
      {"2A", 2, 42},
      {"7", 2, 7},       // read as 07
      {"1G5", 3, 1},     // stops at G
      {"", 2, 0},
      {"2a", 2, 42},     // lower case counts as a digit
      {"FF", 2, 255},
      {"1234", 2, 0x12}, // characters after count are ignored
      {"00FA", 4, 250},
      {"G1", 2, 0},      // stop at the first character
      {"7", 1, 7},
      {"7", 4, 7},       // read as 0007
      {"FFFFFFFF", 8, -1},
      {"7FFFFFFF", 8, INT32_MAX},
      {"AB", 0, 0},
      {"AB", -3, 0},
  };
  for (const auto& r : rows) EXPECT_EQ(HexToInt(r.text, r.count), r.value) << r.text << "," << r.count;
}

TEST(HexToInt, WrapsModulo2To32AndHandlesHugeCountsWithoutPadding) {
  EXPECT_EQ(HexToInt("100000000", 9), 0);
  EXPECT_EQ(HexToInt("123456789", 9), 0x23456789);
  EXPECT_EQ(HexToInt("2A", INT_MAX), 42);
}

TEST(Hex4ToWord, SkipsNonDigitsWithoutShifting) {
  EXPECT_EQ(Hex4ToWord("00FA", 0), 250);
  EXPECT_EQ(Hex4ToWord("0 1F", 0), 31);
  EXPECT_EQ(Hex4ToWord("ffff", 0), 0xFFFF);
  EXPECT_EQ(Hex4ToWord("~2001", 1), 0x2001);
  EXPECT_EQ(Hex4ToWord("xxxx", 0), 0);
  EXPECT_EQ(Hex4ToWord("12345", 0), 0x1234);
}

TEST(Hex4ToWord, TreatsPositionsPastTheEndAsSkippedCharacters) {
  EXPECT_EQ(Hex4ToWord("AB", 0), 0xAB);
  EXPECT_EQ(Hex4ToWord("ABCD", 2), 0xCD);
  EXPECT_EQ(Hex4ToWord("ABCD", 4), 0);
  EXPECT_EQ(Hex4ToWord("ABCD", 100), 0);
  EXPECT_EQ(Hex4ToWord("ABCD", SIZE_MAX), 0);
  EXPECT_EQ(Hex4ToWord("ABCD", SIZE_MAX - 1), 0);
  EXPECT_EQ(Hex4ToWord("", 0), 0);
}

TEST(WordToHex4, GivesFourUpperCaseDigitsOfTheLow16Bits) {
  EXPECT_EQ(WordToHex4(0), "0000");
  EXPECT_EQ(WordToHex4(0xFDA2), "FDA2");
  EXPECT_EQ(WordToHex4(0xabc), "0ABC");
  EXPECT_EQ(WordToHex4(0x12345678), "5678");
  EXPECT_EQ(WordToHex4(0xFFFFFFFF), "FFFF");
}

TEST(BitIsSet, TestsBitsZeroTo31AndRejectsOthers) {
  EXPECT_TRUE(BitIsSet(1, 0));
  EXPECT_FALSE(BitIsSet(1, 1));
  EXPECT_TRUE(BitIsSet(0x8000, 15));
  EXPECT_TRUE(BitIsSet(0x80000000u, 31));
  EXPECT_FALSE(BitIsSet(0xFFFFFFFFu, 32));
  EXPECT_FALSE(BitIsSet(0xFFFFFFFFu, -1));
  EXPECT_FALSE(BitIsSet(0xFFFFFFFFu, INT_MIN));
}

TEST(LengthField, PrefixesLenIdWithItsNibbleCheck) {
  const struct {
    int lenId;
    const char* text;
  } rows[] = {
      {0, "0000"},     // a request without INFO
      {2, "E002"},
      {18, "D012"},
      {160, "60A0"},
      {4095, "3FFF"},
      {4096, "0000"},  // top bits lost
      {0x1012, "D012"},
      {-1, "3FFF"},    // low 12 bits of the two's complement
  };
  for (const auto& r : rows) EXPECT_EQ(LengthField(r.lenId), r.text) << r.lenId;
}

TEST(FrameChecksum, IsTheTwosComplementOfTheCharactersAfterSoi) {
  EXPECT_EQ(FrameChecksum("~31012A420000", 12), "FDA2");
  EXPECT_EQ(FrameChecksum("~000000000000", 12), "FDC0");  // all '0' still gives a check
  // Characters past count (the checksum itself, the EOI) are not summed.
  EXPECT_EQ(FrameChecksum("~31012A420000FDA2\r", 12), "FDA2");
  EXPECT_EQ(FrameChecksum("~", 0), "0000");
  EXPECT_EQ(FrameChecksum("~1", 1), WordToHex4(65536 - '1'));
}

TEST(FrameChecksum, SumsCharactersAsUnsignedBytes) {
  const std::string frame = std::string("~") + static_cast<char>(0xFF);
  EXPECT_EQ(FrameChecksum(frame, 1), WordToHex4(65536 - 0xFF));
}

TEST(FrameChecksum, ClipsCountToTheFrame) {
  EXPECT_EQ(FrameChecksum("~31012A420000", 1000), "FDA2");
  EXPECT_EQ(FrameChecksum("~31012A420000", INT_MAX), "FDA2");
  EXPECT_EQ(FrameChecksum("", 12), "0000");
  EXPECT_EQ(FrameChecksum("~31", -5), "0000");
}

TEST(FrameHelpers, BuildTheWorkedRequestFrame) {
  std::string frame = "~31012A42" + LengthField(0);
  frame += FrameChecksum(frame, static_cast<int>(frame.size()) - 1);
  frame += '\r';
  EXPECT_EQ(frame, "~31012A420000FDA2\r");
  EXPECT_EQ(frame.size(), 18u);
}

TEST(HexOnly, UpperCasesAndDropsEverythingButHexDigits) {
  EXPECT_EQ(HexOnly("01 03 0a-c5:cd"), "01030AC5CD");
  EXPECT_EQ(HexOnly("xyz GHI"), "");
  EXPECT_EQ(HexOnly(""), "");
  EXPECT_EQ(HexOnly("aBcDeF"), "ABCDEF");
  EXPECT_EQ(HexOnly(std::string("A\0B", 3)), "AB");
}

TEST(HexTextToBytes, PairsDigitsAndIgnoresALastUnpairedOne) {
  EXPECT_EQ(HexTextToBytes("01 03 00 00 00 0a c5 cd"),
            (std::vector<uint8_t>{0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD}));
  EXPECT_EQ(HexTextToBytes("ABC"), (std::vector<uint8_t>{0xAB}));
  EXPECT_EQ(HexTextToBytes("A"), std::vector<uint8_t>{});
  EXPECT_EQ(HexTextToBytes(""), std::vector<uint8_t>{});
  EXPECT_EQ(HexTextToBytes("zz"), std::vector<uint8_t>{});
  // Separators may split a pair: digits are paired after the filter.
  EXPECT_EQ(HexTextToBytes("F F"), (std::vector<uint8_t>{0xFF}));
}

TEST(BytesToHexText, WritesEachByteFollowedByTheSeparator) {
  const uint8_t bytes[] = {0x7E, 0x0D};
  EXPECT_EQ(BytesToHexText(bytes, 2, " "), "7E 0D ");
  EXPECT_EQ(BytesToHexText(bytes, 2, ""), "7E0D");
  EXPECT_EQ(BytesToHexText(bytes, 2, ", "), "7E, 0D, ");
  EXPECT_EQ(BytesToHexText(bytes, 0, " "), "");
  EXPECT_EQ(BytesToHexText(nullptr, 0, " "), "");
  EXPECT_EQ(BytesToHexText(std::vector<uint8_t>{0x00, 0xFF, 0xa5}, "-"), "00-FF-A5-");
}

TEST(BytesToHexText, RoundTripsThroughHexTextToBytes) {
  std::vector<uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(HexTextToBytes(BytesToHexText(all, " ")), all);
}

TEST(SignedWordToStr, ReadsTheLow16BitsAsSigned) {
  EXPECT_EQ(SignedWordToStr(0xFFFF), "-1");
  EXPECT_EQ(SignedWordToStr(0), "0");
  EXPECT_EQ(SignedWordToStr(0x7FFF), "32767");
  EXPECT_EQ(SignedWordToStr(0x8000), "-32768");
  EXPECT_EQ(SignedWordToStr(0x10005), "5");
}

TEST(HexToSingle, ReadsFourPairsLeastSignificantFirst) {
  EXPECT_DOUBLE_EQ(HexToSingle("0000C842", 0), 100.0);
  EXPECT_DOUBLE_EQ(HexToSingle("xx0000C842yy", 2), 100.0);
  EXPECT_DOUBLE_EQ(HexToSingle("0000803F", 0), 1.0);
  EXPECT_DOUBLE_EQ(HexToSingle("000080bf", 0), -1.0);
  EXPECT_DOUBLE_EQ(HexToSingle("00000000", 0), 0.0);
  EXPECT_DOUBLE_EQ(HexToSingle("CDCC5C43", 0), static_cast<double>(220.8f));
}

float FloatFromBits(uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

TEST(HexToSingle, ReadsWhatIsThereWhenTheTextIsShort) {
  // Missing pairs read as 00; a lone last digit d as 0d.
  EXPECT_DOUBLE_EQ(HexToSingle("0000C8", 0), static_cast<double>(FloatFromBits(0x00C80000)));
  EXPECT_DOUBLE_EQ(HexToSingle("0000C84", 0), static_cast<double>(FloatFromBits(0x04C80000)));
  EXPECT_EQ(HexToSingle("", 0), 0.0);
  EXPECT_EQ(HexToSingle("0000C842", 8), 0.0);
  EXPECT_EQ(HexToSingle("0000C842", SIZE_MAX), 0.0);
  EXPECT_EQ(HexToSingle("0000C842", SIZE_MAX - 3), 0.0);
}

TEST(HexToSingle, GivesNaNAndInfinityPatternsAsTheyAre) {
  EXPECT_TRUE(std::isnan(HexToSingle("0000C07F", 0)));
  EXPECT_TRUE(std::isinf(HexToSingle("0000807F", 0)));
}

TEST(IntToFixedDigits, PadsToWidthAndKeepsTheLastDigits) {
  const struct {
    int64_t value;
    int width;
    const char* text;
  } rows[] = {
      {5, 2, "05"},  {2024, 2, "24"}, {7, 4, "0007"}, {0, 3, "000"}, {999, 3, "999"},
      {1000, 3, "000"}, {12, 2, "12"}, {5, 0, ""}, {5, -1, ""}, {-5, 4, "00-5"},
      {INT64_MIN, 3, "808"},
  };
  for (const auto& r : rows) EXPECT_EQ(IntToFixedDigits(r.value, r.width), r.text) << r.value << "," << r.width;
}

// Arbitrary bytes at arbitrary positions: nothing may read outside its input
// (the sanitizer build checks this), and outputs keep their fixed shapes.
TEST(FrameHelpers, StaySafeAndWellFormedOnRandomInput) {
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<int> len(0, 40);
  for (int round = 0; round < 20000; ++round) {
    // Exact-size heap copy so that an overread is caught by the sanitizer.
    const int n = len(rng);
    std::vector<char> buf(static_cast<std::size_t>(n));
    for (char& c : buf) c = static_cast<char>(byte(rng));
    const std::string_view text(buf.data(), buf.size());
    const int count = len(rng) - 5;
    const std::size_t pos = static_cast<std::size_t>(len(rng));

    (void)HexToInt(text, count);
    (void)Hex4ToWord(text, pos);
    (void)HexToSingle(text, pos);
    EXPECT_EQ(FrameChecksum(text, count).size(), 4u);
    EXPECT_EQ(LengthField(count * 997).size(), 4u);
    const std::string hex = HexOnly(text);
    EXPECT_EQ(hex.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    const std::vector<uint8_t> bytes = HexTextToBytes(text);
    EXPECT_EQ(bytes.size(), hex.size() / 2);
    EXPECT_EQ(BytesToHexText(bytes, "").substr(0, bytes.size() * 2), hex.substr(0, bytes.size() * 2));
  }
}

}  // namespace
