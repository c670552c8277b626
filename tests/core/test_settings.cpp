#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "core/IniFile.h"
#include "core/UserParaIni.h"
#include "TestFiles.h"

using namespace tessaro;
namespace fs = std::filesystem;

namespace {

using tessaro::test::ReadText;
using tessaro::test::WriteText;

const char* const DefaultFile =
    "[CommPort]\n"
    "ComName=COM1\n"
    "BaudRate=9600\n"
    "StopBits=1\n"
    "ReadIntervalTimeout=200\n"
    "AutoStart=0\n"
    "Protocol=0\n"
    "[CommMast]\n"
    "WaitTimer=15\n"
    "MaxReSend=2\n"
    "CommErrCnt=5\n"
    "CommLostCnt=10\n"
    "[Language]\n"
    "Language=0\n"
    "[DataLog]\n"
    "RecInterval=600\n";

void ExpectDefaults(const TSettings& s) {
  EXPECT_EQ(s.PortInfo.ComName, "COM1");
  EXPECT_EQ(s.PortInfo.BaudRate, 9600);
  EXPECT_EQ(s.PortInfo.StopBits, 1);
  EXPECT_EQ(s.PortInfo.ReadIntervalTimeout, 200);
  EXPECT_FALSE(s.PortInfo.AutoStart);
  EXPECT_EQ(s.PortInfo.Protocol, 0);
  EXPECT_EQ(s.PortInfo.WaitTimer, 15);
  EXPECT_EQ(s.PortInfo.MaxReSend, 2);
  EXPECT_EQ(s.PortInfo.CommErrCnt, 5);
  EXPECT_EQ(s.PortInfo.CommLostCnt, 10);
  EXPECT_EQ(s.Language, 0);
  EXPECT_EQ(s.RecInterval, 600);
}

// Every field away from its default, so a setting that is not loaded shows.
TSettings Unusual() {
  TSettings s;
  s.PortInfo = {"COM99", 2400, 2, true, 3, 777, 1, 9, 8, 7};
  s.Language = 1;
  s.RecInterval = 1234;
  return s;
}

class Settings : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    Dir = fs::temp_directory_path() /
          ("tessaro_settings_" + std::string(info->name()) + "_" + std::to_string(::getpid()));
    fs::remove_all(Dir);
    fs::create_directories(Dir);
    Path = SettingsPath(Dir.string() + "/");
  }
  void TearDown() override { fs::remove_all(Dir); }

  TSettings LoadFrom(const std::string& text) {
    WriteText(Path, text);
    TSettings s = Unusual();
    LoadSettings(s, Path);
    return s;
  }
  TSettings LoadKey(const std::string& section, const std::string& line) {
    return LoadFrom("[" + section + "]\n" + line + "\n");
  }

  fs::path Dir;
  std::string Path;
};

}  // namespace

TEST_F(Settings, FileLivesBesideTheExecutable) {
  EXPECT_EQ(SettingsPath("/opt/tessaro/"), "/opt/tessaro/UserParaIni.ini");
}

TEST_F(Settings, FreshRecordHoldsTheDefaults) { ExpectDefaults(TSettings{}); }

TEST_F(Settings, MissingFileGivesEveryDefaultAndCreatesNothing) {
  TSettings s = Unusual();
  LoadSettings(s, Path);
  ExpectDefaults(s);
  EXPECT_FALSE(fs::exists(Path));
}

TEST_F(Settings, UnreadableFileGivesEveryDefault) {
  fs::create_directory(Path);  // a directory where the file should be
  TSettings s = Unusual();
  LoadSettings(s, Path);
  ExpectDefaults(s);
}

TEST_F(Settings, EmptyFileGivesEveryDefault) { ExpectDefaults(LoadFrom("")); }

TEST_F(Settings, BinaryGarbageGivesEveryDefault) {
  std::string junk;
  for (int i = 0; i < 20000; ++i) junk.push_back(static_cast<char>((i * 2654435761u) >> 24));
  ExpectDefaults(LoadFrom(junk));
}

TEST_F(Settings, GarbageAroundSoundKeysLoadsWhatIsSound) {
  const TSettings s = LoadFrom(std::string("\x01\xFF\0garbage\n", 11) +
                               "[CommPort]\n"
                               "ComName=COM4\n"
                               "BaudRate=fast\n"
                               "StopBits=2\n"
                               "ReadIntervalTimeout=\n"
                               "AutoStart=yes\n"
                               "Protocol=9x\n"
                               "\x80\x81=\x82\n"
                               "[CommMast]\n"
                               "WaitTimer=1e3\n"
                               "MaxReSend=4\n"
                               "CommErrCnt=99999999999\n"
                               "[Language]\n"
                               "Language=1\n"
                               "[DataLog]\n"
                               "RecInterval=six hundred\n");
  EXPECT_EQ(s.PortInfo.ComName, "COM4");
  EXPECT_EQ(s.PortInfo.BaudRate, 9600);
  EXPECT_EQ(s.PortInfo.StopBits, 2);
  EXPECT_EQ(s.PortInfo.ReadIntervalTimeout, 200);
  EXPECT_FALSE(s.PortInfo.AutoStart);
  EXPECT_EQ(s.PortInfo.Protocol, 0);
  EXPECT_EQ(s.PortInfo.WaitTimer, 15);
  EXPECT_EQ(s.PortInfo.MaxReSend, 4);
  EXPECT_EQ(s.PortInfo.CommErrCnt, 5);
  EXPECT_EQ(s.PortInfo.CommLostCnt, 10);
  EXPECT_EQ(s.Language, 1);
  EXPECT_EQ(s.RecInterval, 600);
}

TEST_F(Settings, MissingKeyGivesItsDefaultNotTheValueInMemory) {
  const TSettings s = LoadKey("CommPort", "ComName=COM2");
  EXPECT_EQ(s.PortInfo.ComName, "COM2");
  EXPECT_EQ(s.PortInfo.BaudRate, 9600);
  EXPECT_EQ(s.Language, 0);
  EXPECT_EQ(s.RecInterval, 600);
}

TEST_F(Settings, KeyInTheWrongSectionIsNotRead) {
  EXPECT_EQ(LoadKey("CommMast", "BaudRate=2400").PortInfo.BaudRate, 9600);
  EXPECT_EQ(LoadKey("Language", "RecInterval=100").RecInterval, 600);
}

TEST_F(Settings, RecIntervalBelowFiftyIsRaisedAndZeroStaysOff) {
  EXPECT_EQ(LoadKey("DataLog", "RecInterval=20").RecInterval, 50);
  EXPECT_EQ(LoadKey("DataLog", "RecInterval=-5").RecInterval, 50);
  EXPECT_EQ(LoadKey("DataLog", "RecInterval=1").RecInterval, 50);
  EXPECT_EQ(LoadKey("DataLog", "RecInterval=49").RecInterval, 50);
  EXPECT_EQ(LoadKey("DataLog", "RecInterval=-2147483648").RecInterval, 50);
  EXPECT_EQ(LoadKey("DataLog", "RecInterval=0").RecInterval, 0);
  EXPECT_EQ(LoadKey("DataLog", "RecInterval=50").RecInterval, 50);
  EXPECT_EQ(LoadKey("DataLog", "RecInterval=51").RecInterval, 51);
  EXPECT_EQ(LoadKey("DataLog", "RecInterval=3000").RecInterval, 3000);
  EXPECT_EQ(LoadKey("DataLog", "RecInterval=junk").RecInterval, 600);
}

TEST_F(Settings, ByteSettingsKeepTheLowEightBits) {
  EXPECT_EQ(LoadKey("CommPort", "Protocol=258").PortInfo.Protocol, 2);
  EXPECT_EQ(LoadKey("CommPort", "StopBits=-1").PortInfo.StopBits, 255);
  EXPECT_EQ(LoadKey("CommPort", "StopBits=513").PortInfo.StopBits, 1);
  EXPECT_EQ(LoadKey("CommMast", "WaitTimer=256").PortInfo.WaitTimer, 0);
  EXPECT_EQ(LoadKey("CommMast", "MaxReSend=259").PortInfo.MaxReSend, 3);
  EXPECT_EQ(LoadKey("CommMast", "CommErrCnt=-256").PortInfo.CommErrCnt, 0);
  EXPECT_EQ(LoadKey("CommMast", "CommLostCnt=300").PortInfo.CommLostCnt, 44);
  EXPECT_EQ(LoadKey("Language", "Language=257").Language, 1);
}

TEST_F(Settings, OtherValuesAreNotRangeTested) {
  EXPECT_EQ(LoadKey("CommPort", "Protocol=7").PortInfo.Protocol, 7);
  EXPECT_EQ(LoadKey("CommPort", "StopBits=5").PortInfo.StopBits, 5);
  EXPECT_EQ(LoadKey("CommMast", "MaxReSend=0").PortInfo.MaxReSend, 0);
  EXPECT_EQ(LoadKey("CommPort", "BaudRate=-1").PortInfo.BaudRate, -1);
  EXPECT_EQ(LoadKey("CommPort", "ReadIntervalTimeout=2147483647").PortInfo.ReadIntervalTimeout,
            2147483647);
  EXPECT_EQ(LoadKey("CommPort", "ComName=/dev/ttyUSB0").PortInfo.ComName, "/dev/ttyUSB0");
}

TEST_F(Settings, NumberOutside32BitsGivesTheDefault) {
  EXPECT_EQ(LoadKey("CommPort", "BaudRate=4294977296").PortInfo.BaudRate, 9600);
  EXPECT_EQ(LoadKey("CommPort", "Protocol=4294967298").PortInfo.Protocol, 0);
  EXPECT_EQ(LoadKey("DataLog", "RecInterval=2147483648").RecInterval, 600);
}

TEST_F(Settings, AutoStartIsAnyNonZeroIntegerAndIsSavedAsOne) {
  EXPECT_TRUE(LoadKey("CommPort", "AutoStart=-1").PortInfo.AutoStart);
  EXPECT_FALSE(LoadKey("CommPort", "AutoStart=0").PortInfo.AutoStart);
  EXPECT_FALSE(LoadKey("CommPort", "AutoStart=true").PortInfo.AutoStart);

  TSettings s = LoadKey("CommPort", "AutoStart=5");
  EXPECT_TRUE(s.PortInfo.AutoStart);
  ASSERT_FALSE(SaveSettings(s, Path));
  TIniFile ini;
  ASSERT_FALSE(ini.Load(Path));
  EXPECT_EQ(ini.ReadString("CommPort", "AutoStart"), "1");
}

TEST_F(Settings, DefaultsSavedToAMissingFileGiveTheKnownLayout) {
  ASSERT_FALSE(SaveSettings(TSettings{}, Path));
  EXPECT_EQ(ReadText(Path), DefaultFile);
}

TEST_F(Settings, EverySettingSurvivesASaveAndALoad) {
  const TSettings saved = Unusual();
  ASSERT_FALSE(SaveSettings(saved, Path));
  TSettings loaded;
  LoadSettings(loaded, Path);
  EXPECT_EQ(loaded.PortInfo.ComName, saved.PortInfo.ComName);
  EXPECT_EQ(loaded.PortInfo.BaudRate, saved.PortInfo.BaudRate);
  EXPECT_EQ(loaded.PortInfo.StopBits, saved.PortInfo.StopBits);
  EXPECT_EQ(loaded.PortInfo.AutoStart, saved.PortInfo.AutoStart);
  EXPECT_EQ(loaded.PortInfo.Protocol, saved.PortInfo.Protocol);
  EXPECT_EQ(loaded.PortInfo.ReadIntervalTimeout, saved.PortInfo.ReadIntervalTimeout);
  EXPECT_EQ(loaded.PortInfo.WaitTimer, saved.PortInfo.WaitTimer);
  EXPECT_EQ(loaded.PortInfo.MaxReSend, saved.PortInfo.MaxReSend);
  EXPECT_EQ(loaded.PortInfo.CommErrCnt, saved.PortInfo.CommErrCnt);
  EXPECT_EQ(loaded.PortInfo.CommLostCnt, saved.PortInfo.CommLostCnt);
  EXPECT_EQ(loaded.Language, saved.Language);
  EXPECT_EQ(loaded.RecInterval, saved.RecInterval);
}

TEST_F(Settings, ByteSettingsAreSavedAsUnsignedAndRecordingOffStaysOff) {
  TSettings s;
  s.PortInfo.StopBits = 255;
  s.PortInfo.CommLostCnt = 200;
  s.Language = 128;
  s.RecInterval = 0;
  s.PortInfo.BaudRate = -1;
  ASSERT_FALSE(SaveSettings(s, Path));
  TIniFile ini;
  ASSERT_FALSE(ini.Load(Path));
  EXPECT_EQ(ini.ReadString("CommPort", "StopBits"), "255");
  EXPECT_EQ(ini.ReadString("CommMast", "CommLostCnt"), "200");
  EXPECT_EQ(ini.ReadString("Language", "Language"), "128");
  EXPECT_EQ(ini.ReadString("CommPort", "BaudRate"), "-1");
  TSettings back;
  LoadSettings(back, Path);
  EXPECT_EQ(back.RecInterval, 0);
  EXPECT_EQ(back.PortInfo.StopBits, 255);
}

TEST_F(Settings, NetworkAndHookSettingsAreReadAndNeverWritten) {
  EXPECT_EQ(LoadFrom("").NutListen, "");
  EXPECT_EQ(LoadFrom("").HookOnEvent, "");
  const std::string file =
      "[CommPort]\nProtocol=2\n[Network]\nNutListen=127.0.0.1:3493\n[Hooks]\nOnEvent=/usr/local/bin/on-ups-event\n";
  WriteText(Path, file);
  TSettings s;
  LoadSettings(s, Path);
  EXPECT_EQ(s.NutListen, "127.0.0.1:3493");
  EXPECT_EQ(s.HookOnEvent, "/usr/local/bin/on-ups-event");
  s.NutListen = "0.0.0.0:1";
  s.HookOnEvent.clear();
  ASSERT_FALSE(SaveSettings(s, Path));
  EXPECT_NE(ReadText(Path).find("[Network]\nNutListen=127.0.0.1:3493\n[Hooks]\nOnEvent=/usr/local/bin/on-ups-event\n"),
            std::string::npos)
      << ReadText(Path);
  ASSERT_FALSE(SaveSettings(TSettings{}, Path = SettingsPath(Dir.string() + "/fresh-")));
  EXPECT_EQ(ReadText(Path).find("Network"), std::string::npos);
  EXPECT_EQ(ReadText(Path).find("Hooks"), std::string::npos);
}

TEST_F(Settings, SavingTwiceChangesNothing) {
  ASSERT_FALSE(SaveSettings(Unusual(), Path));
  const std::string first = ReadText(Path);
  ASSERT_FALSE(SaveSettings(Unusual(), Path));
  EXPECT_EQ(ReadText(Path), first);
}

TEST_F(Settings, WindowsMadeFileKeepsEveryOtherLineByteForByte) {
  const std::string windowsFile =
      "\xEF\xBB\xBF"
      "; Tessaro settings\r\n"
      "[commport]\r\n"
      "ComName = COM3\r\n"
      "BaudRate=4800\r\n"
      "Parity=None\r\n"
      "StopBits=1\r\n"
      "READINTERVALTIMEOUT=150\r\n"
      "AutoStart=0\r\n"
      "Protocol=2\r\n"
      "\r\n"
      "[Window]\r\n"
      "Left=120\r\n"
      "Top=80\r\n"
      "\r\n"
      "[CommMast]\r\n"
      "WaitTimer=15\r\n"
      "MaxReSend=3\r\n"
      "CommErrCnt=5\r\n"
      "CommLostCnt=10\r\n"
      "; no language saved yet\r\n"
      "\r\n"
      "[DataLog]\r\n"
      "RecInterval=300\r\n"
      "Path=D:\\Logs\r\n";

  WriteText(Path, windowsFile);
  TSettings s;
  LoadSettings(s, Path);
  EXPECT_EQ(s.PortInfo.ComName, "COM3");
  EXPECT_EQ(s.PortInfo.BaudRate, 4800);
  EXPECT_EQ(s.PortInfo.ReadIntervalTimeout, 150);
  EXPECT_EQ(s.PortInfo.Protocol, 2);
  EXPECT_EQ(s.PortInfo.MaxReSend, 3);
  EXPECT_EQ(s.Language, 0);
  EXPECT_EQ(s.RecInterval, 300);

  s.PortInfo.ComName = "COM5";
  s.PortInfo.BaudRate = 9600;
  s.PortInfo.AutoStart = true;
  s.Language = 1;
  s.RecInterval = 0;
  ASSERT_FALSE(SaveSettings(s, Path));

  const std::string expected =
      "\xEF\xBB\xBF"
      "; Tessaro settings\r\n"
      "[commport]\r\n"
      "ComName = COM5\r\n"
      "BaudRate=9600\r\n"
      "Parity=None\r\n"
      "StopBits=1\r\n"
      "READINTERVALTIMEOUT=150\r\n"
      "AutoStart=1\r\n"
      "Protocol=2\r\n"
      "\r\n"
      "[Window]\r\n"
      "Left=120\r\n"
      "Top=80\r\n"
      "\r\n"
      "[CommMast]\r\n"
      "WaitTimer=15\r\n"
      "MaxReSend=3\r\n"
      "CommErrCnt=5\r\n"
      "CommLostCnt=10\r\n"
      "; no language saved yet\r\n"
      "\r\n"
      "[DataLog]\r\n"
      "RecInterval=0\r\n"
      "Path=D:\\Logs\r\n"
      "[Language]\r\n"
      "Language=1\r\n";
  EXPECT_EQ(ReadText(Path), expected);

  TSettings back;
  LoadSettings(back, Path);
  EXPECT_EQ(back.PortInfo.ComName, "COM5");
  EXPECT_TRUE(back.PortInfo.AutoStart);
  EXPECT_EQ(back.Language, 1);
  EXPECT_EQ(back.RecInterval, 0);
}

TEST_F(Settings, MissingKeysAreAddedToTheirSectionsInOrder) {
  WriteText(Path, "[CommPort]\nComName=COM2\n[Other]\nx=1\n[CommMast]\n");
  ASSERT_FALSE(SaveSettings(TSettings{}, Path));
  EXPECT_EQ(ReadText(Path),
            "[CommPort]\n"
            "ComName=COM1\n"
            "BaudRate=9600\n"
            "StopBits=1\n"
            "ReadIntervalTimeout=200\n"
            "AutoStart=0\n"
            "Protocol=0\n"
            "[Other]\n"
            "x=1\n"
            "[CommMast]\n"
            "WaitTimer=15\n"
            "MaxReSend=2\n"
            "CommErrCnt=5\n"
            "CommLostCnt=10\n"
            "[Language]\n"
            "Language=0\n"
            "[DataLog]\n"
            "RecInterval=600\n");
}

TEST_F(Settings, FileThatCannotBeReadIsNotOverwritten) {
  const std::string big(MaxIniFileSize + 10, ';');
  WriteText(Path, big);
  TSettings s;
  LoadSettings(s, Path);
  ExpectDefaults(s);
  EXPECT_EQ(SaveSettings(s, Path), std::make_error_code(std::errc::file_too_large));
  EXPECT_EQ(ReadText(Path), big);
}

TEST_F(Settings, PortNameWithALineBreakIsRefusedAndTheFileKept) {
  WriteText(Path, DefaultFile);
  TSettings s;
  s.PortInfo.ComName = "COM1\n[Evil]";
  EXPECT_EQ(SaveSettings(s, Path), std::make_error_code(std::errc::invalid_argument));
  EXPECT_EQ(ReadText(Path), DefaultFile);
}

// A file that is no settings file (noise, another program's file, a copy
// cut short) is said to be one, line by line, and kept as it was before the
// program writes its settings over it; lines it did understand stay.
TEST_F(Settings, FileNotUnderstoodIsNamedLineByLineAndKeptAsideBeforeARewrite) {
  std::string junk;
  for (int i = 0; i < 3000; ++i) junk.push_back(static_cast<char>((i * 40503u) >> 7));
  const std::string file = "[CommPort]\nComName=COM7\nBaudRate=fast\nstray text\n" + junk +
                           "\n[Web\x01]\nListen=0.0.0.0:80\n[CommMast]\nMaxReSend=3\n";
  WriteText(Path, file);
  const std::vector<std::string> problems = SettingsFileProblems(Path);
  ASSERT_EQ(problems.size(), 6u);
  EXPECT_EQ(problems[0], "line 3: BaudRate=\"fast\" is not a whole number, so 9600 is used");
  EXPECT_EQ(problems[1], "line 4 is no setting (not [Section], Key=Value or ;comment): \"stray text\"");
  EXPECT_NE(problems[2].find("\\x"), std::string::npos) << "control bytes are written out: " << problems[2];
  EXPECT_NE(problems[5].find("more lines like these"), std::string::npos) << problems[5];

  TSettings s;
  const TSettingsSnapshot loaded = LoadSettings(s, Path);
  EXPECT_EQ(s.PortInfo.ComName, "COM7");
  s.Language = 1;
  std::string keptAs;
  ASSERT_FALSE(SaveSettings(s, Path, &loaded, &keptAs));
  EXPECT_EQ(keptAs, Path + ".bad");
  EXPECT_EQ(ReadText(Path + ".bad"), file);
  const std::string after = ReadText(Path);
  EXPECT_EQ(after.find("stray"), std::string::npos) << after;
  EXPECT_EQ(after.find("0.0.0.0"), std::string::npos) << "a dropped section takes its keys along:\n" << after;
  EXPECT_TRUE(SettingsFileProblems(Path).empty()) << after;
  TSettings back;
  LoadSettings(back, Path);
  EXPECT_EQ(back.PortInfo.ComName, "COM7");
  EXPECT_EQ(back.PortInfo.MaxReSend, 3);
  EXPECT_EQ(back.Language, 1);
  EXPECT_TRUE(back.WebListen.empty());

  // Set aside once; a second bad file goes beside the first copy.
  WriteText(Path, "noise\n");
  ASSERT_FALSE(SaveSettings(s, Path, nullptr, &keptAs));
  EXPECT_EQ(keptAs, Path + ".bad1");
  ASSERT_FALSE(SaveSettings(s, Path, nullptr, &keptAs));
  EXPECT_TRUE(keptAs.empty());
}

TEST_F(Settings, SoundFilesHaveNoProblems) {
  for (const char* text : {"", DefaultFile, "; comment\n# another\n\n[CommPort]\r\n  BaudRate = 4800 \r\n[Other]\nx=\n"}) {
    WriteText(Path, text);
    EXPECT_TRUE(SettingsFileProblems(Path).empty()) << text;
  }
  fs::remove(Path);
  EXPECT_TRUE(SettingsFileProblems(Path).empty()) << "no file";
  fs::create_directory(Path);
  ASSERT_EQ(SettingsFileProblems(Path).size(), 1u);
  EXPECT_EQ(SettingsFileProblems(Path)[0].rfind("cannot be read: ", 0), 0u);
}

// ---- a file edited while the program ran ------------------------------------

TEST_F(Settings, SaveLeavesAFileEditedSinceItWasLoaded) {
  struct TCase {
    const char* Name;
    bool FileAtLoad;
    const char* Edit;  // nullptr: the file is removed
  };
  const TCase cases[] = {
      {"value changed", true, "[CommPort]\nComName=COM7\n"},
      {"only a comment added", true, "; note\n[CommPort]\nComName=COM1\n"},
      {"created after a start without one", false, "[CommPort]\nComName=COM7\n"},
      {"removed", true, nullptr},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    fs::remove(Path);
    if (c.FileAtLoad) WriteText(Path, "[CommPort]\nComName=COM1\n");
    TSettings s;
    const TSettingsSnapshot loaded = LoadSettings(s, Path);
    EXPECT_EQ(loaded.Exists, c.FileAtLoad);
    if (c.Edit) WriteText(Path, c.Edit);
    else fs::remove(Path);
    EXPECT_EQ(SaveSettings(s, Path, &loaded), std::make_error_code(std::errc::operation_canceled));
    if (c.Edit) EXPECT_EQ(ReadText(Path), c.Edit);
    else EXPECT_FALSE(fs::exists(Path));
  }
}

TEST_F(Settings, SaveOfAnUnchangedFileWritesAsBefore) {
  for (bool fileAtLoad : {true, false}) {
    fs::remove(Path);
    if (fileAtLoad) WriteText(Path, "[CommPort]\r\nComName=COM3\r\n");
    TSettings s;
    const TSettingsSnapshot loaded = LoadSettings(s, Path);
    s.Language = 1;
    ASSERT_FALSE(SaveSettings(s, Path, &loaded));
    TSettings back;
    LoadSettings(back, Path);
    EXPECT_EQ(back.Language, 1);
    EXPECT_EQ(back.PortInfo.ComName, fileAtLoad ? "COM3" : "COM1");
  }
}

// ---- settings that stop all polling -------------------------------------------

TEST_F(Settings, SettingsThatStopAllPollingAreNamed) {
  struct TCase {
    const char* Key;
    void (*Set)(TSettings&);
    const char* Says;
  };
  const TCase cases[] = {
      {"ReadIntervalTimeout", [](TSettings& s) { s.PortInfo.ReadIntervalTimeout = 0; }, "2048 bytes"},
      {"ReadIntervalTimeout", [](TSettings& s) { s.PortInfo.ReadIntervalTimeout = -5; }, "is -5"},
      {"MaxReSend", [](TSettings& s) { s.PortInfo.MaxReSend = 0; }, "nothing is ever sent"},
      {"MaxReSend", [](TSettings& s) { s.PortInfo.MaxReSend = 1; }, "nothing is ever sent"},
      {"BaudRate", [](TSettings& s) { s.PortInfo.BaudRate = 0; }, "cannot be opened"},
      {"BaudRate", [](TSettings& s) { s.PortInfo.BaudRate = -9600; }, "is -9600"},
      {"Protocol", [](TSettings& s) { s.PortInfo.Protocol = 4; }, "no request is ever built"},
  };
  EXPECT_TRUE(CheckSettings(TSettings{}).empty());
  EXPECT_TRUE(CheckSettings(Unusual()).empty());
  for (const TCase& c : cases) {
    TSettings s;
    c.Set(s);
    const std::vector<TSettingsProblem> said = CheckSettings(s);
    ASSERT_EQ(said.size(), 1u) << c.Key;
    const TSettingsProblem& p = said[0];
    EXPECT_EQ(p.Key, c.Key);
    EXPECT_EQ(p.Text(0), p.English);
    EXPECT_EQ(p.Text(1), p.Chinese);
    EXPECT_EQ(p.English.rfind(c.Key, 0), 0u) << p.English;
    EXPECT_NE(p.English.find(c.Says), std::string::npos) << p.English;
    // Both say where to change it: the dialog has no field for two of them.
    const std::string command = "tessaro config set " + p.Key + "=";
    EXPECT_NE(p.English.find(command), std::string::npos) << p.English;
    EXPECT_NE(p.Chinese.find(command), std::string::npos) << p.Chinese;
    const std::string value = p.English.substr(p.Key.size() + 4, p.English.find(':') - p.Key.size() - 4);
    EXPECT_NE(p.Chinese.find("为 " + value + "："), std::string::npos) << p.Chinese;
  }
}
