#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/Clock.h"
#include "core/UpsInfo.h"
#include "logs/EventLog.h"
#include "logs/LogTestFiles.h"

using namespace tessaro;
using namespace logtest;

namespace {

// 2008-12-31 12:00:00 and 06:00:00 as OLE dates, exactly representable.
constexpr TDateTime Noon = 39813.5;
constexpr TDateTime Morning = 39813.25;

class EventLogTest : public ::testing::Test {
 protected:
  void SetUp() override { InitDeviceTable(Table); }

  TEventLog MakeLog(const std::string& recordDir, const std::string& backupDir) {
    return TEventLog(recordDir, "EventLog.dat", backupDir, Table, Clock);
  }
  std::string RecordDir() const { return Tmp.Path() + "Record/"; }
  std::string BackupDir() const { return Tmp.Path() + "Backup/"; }
  std::string Active() const { return RecordDir() + "EventLog.dat"; }

  // n records whose Code is first, first+1, ... (distinct, so copies can be checked).
  static Bytes Records(int n, int first = 0) {
    Bytes out;
    out.reserve(static_cast<size_t>(n) * 48);
    for (int i = 0; i < n; ++i) {
      EventRecord r = MakeAlarmRecord(Noon, 1, first + i, true);
      const Bytes b = BytesOf(r);
      out.insert(out.end(), b.begin(), b.end());
    }
    return out;
  }
  void Prefill(int n) {
    std::filesystem::create_directories(RecordDir());
    WriteAll(Active(), Records(n));
  }

  TTempDir Tmp;
  TUpsInfoTable Table;
  TManualClock Clock{Noon};
};

}  // namespace

// ---- record layout -----------------------------------------------------

TEST_F(EventLogTest, StateChangeRecordMatchesHandMadeBytes) {
  TUpsInfo& dev = Table[7];
  dev.StateCode = 5;
  dev.Status.CmmState1 = 0x1101;
  dev.Status.CmmState2 = 0x2202;
  dev.Status.CmmAlarm1 = 0x3303;
  dev.Status.CmmAlarm2 = 0x4404;
  dev.Status.InvState1 = 0x5505;
  dev.Status.InvState2 = 0x6606;
  dev.Status.InvAlarm1 = 0x7707;
  dev.Status.InvAlarm2 = 0x8808;
  dev.Status.SysState = 0x9909;
  dev.Status.SysAlarm = 0xAA0A;
  dev.Status.UpsState = 0xBB;
  const uint8_t reserved[4] = {0xC1, 0xC2, 0xC3, 0xC4};  // copied as they are: a byte copy
  std::memcpy(dev.Status.Reserved, reserved, 4);
  dev.Status.StateValid = 1;

  TEventLog log = MakeLog(RecordDir(), BackupDir());
  ASSERT_TRUE(log.LogDeviceEvent(DevEventStateChange, 7));

  const Bytes expected = Hex(
      "00 00 00 00 b0 70 e3 40 "  // 0  Time 39813.5 = 2008-12-31 12:00:00
      "07 01 00 00 "              // 8  Address 7, Kind 1, padding
      "05 00 00 00 "              // 12 Code = StateCode 5
      "ff 00 "                    // 16 Active 255, undefined
      "01 11 02 22 03 33 04 44 "  // 18 CmmState1, CmmState2, CmmAlarm1, CmmAlarm2
      "05 55 06 66 07 77 08 88 "  // 26 InvState1, InvState2, InvAlarm1, InvAlarm2
      "09 99 0a aa "              // 34 SysState, SysAlarm
      "bb c1 c2 c3 c4 01 "        // 38 UpsState, reserved, StateValid
      "00 00 00 00");             // 44 undefined
  ASSERT_EQ(expected.size(), 48u);
  EXPECT_EQ(ReadAll(Active()), expected);
}

TEST_F(EventLogTest, ProgramStartRecordMatchesHandMadeBytes) {
  Clock.Set(Morning);
  Table[0].Status.SysState = 0x1234;  // program events carry no status block
  TEventLog log = MakeLog(RecordDir(), BackupDir());
  ASSERT_TRUE(log.LogProgramEvent(ProgEventStarted));
  const Bytes expected = Hex(
      "00 00 00 00 a8 70 e3 40 "  // Time 39813.25 = 2008-12-31 06:00:00
      "00 00 00 00 "              // Address 0, Kind 0
      "14 00 00 00 "              // Code 20
      "ff 00 "
      "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
      "00 00 00 00");
  EXPECT_EQ(ReadAll(Active()), expected);
}

TEST_F(EventLogTest, AlarmRecordMatchesHandMadeBytes) {
  TEventLog log = MakeLog(RecordDir(), BackupDir());
  ASSERT_TRUE(log.LogAlarmEvent(9, 140, true));
  ASSERT_TRUE(log.Append(MakeAlarmRecord(Morning, 9, 205, false)));
  const Bytes expected = Hex(
      "00 00 00 00 b0 70 e3 40 09 02 00 00 8c 00 00 00 01 00 "
      "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
      "00 00 00 00 a8 70 e3 40 09 02 00 00 cd 00 00 00 00 00 "
      "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
  EXPECT_EQ(ReadAll(Active()), expected);
}

TEST_F(EventLogTest, LostDeviceWithNoStateWritesMinusOneAsStateCode) {
  Table[4].StateCode = -1;
  TEventLog log = MakeLog(RecordDir(), BackupDir());
  ASSERT_TRUE(log.LogDeviceEvent(DevEventStateChange, 4));
  const Bytes file = ReadAll(Active());
  ASSERT_EQ(file.size(), 48u);
  EXPECT_EQ(Bytes(file.begin() + 12, file.begin() + 16), Hex("ff ff ff ff"));
}

// ---- which events are written ------------------------------------------

TEST_F(EventLogTest, ProgramEventTypesMapToTheirCodes) {
  TEventLog log = MakeLog(RecordDir(), BackupDir());
  for (uint8_t type : {0, 1, 3, 4}) ASSERT_TRUE(log.LogProgramEvent(type));
  const auto recs = ReadEventLogFile(Active());
  ASSERT_EQ(recs.size(), 4u);
  const int codes[] = {20, 21, 18, 23};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(recs[i].Code, codes[i]);
    EXPECT_EQ(recs[i].Kind, 0);
    EXPECT_EQ(recs[i].Address, 0);
    EXPECT_EQ(recs[i].Active, 255);
    EXPECT_EQ(recs[i].Time, Noon);
  }
}

TEST_F(EventLogTest, ProgramEventTypeTwoAndUnknownTypesWriteNothing) {
  TEventLog log = MakeLog(RecordDir(), BackupDir());
  for (int type : {2, 5, 6, 7, 255}) EXPECT_FALSE(log.LogProgramEvent(static_cast<uint8_t>(type)));
  EXPECT_FALSE(Exists(Active()));
  EXPECT_EQ(log.Changed, 0);
  ASSERT_TRUE(log.LogProgramEvent(ProgEventStarted));
  EXPECT_FALSE(log.LogProgramEvent(2));
  EXPECT_EQ(log.RecordCount(), 1);
}

TEST_F(EventLogTest, DeviceEventTypesMapToKindAndCode) {
  Table[33].StateCode = 9;
  TEventLog log = MakeLog(RecordDir(), BackupDir());
  for (uint8_t type : {2, 3, 4, 5, 6}) ASSERT_TRUE(log.LogDeviceEvent(type, 33));
  const auto recs = ReadEventLogFile(Active());
  ASSERT_EQ(recs.size(), 5u);
  const int kinds[] = {0, 0, 0, 0, 1};
  const int codes[] = {22, 18, 23, 19, 9};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(recs[i].Address, 33);
    EXPECT_EQ(recs[i].Kind, kinds[i]);
    EXPECT_EQ(recs[i].Code, codes[i]);
    EXPECT_EQ(recs[i].Active, 255);
  }
}

TEST_F(EventLogTest, DeviceEventTypeSevenAndOtherUnknownTypesWriteNothing) {
  TEventLog log = MakeLog(RecordDir(), BackupDir());
  for (int type : {0, 1, 7, 8, 255}) EXPECT_FALSE(log.LogDeviceEvent(static_cast<uint8_t>(type), 5));
  EXPECT_FALSE(Exists(Active()));
  ASSERT_TRUE(log.LogDeviceEvent(DevEventLost, 5));
  EXPECT_FALSE(log.LogDeviceEvent(7, 5));
  EXPECT_EQ(log.RecordCount(), 1);
}

TEST_F(EventLogTest, DeviceEventBeyondTheTableWritesNothing) {
  TEventLog log = MakeLog(RecordDir(), BackupDir());
  EXPECT_FALSE(log.LogDeviceEvent(DevEventLost, 253));
  EXPECT_FALSE(log.LogDeviceEvent(DevEventLost, 255));
  EXPECT_FALSE(Exists(Active()));
}

TEST_F(EventLogTest, DeviceEventTakesAddressFromTheSlot) {
  Table[12].Address = 12;
  TEventLog log = MakeLog(RecordDir(), BackupDir());
  ASSERT_TRUE(log.LogDeviceEvent(DevEventEstablished, 12));
  EXPECT_EQ(ReadEventLogFile(Active()).at(0).Address, 12);
}

TEST_F(EventLogTest, LinkBookkeepingLogsThroughTheStore) {
  TEventLog log = MakeLog(RecordDir(), BackupDir());
  TDeviceEventSink& sink = log;
  LinkSucceeded(Table[5], sink);  // starts lost: communication established
  for (int i = 0; i < 10; ++i) LinkFailed(Table[5], sink);
  const auto recs = ReadEventLogFile(Active());
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[0].Code, 22);
  EXPECT_EQ(recs[0].Address, 5);
  EXPECT_EQ(recs[1].Code, 18);
  EXPECT_EQ(recs[1].Address, 5);
}

TEST_F(EventLogTest, EveryRecordIsStampedWhenItIsBuilt) {
  TEventLog log = MakeLog(RecordDir(), BackupDir());
  const TDateTime first = EncodeDateTime({2009, 1, 1, 0, 0, 1, 0});
  Clock.Set(first);
  ASSERT_TRUE(log.LogProgramEvent(ProgEventStarted));
  Clock.AdvanceMs(1500);
  ASSERT_TRUE(log.LogDeviceEvent(DevEventLost, 3));
  Clock.AdvanceMs(1000);
  ASSERT_TRUE(log.LogAlarmEvent(3, 101, true));
  const auto recs = ReadEventLogFile(Active());
  ASSERT_EQ(recs.size(), 3u);
  EXPECT_EQ(FormatDateTime(recs[0].Time), "2009-01-01 00:00:01");
  EXPECT_EQ(FormatDateTime(recs[1].Time), "2009-01-01 00:00:02");
  EXPECT_EQ(FormatDateTime(recs[2].Time), "2009-01-01 00:00:03");
}

// ---- append --------------------------------------------------------------

TEST_F(EventLogTest, ConstructionTouchesNoFile) {
  TEventLog log = MakeLog(RecordDir(), BackupDir());
  EXPECT_EQ(log.FullPath, RecordDir() + "EventLog.dat");
  EXPECT_EQ(log.Changed, 0);
  EXPECT_TRUE(List(Tmp.Path()).empty());
}

TEST_F(EventLogTest, FirstAppendCreatesTheRecordDirectoryAndFile) {
  const std::string dir = Tmp.Path() + "program/Record/";
  TEventLog log(dir, "EventLog.dat", BackupDir(), Table, Clock);
  ASSERT_TRUE(log.LogProgramEvent(ProgEventStarted));
  EXPECT_EQ(SizeOf(dir + "EventLog.dat"), 48);
  EXPECT_EQ(log.RecordCount(), 1);
  EXPECT_EQ(log.Changed, 255);
  EXPECT_FALSE(Exists(BackupDir()));
}

TEST_F(EventLogTest, RecordCountCreatesDirectoryAndEmptyFile) {
  TEventLog log = MakeLog(RecordDir(), BackupDir());
  EXPECT_EQ(log.RecordCount(), 0);
  EXPECT_EQ(SizeOf(Active()), 0);
}

TEST_F(EventLogTest, ChangedIsSetByEveryAppendAndLeftForTheViewerToReset) {
  TEventLog log = MakeLog(RecordDir(), BackupDir());
  ASSERT_TRUE(log.LogProgramEvent(ProgEventStarted));
  EXPECT_EQ(log.Changed, 255);
  log.Changed = 0;
  ASSERT_TRUE(log.LogProgramEvent(ProgEventClosed));
  EXPECT_EQ(log.Changed, 255);
}

TEST_F(EventLogTest, PartialTailIsCountedDownAndOverwritten) {
  Prefill(3);
  Bytes file = ReadAll(Active());
  const Bytes whole = file;
  file.insert(file.end(), 20, 0xEE);  // a write cut short by a power loss
  WriteAll(Active(), file);
  TEventLog log = MakeLog(RecordDir(), BackupDir());
  EXPECT_EQ(log.RecordCount(), 3);
  ASSERT_TRUE(log.Append(MakeAlarmRecord(Morning, 2, 77, true)));
  const Bytes after = ReadAll(Active());
  ASSERT_EQ(after.size(), 4u * 48);
  EXPECT_EQ(Bytes(after.begin(), after.begin() + 144), whole);
  EXPECT_EQ(Bytes(after.begin() + 144, after.end()), BytesOf(MakeAlarmRecord(Morning, 2, 77, true)));
}

TEST_F(EventLogTest, FileOfOnlyAPartialRecordCountsZeroAndIsOverwritten) {
  std::filesystem::create_directories(RecordDir());
  WriteAll(Active(), Bytes(47, 0xEE));
  TEventLog log = MakeLog(RecordDir(), BackupDir());
  EXPECT_EQ(log.RecordCount(), 0);
  ASSERT_TRUE(log.LogProgramEvent(ProgEventStarted));
  EXPECT_EQ(SizeOf(Active()), 48);
}

TEST_F(EventLogTest, NoFileHandleStaysOpen) {
  TEventLog log = MakeLog(RecordDir(), BackupDir());
  const int before = OpenFdCount();
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(log.LogProgramEvent(ProgEventStarted));
  log.RecordCount();
  log.ClearWithBackup();
  EXPECT_EQ(OpenFdCount(), before);
}

// ---- rotation --------------------------------------------------------------

TEST_F(EventLogTest, AppendToFiveThousandRecordsMakesFiveThousandOneWithoutRotating) {
  Prefill(5000);
  TEventLog log = MakeLog(RecordDir(), BackupDir());
  ASSERT_TRUE(log.LogProgramEvent(ProgEventStarted));
  EXPECT_EQ(log.RecordCount(), 5001);
  EXPECT_TRUE(List(BackupDir()).empty());
  EXPECT_EQ(log.LastRotateResult(), TRotateResult::None);
}

TEST_F(EventLogTest, AppendToFiveThousandOneRecordsRotatesAllOfThemFirst) {
  Prefill(5000);
  TEventLog log = MakeLog(RecordDir(), BackupDir());
  ASSERT_TRUE(log.Append(MakeAlarmRecord(Noon, 1, 5000, true)));
  const Bytes full = ReadAll(Active());
  ASSERT_EQ(full.size(), 5001u * 48);

  const EventRecord next = MakeAlarmRecord(Morning, 8, 999, false);
  ASSERT_TRUE(log.Append(next));
  EXPECT_EQ(List(BackupDir()), std::set<std::string>{"EventLog_000.dat"});
  EXPECT_EQ(ReadAll(BackupDir() + "EventLog_000.dat"), full);
  EXPECT_EQ(ReadAll(Active()), BytesOf(next));
  EXPECT_EQ(log.LastRotateResult(), TRotateResult::Done);
  EXPECT_EQ(log.LastBackupPath(), BackupDir() + "EventLog_000.dat");
  EXPECT_FALSE(log.RotationPending());
  EXPECT_EQ(log.Changed, 255);
}

TEST_F(EventLogTest, RotationTakesTheLowestFreeNumberAndNeverOverwrites) {
  std::filesystem::create_directories(BackupDir());
  WriteAll(BackupDir() + "EventLog_000.dat", Hex("aa"));
  WriteAll(BackupDir() + "EventLog_002.dat", Hex("bb"));
  Prefill(5001);
  const Bytes full = ReadAll(Active());
  TEventLog log = MakeLog(RecordDir(), BackupDir());
  ASSERT_TRUE(log.LogProgramEvent(ProgEventClosed));
  EXPECT_EQ(ReadAll(BackupDir() + "EventLog_000.dat"), Hex("aa"));
  EXPECT_EQ(ReadAll(BackupDir() + "EventLog_002.dat"), Hex("bb"));
  EXPECT_EQ(ReadAll(BackupDir() + "EventLog_001.dat"), full);
  EXPECT_EQ(List(BackupDir()).size(), 3u);  // no temporary file left behind
  EXPECT_EQ(log.RecordCount(), 1);
}

TEST_F(EventLogTest, RotationCreatesAMissingBackupDirectory) {
  Prefill(5001);
  const std::string backup = Tmp.Path() + "deep/Backup/";
  TEventLog log(RecordDir(), "EventLog.dat", backup, Table, Clock);
  ASSERT_TRUE(log.LogProgramEvent(ProgEventClosed));
  EXPECT_EQ(SizeOf(backup + "EventLog_000.dat"), 5001 * 48);
  EXPECT_EQ(log.RecordCount(), 1);
}

// When no backup name is free, or the
// copy fails, nothing is emptied. The record goes to the active file, which
// then grows past 5001 records; RotationPending() and LastError() report it
// and every later append tries the rotation again.
TEST_F(EventLogTest, WithAllThousandBackupNamesTakenTheLogKeepsGrowingAndReportsIt) {
  std::filesystem::create_directories(BackupDir());
  for (int i = 0; i <= 999; ++i) Touch(BackupDir() + TEventLog::RotateBackupName(i));
  Prefill(5001);
  TEventLog log = MakeLog(RecordDir(), BackupDir());

  ASSERT_TRUE(log.Append(MakeAlarmRecord(Noon, 1, 5001, true)));
  EXPECT_EQ(log.RecordCount(), 5002);
  EXPECT_TRUE(log.RotationPending());
  EXPECT_EQ(log.LastRotateResult(), TRotateResult::NoFreeName);
  EXPECT_NE(log.LastError().find("EventLog_999.dat"), std::string::npos) << log.LastError();
  EXPECT_EQ(log.Changed, 255);
  ASSERT_TRUE(log.Append(MakeAlarmRecord(Noon, 1, 5002, true)));
  EXPECT_EQ(log.RecordCount(), 5003);
  EXPECT_EQ(List(BackupDir()).size(), 1000u);  // nothing overwritten, no stray copy

  // A name becomes free: the next append rotates everything kept so far.
  std::filesystem::remove(BackupDir() + "EventLog_417.dat");
  const Bytes kept = ReadAll(Active());
  EXPECT_EQ(kept, Records(5003));
  const EventRecord next = MakeAlarmRecord(Morning, 2, 3, false);
  ASSERT_TRUE(log.Append(next));
  EXPECT_EQ(ReadAll(BackupDir() + "EventLog_417.dat"), kept);
  EXPECT_EQ(ReadAll(Active()), BytesOf(next));
  EXPECT_FALSE(log.RotationPending());
  EXPECT_EQ(log.LastRotateResult(), TRotateResult::Done);
  EXPECT_TRUE(log.LastError().empty());
}

TEST_F(EventLogTest, WhenTheBackupCannotBeMadeNothingIsEmptiedAndTheRotationIsRetried) {
  // The backup directory cannot be created: a plain file stands in its way.
  Touch(Tmp.Path() + "blocker");
  const std::string backup = Tmp.Path() + "blocker/Backup/";
  Prefill(5001);
  TEventLog log(RecordDir(), "EventLog.dat", backup, Table, Clock);

  ASSERT_TRUE(log.LogProgramEvent(ProgEventPortLost));
  EXPECT_EQ(log.RecordCount(), 5002);
  EXPECT_TRUE(log.RotationPending());
  EXPECT_EQ(log.LastRotateResult(), TRotateResult::CopyFailed);
  EXPECT_FALSE(log.LastError().empty());
  const Bytes kept = ReadAll(Active());
  EXPECT_EQ(Bytes(kept.begin(), kept.begin() + 5001 * 48), Records(5001));

  // The way is cleared: the next append makes the backup.
  std::filesystem::remove(Tmp.Path() + "blocker");
  ASSERT_TRUE(log.LogProgramEvent(ProgEventPortBack));
  EXPECT_EQ(ReadAll(backup + "EventLog_000.dat"), kept);
  EXPECT_EQ(log.RecordCount(), 1);
  EXPECT_FALSE(log.RotationPending());
}

TEST_F(EventLogTest, ExplicitRotateReportsItsResult) {
  Prefill(10);
  TEventLog log = MakeLog(RecordDir(), BackupDir());
  EXPECT_EQ(log.Rotate(), TRotateResult::Done);
  EXPECT_EQ(SizeOf(BackupDir() + "EventLog_000.dat"), 480);
  EXPECT_EQ(log.RecordCount(), 0);
}

// ---- clear with backup ----------------------------------------------------

TEST_F(EventLogTest, ClearWritesTheNextPlainNumberedBackup) {
  std::filesystem::create_directories(BackupDir());
  WriteAll(BackupDir() + "EventLog1.dat", Hex("01"));
  WriteAll(BackupDir() + "EventLog2.dat", Hex("02"));
  WriteAll(BackupDir() + "EventLog_000.dat", Hex("03"));  // rotation names do not count
  Prefill(7);
  const Bytes before = ReadAll(Active());
  TEventLog log = MakeLog(RecordDir(), BackupDir());
  EXPECT_TRUE(log.ClearWithBackup());
  EXPECT_EQ(ReadAll(BackupDir() + "EventLog3.dat"), before);
  EXPECT_EQ(ReadAll(BackupDir() + "EventLog1.dat"), Hex("01"));
  EXPECT_EQ(ReadAll(BackupDir() + "EventLog2.dat"), Hex("02"));
  EXPECT_EQ(List(BackupDir()).size(), 4u);
  EXPECT_EQ(SizeOf(Active()), 0);
  EXPECT_EQ(log.LastBackupPath(), BackupDir() + "EventLog3.dat");
}

TEST_F(EventLogTest, ClearOfAnEmptyLogMakesNoBackup) {
  TEventLog log = MakeLog(RecordDir(), BackupDir());
  EXPECT_TRUE(log.ClearWithBackup());
  EXPECT_TRUE(List(BackupDir()).empty());
  EXPECT_EQ(SizeOf(Active()), 0);
}

TEST_F(EventLogTest, ClearNumbersOnPastGapsFromOne) {
  std::filesystem::create_directories(BackupDir());
  WriteAll(BackupDir() + "EventLog2.dat", Hex("02"));
  Prefill(1);
  TEventLog log = MakeLog(RecordDir(), BackupDir());
  EXPECT_TRUE(log.ClearWithBackup());
  EXPECT_EQ(SizeOf(BackupDir() + "EventLog1.dat"), 48);
}

TEST_F(EventLogTest, ClearLeavesChangedAlone) {
  TEventLog log = MakeLog(RecordDir(), BackupDir());
  ASSERT_TRUE(log.LogProgramEvent(ProgEventStarted));
  log.Changed = 0;
  log.ClearWithBackup();
  EXPECT_EQ(log.Changed, 0);
}

TEST_F(EventLogTest, ClearWithUncreatableBackupDirectoryThrowsAndKeepsTheLog) {
  Touch(Tmp.Path() + "blocker");
  Prefill(2);
  TEventLog log(RecordDir(), "EventLog.dat", Tmp.Path() + "blocker/Backup/", Table, Clock);
  EXPECT_THROW(log.ClearWithBackup(), std::system_error);
  EXPECT_EQ(log.RecordCount(), 2);
}

// ---- failures ----------------------------------------------------------------

TEST_F(EventLogTest, AppendUnderAnUncreatableDirectoryReturnsFalse) {
  Touch(Tmp.Path() + "file");
  TEventLog log(Tmp.Path() + "file/Record/", "EventLog.dat", BackupDir(), Table, Clock);
  EXPECT_FALSE(log.LogProgramEvent(ProgEventStarted));
  EXPECT_FALSE(log.Append(MakeAlarmRecord(Noon, 1, 1, true)));
  EXPECT_EQ(log.Changed, 0);
  EXPECT_EQ(log.LostRecords(), 2u);
  EXPECT_FALSE(log.LastError().empty());
  EXPECT_THROW(log.RecordCount(), std::system_error);
}

TEST_F(EventLogTest, AppendToAReadOnlyDirectoryReturnsFalse) {
  std::filesystem::create_directories(RecordDir());
  TReadOnlyMount readOnly(RecordDir());  // stops root as well
  if (!readOnly.Active()) {
    if (PermissionsAreBypassed(Tmp.Path())) GTEST_SKIP() << "neither a mount nor permissions stop this user";
    ::chmod(RecordDir().c_str(), 0555);
  }
  TEventLog log = MakeLog(RecordDir(), BackupDir());
  EXPECT_FALSE(log.LogProgramEvent(ProgEventStarted));
  EXPECT_EQ(log.Changed, 0);
}

TEST_F(EventLogTest, AppendOnAFullDiskReturnsFalse) {
  TEventLog log = MakeLog(RecordDir(), BackupDir());
  log.Io.Write = [](int, const void*, size_t, off_t) -> ssize_t {
    errno = ENOSPC;
    return -1;
  };
  EXPECT_FALSE(log.LogProgramEvent(ProgEventStarted));
  EXPECT_EQ(log.Changed, 0);
  EXPECT_NE(log.LastError().find("space"), std::string::npos) << log.LastError();
}

TEST_F(EventLogTest, FifoUnderTheLogNameFailsTheAppendAndTheReadInsteadOfBlocking) {
  std::filesystem::create_directories(RecordDir());
  ASSERT_EQ(::mkfifo(Active().c_str(), 0644), 0);
  TEventLog log = MakeLog(RecordDir(), BackupDir());
  EXPECT_FALSE(log.LogProgramEvent(ProgEventStarted));
  std::error_code ec;
  EXPECT_TRUE(ReadEventLogFile(Active(), &ec).empty());
  EXPECT_TRUE(ec);
}

TEST_F(EventLogTest, AFailedAppendDoesNotResetChanged) {
  Touch(Tmp.Path() + "file");
  TEventLog log(Tmp.Path() + "file/Record/", "EventLog.dat", BackupDir(), Table, Clock);
  log.Changed = 255;
  EXPECT_FALSE(log.LogProgramEvent(ProgEventStarted));
  EXPECT_EQ(log.Changed, 255);
}

// ---- reader ------------------------------------------------------------------

TEST_F(EventLogTest, ReaderReturnsWholeRecordsAndIgnoresAPartialLastOne) {
  std::filesystem::create_directories(RecordDir());
  Bytes file = Records(3, 40);
  file.insert(file.end(), 30, 0x55);
  WriteAll(Active(), file);
  std::error_code ec;
  const auto recs = ReadEventLogFile(Active(), &ec);
  EXPECT_FALSE(ec);
  ASSERT_EQ(recs.size(), 3u);
  EXPECT_EQ(recs[0].Code, 40);
  EXPECT_EQ(recs[2].Code, 42);
  EXPECT_EQ(recs[2].Kind, 2);
}

// A crash after the file grew but before its data reached the disk leaves
// zeros, which would read as records of 1899-12-30 with code 0.
TEST_F(EventLogTest, ReaderSkipsAllZeroRecordsAndLeavesTheFileAsItIs) {
  std::filesystem::create_directories(RecordDir());
  Bytes file = Records(1, 40);
  file.insert(file.end(), 48, 0);
  const Bytes later = Records(1, 41);
  file.insert(file.end(), later.begin(), later.end());
  file.insert(file.end(), 2 * 48 + 20, 0);
  WriteAll(Active(), file);
  const auto recs = ReadEventLogFile(Active());
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[0].Code, 40);
  EXPECT_EQ(recs[1].Code, 41);
  EXPECT_EQ(ReadAll(Active()), file);
}

TEST_F(EventLogTest, ReaderOfAMissingFileIsEmptyWithAReason) {
  std::error_code ec;
  EXPECT_TRUE(ReadEventLogFile(Tmp.Path() + "none.dat", &ec).empty());
  EXPECT_EQ(ec, std::errc::no_such_file_or_directory);
  EXPECT_FALSE(Exists(Tmp.Path() + "none.dat"));
}
