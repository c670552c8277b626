#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>
#include <unistd.h>

#include "core/IniFile.h"
#include "TestFiles.h"

using namespace tessaro;
namespace fs = std::filesystem;

namespace {

TIniFile FromText(std::string text) {
  TIniFile ini;
  ini.SetText(std::move(text));
  return ini;
}

using tessaro::test::ReadText;
using tessaro::test::WriteText;

// Split at '\n' only, so each piece keeps any '\r' it had.
std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> out(1);
  for (char c : text) {
    if (c == '\n')
      out.emplace_back();
    else
      out.back() += c;
  }
  return out;
}

class IniFileOnDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    Dir = fs::temp_directory_path() /
          ("tessaro_ini_" + std::string(info->name()) + "_" + std::to_string(::getpid()));
    fs::remove_all(Dir);
    fs::create_directories(Dir);
    Path = Dir / "test.ini";
  }
  void TearDown() override { fs::remove_all(Dir); }
  // Everything in Dir except the named files.
  int StrayFiles(std::initializer_list<std::string> expected) {
    int n = 0;
    for (const auto& e : fs::directory_iterator(Dir)) {
      bool known = false;
      for (const auto& name : expected) known = known || e.path().filename() == name;
      if (!known) ++n;
    }
    return n;
  }
  fs::path Dir;
  fs::path Path;
};

}  // namespace

// ---- reading ----

TEST(IniFileRead, NamesMatchWithoutRegardToCaseAndSurroundingBlanks) {
  const TIniFile ini = FromText("  [ commport ]  \n  COMNAME  =  COM7  \n");
  EXPECT_EQ(ini.ReadString("CommPort", "ComName"), "COM7");
  EXPECT_EQ(ini.ReadString("COMMPORT", "comname"), "COM7");
}

TEST(IniFileRead, WindowsFileWithBomAndCrlfReadsLikeAPlainOne) {
  const TIniFile ini = FromText("\xEF\xBB\xBF[CommPort]\r\nComName=COM3\r\nBaudRate=4800\r\n");
  EXPECT_EQ(ini.ReadString("CommPort", "ComName"), "COM3");
  EXPECT_EQ(ini.ReadInteger("CommPort", "BaudRate", 0), 4800);
}

TEST(IniFileRead, BomIsOnlySkippedAtTheStart) {
  const TIniFile ini = FromText("[A]\n\xEF\xBB\xBFk=1\n");
  EXPECT_EQ(ini.ReadString("A", "k"), std::nullopt);
}

TEST(IniFileRead, MissingSectionOrKeyGivesNothingOrTheDefault) {
  const TIniFile ini = FromText("[A]\nk=1\n");
  EXPECT_EQ(ini.ReadString("B", "k"), std::nullopt);
  EXPECT_EQ(ini.ReadString("A", "x"), std::nullopt);
  EXPECT_EQ(ini.ReadString("A", "x", "dflt"), "dflt");
  EXPECT_EQ(ini.ReadInteger("A", "x", 42), 42);
}

TEST(IniFileRead, KeyOfAnotherSectionOrBeforeAnySectionIsNotFound) {
  const TIniFile ini = FromText("k=0\n[A]\nk=1\n[B]\nj=2\n");
  EXPECT_EQ(ini.ReadString("A", "k"), "1");
  EXPECT_EQ(ini.ReadString("A", "j"), std::nullopt);
  EXPECT_EQ(ini.ReadString("B", "k"), std::nullopt);
}

TEST(IniFileRead, CommentsAndLinesWithoutEqualsAreNotKeys) {
  const TIniFile ini = FromText("[A]\n;k=1\n  ; j=2\nm\n=5\n");
  EXPECT_EQ(ini.ReadString("A", "k"), std::nullopt);
  EXPECT_EQ(ini.ReadString("A", ";k"), std::nullopt);
  EXPECT_EQ(ini.ReadString("A", "j"), std::nullopt);
  EXPECT_EQ(ini.ReadString("A", "m"), std::nullopt);
}

TEST(IniFileRead, FirstOccurrenceWins) {
  const TIniFile ini = FromText("[A]\nk=1\nk=2\n[a]\nk=3\nj=4\n");
  EXPECT_EQ(ini.ReadString("A", "k"), "1");
  // A key only in the second copy of a section is still found.
  EXPECT_EQ(ini.ReadString("A", "j"), "4");
}

TEST(IniFileRead, ValueKeepsInnerBlanksAndEqualsAndLosesOnePairOfQuotes) {
  const TIniFile ini = FromText(
      "[A]\na= x = y \nb=\"COM1\"\nc='q'\nd=\"half\ne=\nf= \"\" \nsec=[B]\n");
  EXPECT_EQ(ini.ReadString("A", "a"), "x = y");
  EXPECT_EQ(ini.ReadString("A", "b"), "COM1");
  EXPECT_EQ(ini.ReadString("A", "c"), "q");
  EXPECT_EQ(ini.ReadString("A", "d"), "\"half");
  EXPECT_EQ(ini.ReadString("A", "e"), "");
  EXPECT_EQ(ini.ReadString("A", "f"), "");
  EXPECT_EQ(ini.ReadString("A", "sec"), "[B]");
}

TEST(IniFileRead, SectionNameRunsToTheLastBracket) {
  const TIniFile ini = FromText("[A] ; note\nk=1\n[B\nj=2\n");
  EXPECT_EQ(ini.ReadString("A", "k"), "1");
  // "[B" is no section header, so j still belongs to A.
  EXPECT_EQ(ini.ReadString("A", "j"), "2");
}

TEST(IniFileRead, GbkNamesCompareByteForByte) {
  // 0xC4 0xE3 is a GBK character; only ASCII letters fold.
  const TIniFile ini = FromText("[\xC4\xE3]\nk=1\n");
  EXPECT_EQ(ini.ReadString("\xC4\xE3", "k"), "1");
  EXPECT_EQ(ini.ReadString("\xE4\xE3", "k"), std::nullopt);
}

TEST(IniFileRead, IntegersAreSignedDecimalThatFitIn32Bits) {
  const TIniFile ini = FromText(
      "[N]\na=123\nb=-5\nc=+7\nd= 42 \ne=12abc\nf=0x10\ng=\nh=2147483647\ni=2147483648\n"
      "j=-2147483648\nk=-2147483649\nl=+-3\nm=1.5\nn=--1\no=99999999999999999999999\np=$10\n");
  EXPECT_EQ(ini.ReadInteger("N", "a", 0), 123);
  EXPECT_EQ(ini.ReadInteger("N", "b", 0), -5);
  EXPECT_EQ(ini.ReadInteger("N", "c", 0), 7);
  EXPECT_EQ(ini.ReadInteger("N", "d", 0), 42);
  EXPECT_EQ(ini.ReadInteger("N", "e", 9), 9);
  EXPECT_EQ(ini.ReadInteger("N", "f", 9), 9);
  EXPECT_EQ(ini.ReadInteger("N", "g", 9), 9);
  EXPECT_EQ(ini.ReadInteger("N", "h", 0), 2147483647);
  EXPECT_EQ(ini.ReadInteger("N", "i", 9), 9);
  EXPECT_EQ(ini.ReadInteger("N", "j", 0), INT32_MIN);
  EXPECT_EQ(ini.ReadInteger("N", "k", 9), 9);
  EXPECT_EQ(ini.ReadInteger("N", "l", 9), 9);
  EXPECT_EQ(ini.ReadInteger("N", "m", 9), 9);
  EXPECT_EQ(ini.ReadInteger("N", "n", 9), 9);
  EXPECT_EQ(ini.ReadInteger("N", "o", 9), 9);
  EXPECT_EQ(ini.ReadInteger("N", "p", 9), 9);
}

TEST(IniFileRead, BooleanIsAnyNonZeroInteger) {
  const TIniFile ini = FromText("[B]\na=1\nb=0\nc=5\nd=-1\ne=yes\nf=true\n");
  EXPECT_TRUE(ini.ReadBool("B", "a", false));
  EXPECT_FALSE(ini.ReadBool("B", "b", true));
  EXPECT_TRUE(ini.ReadBool("B", "c", false));
  EXPECT_TRUE(ini.ReadBool("B", "d", false));
  EXPECT_FALSE(ini.ReadBool("B", "e", false));
  EXPECT_TRUE(ini.ReadBool("B", "f", true));
  EXPECT_FALSE(ini.ReadBool("B", "missing", false));
}

TEST(IniFileRead, BinaryGarbageNeverCrashesAndKeepsItsBytes) {
  std::string junk;
  for (int i = 0; i < 4096; ++i) junk.push_back(static_cast<char>((i * 7919 + 13) & 0xFF));
  junk += "\n[A]\nk=1\n";
  junk += std::string("\0\0\0[", 4) + "\r\r\n==\n[]\n]\n[";
  TIniFile ini = FromText(junk);
  EXPECT_EQ(ini.ReadString("A", "k"), "1");
  EXPECT_EQ(ini.Text(), junk);
}

TEST(IniFileRead, TextIsTheInputUnchanged) {
  for (const std::string text :
       {"", "\n", "\r\n", "abc", "[A]\r\nk=1", "\xEF\xBB\xBF", "\xEF\xBB\xBF[A]\nk=1\n\n", "a\r\rb\n"}) {
    EXPECT_EQ(FromText(text).Text(), text);
  }
}

// ---- writing ----

TEST(IniFileWrite, ExistingKeyIsReplacedInPlaceAndNothingElseMoves) {
  TIniFile ini = FromText("; top\n[A]\nx=0\nk=old\n\n[B]\nk=b\n");
  ASSERT_FALSE(ini.WriteString("a", "K", "new"));
  EXPECT_EQ(ini.Text(), "; top\n[A]\nx=0\nk=new\n\n[B]\nk=b\n");
}

TEST(IniFileWrite, ReplacementKeepsTheNameAndSpacingBeforeTheValue) {
  TIniFile ini = FromText("[A]\r\n  Key = old value   \r\n");
  ASSERT_FALSE(ini.WriteString("A", "key", "v"));
  EXPECT_EQ(ini.Text(), "[A]\r\n  Key = v\r\n");
}

TEST(IniFileWrite, MissingKeyGoesAfterTheLastKeyOfItsSection) {
  TIniFile ini = FromText("[A]\nk=1\n; about B\n\n[B]\nj=2\n");
  ASSERT_FALSE(ini.WriteString("A", "n", "3"));
  EXPECT_EQ(ini.Text(), "[A]\nk=1\nn=3\n; about B\n\n[B]\nj=2\n");
}

TEST(IniFileWrite, MissingKeyOfAnEmptySectionGoesRightAfterItsHeader) {
  TIniFile ini = FromText("[A]\n\n[B]\n");
  ASSERT_FALSE(ini.WriteString("A", "n", "3"));
  EXPECT_EQ(ini.Text(), "[A]\nn=3\n\n[B]\n");
}

TEST(IniFileWrite, MissingKeyGoesIntoTheFirstCopyOfARepeatedSection) {
  TIniFile ini = FromText("[A]\nk=1\n[B]\n[A]\nj=2\n");
  ASSERT_FALSE(ini.WriteString("A", "j", "5"));
  ASSERT_FALSE(ini.WriteString("A", "n", "3"));
  EXPECT_EQ(ini.Text(), "[A]\nk=1\nn=3\n[B]\n[A]\nj=5\n");
}

TEST(IniFileWrite, MissingSectionIsAppendedToTheFile) {
  TIniFile ini = FromText("[A]\nk=1\n\n");
  ASSERT_FALSE(ini.WriteString("B", "j", "2"));
  ASSERT_FALSE(ini.WriteString("B", "m", "3"));
  EXPECT_EQ(ini.Text(), "[A]\nk=1\n\n[B]\nj=2\nm=3\n");
}

TEST(IniFileWrite, EmptyDocumentGetsSectionAndKey) {
  TIniFile ini;
  ASSERT_FALSE(ini.WriteString("A", "k", "1"));
  EXPECT_EQ(ini.Text(), "[A]\nk=1\n");
}

TEST(IniFileWrite, NewLinesFollowTheLineEndsOfTheFile) {
  TIniFile ini = FromText("\xEF\xBB\xBF[A]\r\nk=1\r\n");
  ASSERT_FALSE(ini.WriteString("A", "n", "2"));
  ASSERT_FALSE(ini.WriteString("B", "j", "3"));
  EXPECT_EQ(ini.Text(), "\xEF\xBB\xBF[A]\r\nk=1\r\nn=2\r\n[B]\r\nj=3\r\n");
}

TEST(IniFileWrite, FileWithoutFinalLineEndKeepsThatStyle) {
  TIniFile ini = FromText("[A]\r\nk=1");
  ASSERT_FALSE(ini.WriteString("A", "n", "2"));
  EXPECT_EQ(ini.Text(), "[A]\r\nk=1\r\nn=2");
  ASSERT_FALSE(ini.WriteString("B", "j", "3"));
  EXPECT_EQ(ini.Text(), "[A]\r\nk=1\r\nn=2\r\n[B]\r\nj=3");
  TIniFile one = FromText("junk");
  ASSERT_FALSE(one.WriteString("A", "k", "1"));
  EXPECT_EQ(one.Text(), "junk\n[A]\nk=1");
}

TEST(IniFileWrite, IntegersAndBooleansAsDecimalAndOneOrZero) {
  TIniFile ini;
  ASSERT_FALSE(ini.WriteInteger("A", "i", -2147483648LL));
  ASSERT_FALSE(ini.WriteInteger("A", "u", 255));
  ASSERT_FALSE(ini.WriteBool("A", "t", true));
  ASSERT_FALSE(ini.WriteBool("A", "f", false));
  EXPECT_EQ(ini.Text(), "[A]\ni=-2147483648\nu=255\nt=1\nf=0\n");
}

TEST(IniFileWrite, WrittenValueReadsBack) {
  TIniFile ini = FromText("[A]\nk = 1\n");
  ASSERT_FALSE(ini.WriteString("A", "k", "COM12"));
  ASSERT_FALSE(ini.WriteString("Z", "k", "x y"));
  EXPECT_EQ(ini.ReadString("A", "k"), "COM12");
  EXPECT_EQ(ini.ReadString("Z", "k"), "x y");
}

TEST(IniFileWrite, NamesAndValuesThatWouldBreakTheFileAreRefused) {
  const std::string text = "[A]\nk=1\n";
  TIniFile ini = FromText(text);
  const auto invalid = std::make_error_code(std::errc::invalid_argument);
  EXPECT_EQ(ini.WriteString("A", "k", "1\n[B]"), invalid);
  EXPECT_EQ(ini.WriteString("A", "k", "1\r"), invalid);
  EXPECT_EQ(ini.WriteString("A", "a=b", "1"), invalid);
  EXPECT_EQ(ini.WriteString("A", ";c", "1"), invalid);
  EXPECT_EQ(ini.WriteString("A", "[c", "1"), invalid);
  EXPECT_EQ(ini.WriteString("A", "  ", "1"), invalid);
  EXPECT_EQ(ini.WriteString("", "k", "1"), invalid);
  EXPECT_EQ(ini.WriteString("A\nB", "k", "1"), invalid);
  EXPECT_EQ(ini.Text(), text);
}

// ---- files ----

TEST_F(IniFileOnDisk, MissingFileIsAnEmptyDocumentWithoutError) {
  TIniFile ini;
  EXPECT_FALSE(ini.Load(Path.string()));
  EXPECT_EQ(ini.Text(), "");
  EXPECT_FALSE(fs::exists(Path));
}

TEST_F(IniFileOnDisk, DirectoryOrOversizedFileIsAnErrorAndAnEmptyDocument) {
  TIniFile ini = FromText("[A]\nk=1\n");
  EXPECT_TRUE(ini.Load(Dir.string()));
  EXPECT_EQ(ini.Text(), "");

  WriteText(Path, std::string(MaxIniFileSize + 1, 'x'));
  EXPECT_EQ(ini.Load(Path.string()), std::make_error_code(std::errc::file_too_large));
  EXPECT_EQ(ini.Text(), "");
}

TEST_F(IniFileOnDisk, SaveThenLoadGivesTheSameBytes) {
  const std::string text = "\xEF\xBB\xBF; c\r\n[A]\r\nk=1\r\n\r\n[B]\r\nj = 2\r\n";
  TIniFile ini = FromText(text);
  ASSERT_FALSE(ini.Save(Path.string()));
  EXPECT_EQ(ReadText(Path), text);
  TIniFile back;
  ASSERT_FALSE(back.Load(Path.string()));
  EXPECT_EQ(back.Text(), text);
  EXPECT_EQ(StrayFiles({"test.ini"}), 0);
}

TEST_F(IniFileOnDisk, SaveKeepsThePermissionsOfTheOldFile) {
  WriteText(Path, "[A]\nk=1\n");
  fs::permissions(Path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  TIniFile ini;
  ASSERT_FALSE(ini.Load(Path.string()));
  ASSERT_FALSE(ini.WriteString("A", "k", "2"));
  ASSERT_FALSE(ini.Save(Path.string()));
  EXPECT_EQ(ReadText(Path), "[A]\nk=2\n");
  EXPECT_EQ(fs::status(Path).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST_F(IniFileOnDisk, SaveWritesThroughASymbolicLink) {
  const fs::path real = Dir / "real.ini";
  WriteText(real, "[A]\nk=1\n");
  fs::create_symlink(real, Path);
  TIniFile ini;
  ASSERT_FALSE(ini.Load(Path.string()));
  ASSERT_FALSE(ini.WriteString("A", "k", "2"));
  ASSERT_FALSE(ini.Save(Path.string()));
  EXPECT_TRUE(fs::is_symlink(Path));
  EXPECT_EQ(ReadText(real), "[A]\nk=2\n");
}

TEST_F(IniFileOnDisk, UnchangedDocumentIsNotRewritten) {
  WriteText(Path, "[A]\nk=1\n");
  struct stat before {};
  ASSERT_EQ(::stat(Path.c_str(), &before), 0);
  TIniFile ini;
  ASSERT_FALSE(ini.Load(Path.string()));
  ASSERT_FALSE(ini.WriteString("A", "k", "1"));
  ASSERT_FALSE(ini.Save(Path.string()));
  struct stat after {};
  ASSERT_EQ(::stat(Path.c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
}

TEST_F(IniFileOnDisk, SaveIntoAMissingDirectoryFailsByValue) {
  TIniFile ini = FromText("[A]\nk=1\n");
  EXPECT_EQ(ini.Save((Dir / "nope" / "x.ini").string()),
            std::make_error_code(std::errc::no_such_file_or_directory));
}

TEST_F(IniFileOnDisk, FailedRenameLeavesTheOldEntryAndNoTemporaryFile) {
  // A directory in the way: the new file is written, but cannot replace it.
  fs::create_directories(Path / "inside");
  TIniFile ini = FromText("[A]\nk=1\n");
  EXPECT_TRUE(ini.Save(Path.string()));
  EXPECT_TRUE(fs::is_directory(Path / "inside"));
  EXPECT_EQ(StrayFiles({"test.ini"}), 0);
}

TEST_F(IniFileOnDisk, FullDiskLeavesTheOldFileIntact) {
  const std::string old = "; keep me\n[A]\nk=1\n";
  WriteText(Path, old);
  TIniFile ini;
  ASSERT_FALSE(ini.Load(Path.string()));
  ASSERT_FALSE(ini.WriteString("A", "big", std::string(64 * 1024, 'x')));

  // A file size limit makes write() fail part way, as a full disk does.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const std::error_code ec = ini.Save(Path.string());
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, oldHandler);

  EXPECT_EQ(ec, std::make_error_code(std::errc::file_too_large));
  EXPECT_EQ(ReadText(Path), old);
  EXPECT_EQ(StrayFiles({"test.ini"}), 0);
}

TEST_F(IniFileOnDisk, SaveKeepsTheOwnerOfTheOldFile) {
  if (::geteuid() != 0) GTEST_SKIP() << "changing the owner needs root";
  WriteText(Path, "[A]\nk=1\n");
  ASSERT_EQ(::chown(Path.c_str(), 12345, 12346), 0);
  TIniFile ini;
  ASSERT_FALSE(ini.Load(Path.string()));
  ASSERT_FALSE(ini.WriteString("A", "k", "2"));
  ASSERT_FALSE(ini.Save(Path.string()));
  struct stat st {};
  ASSERT_EQ(::stat(Path.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 12345u);
  EXPECT_EQ(st.st_gid, 12346u);
}

// Random documents from a small pool of lines, random writes: the written key
// reads back, every other key reads as before, and the old text survives in
// order with only the written line changed or new lines added.
TEST(IniFileWrite, WritingOneKeyNeverDisturbsAnyOther) {
  const char* const pool[] = {"[A]", "[a]", " [ B ] ", "[C]", "[", "]", "k=1", "K = 2", "j=3",
                              " m =4 ", ";k=5", "k", "=6", "", "  ", "\xEF\xBB\xBFk=7", "x=\"q\""};
  const char* const ends[] = {"\n", "\r\n", ""};
  const char* const names[] = {"A", "B", "C", "D"};
  const char* const keys[] = {"k", "j", "m", "x", "n"};
  uint32_t seed = 12345;
  auto next = [&seed](uint32_t n) {
    seed = seed * 1664525u + 1013904223u;
    return (seed >> 8) % n;
  };
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    const int lines = static_cast<int>(next(12));
    for (int i = 0; i < lines; ++i) {
      text += pool[next(std::size(pool))];
      text += i + 1 < lines ? ends[next(2)] : ends[next(3)];
    }
    TIniFile ini = FromText(text);
    const std::string section = names[next(std::size(names))];
    const std::string key = keys[next(std::size(keys))];
    const std::string value = "v" + std::to_string(round);

    std::vector<std::optional<std::string>> before;
    for (const char* s : names)
      for (const char* k : keys) before.push_back(ini.ReadString(s, k));

    ASSERT_FALSE(ini.WriteString(section, key, value)) << text;
    EXPECT_EQ(ini.ReadString(section, key), value) << text;
    size_t i = 0;
    for (const char* s : names)
      for (const char* k : keys) {
        if (!(s == section && k == key)) {
          EXPECT_EQ(ini.ReadString(s, k), before[i]) << text;
        }
        ++i;
      }
    // Written twice, the document does not change again.
    const std::string once = ini.Text();
    ASSERT_FALSE(ini.WriteString(section, key, value));
    EXPECT_EQ(ini.Text(), once) << text;
    // A replaced key changes its one line; an added key only adds lines.
    const std::vector<std::string> oldLines = SplitLines(text), newLines = SplitLines(once);
    const size_t keyIndex = static_cast<size_t>(
        (std::find(std::begin(names), std::end(names), section) - std::begin(names)) *
            std::ssize(keys) +
        (std::find(std::begin(keys), std::end(keys), key) - std::begin(keys)));
    if (before[keyIndex]) {
      ASSERT_EQ(newLines.size(), oldLines.size()) << text;
      int changed = 0;
      for (size_t n = 0; n < oldLines.size(); ++n) changed += oldLines[n] != newLines[n];
      EXPECT_LE(changed, 1) << text;
    } else {
      EXPECT_GE(newLines.size(), oldLines.size() + 1) << text;
      EXPECT_LE(newLines.size(), oldLines.size() + 2) << text;
      // A last line without a line end gets one, which may bring a '\r'.
      size_t matched = 0;
      for (const std::string& line : newLines) {
        if (matched == oldLines.size()) break;
        const std::string& old = oldLines[matched];
        if (line == old || (matched + 1 == oldLines.size() && line == old + "\r")) ++matched;
      }
      EXPECT_EQ(matched, oldLines.size()) << text;
    }
  }
}
