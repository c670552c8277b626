#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/Clock.h"
#include "core/UpsInfo.h"
#include "logs/DataLog.h"
#include "logs/LogTestFiles.h"

using namespace tessaro;
using namespace logtest;

namespace {

constexpr TDateTime Noon = 39813.5;  // 2008-12-31 12:00:00, exactly representable

class DataLogTest : public ::testing::Test {
 protected:
  std::string RecordDir() const { return Tmp.Path() + "Record/"; }

  static TUpsInfo Device(uint8_t address) {
    TUpsInfo info;
    info.Address = address;
    TMeasureBlock& m = info.Measure;
    m.InputVoltA = 230.5;
    m.InputVoltB = 231.25;
    m.InputVoltC = 229.0;
    m.OutputVoltA = 220.0;
    m.OutputVoltB = 221.5;
    m.OutputVoltC = 219.75;
    m.LoadA = 45.0;
    m.LoadB = 50.5;
    m.LoadC = 60.0;
    m.OutputFreq = 49.98;
    m.DcInputVolt = 384.0;
    m.BattCapacity = 87;
    m.BattBackupTime = 291;
    m.BattChargeCurr = 7.25;
    m.BattDischargeCurr = 112.5;
    // Fields outside the block must not leak into the record.
    info.CommState = 0;
    info.StateCode = 3;
    info.ChargeCurrPos = 99.0;
    return info;
  }

  TTempDir Tmp;
};

}  // namespace

TEST_F(DataLogTest, SnapshotRecordMatchesHandMadeBytes) {
  TUpsInfo dev = Device(12);
  dev.Measure.Pad94[0] = 0xEE;  // padding is written as zeros whatever the table holds
  dev.Measure.Pad94[1] = 0xEE;
  TDataLog log(RecordDir());
  ASSERT_TRUE(log.Append(MakeDataRecord(dev, Noon)));

  const Bytes expected = Hex(
      "00 00 00 00 b0 70 e3 40 "  // 0   Time 39813.5 = 2008-12-31 12:00:00
      "0c 00 00 00 00 00 00 00 "  // 8   Address 12, padding
      "00 00 00 00 00 d0 6c 40 "  // 16  InputVoltA 230.5
      "00 00 00 00 00 e8 6c 40 "  // 24  InputVoltB 231.25
      "00 00 00 00 00 a0 6c 40 "  // 32  InputVoltC 229
      "00 00 00 00 00 80 6b 40 "  // 40  OutputVoltA 220
      "00 00 00 00 00 b0 6b 40 "  // 48  OutputVoltB 221.5
      "00 00 00 00 00 78 6b 40 "  // 56  OutputVoltC 219.75
      "00 00 00 00 00 80 46 40 "  // 64  LoadA 45
      "00 00 00 00 00 40 49 40 "  // 72  LoadB 50.5
      "00 00 00 00 00 00 4e 40 "  // 80  LoadC 60
      "3d 0a d7 a3 70 fd 48 40 "  // 88  OutputFreq 49.98
      "00 00 00 00 00 00 78 40 "  // 96  DcInputVolt 384
      "57 00 00 00 "              // 104 BattCapacity 87
      "23 01 00 00 "              // 108 BattBackupTime 291, padding
      "00 00 00 00 00 00 1d 40 "  // 112 BattChargeCurr 7.25
      "00 00 00 00 00 20 5c 40"); // 120 BattDischargeCurr 112.5
  ASSERT_EQ(expected.size(), 128u);
  EXPECT_EQ(ReadAll(RecordDir() + "DataLog2008_12.dat"), expected);
}

TEST_F(DataLogTest, ZeroCapacityAndBackupTimeAreStoredAsSuch) {
  TUpsInfo dev = Device(3);
  dev.Measure.BattCapacity = 0;
  dev.Measure.BattBackupTime = 0;
  TDataLog log(RecordDir());
  ASSERT_TRUE(log.Append(MakeDataRecord(dev, Noon)));
  const Bytes file = ReadAll(RecordDir() + "DataLog2008_12.dat");
  ASSERT_EQ(file.size(), 128u);
  EXPECT_EQ(Bytes(file.begin() + 104, file.begin() + 112), Bytes(8, 0));
}

TEST_F(DataLogTest, ConstructionTouchesNoFile) {
  TDataLog log(RecordDir());
  EXPECT_EQ(log.Dir, RecordDir());
  EXPECT_TRUE(List(Tmp.Path()).empty());
}

TEST_F(DataLogTest, FirstAppendCreatesTheRecordDirectoryAndMonthFile) {
  const std::string dir = Tmp.Path() + "program/Record/";
  TDataLog log(dir);
  ASSERT_TRUE(log.Append(MakeDataRecord(Device(1), Noon)));
  EXPECT_EQ(List(dir), std::set<std::string>{"DataLog2008_12.dat"});
  EXPECT_EQ(log.RecordCount(dir + "DataLog2008_12.dat"), 1);
}

TEST_F(DataLogTest, MonthFileNames) {
  EXPECT_EQ(DataLogFileName("R/", 2008, 12), "R/DataLog2008_12.dat");
  EXPECT_EQ(DataLogFileName("R/", 2009, 1), "R/DataLog2009_01.dat");
  EXPECT_EQ(DataLogFileName("R/", EncodeDateTime({2024, 2, 29, 8, 0, 0, 0})), "R/DataLog2024_02.dat");
  TDataLog log("X/");
  EXPECT_EQ(log.FileNameFor(Noon), "X/DataLog2008_12.dat");
}

TEST_F(DataLogTest, AppendAllWritesEachRunToItsMonthInOrder) {
  TDataLog log(RecordDir());
  const TDateTime december = EncodeDateTime({2008, 12, 31, 23, 59, 59, 500});
  const TDateTime january = EncodeDateTime({2009, 1, 1, 0, 0, 0, 100});
  ASSERT_TRUE(log.Append(MakeDataRecord(Device(9), december)));  // already in the file
  const std::vector<DataRecord> batch = {MakeDataRecord(Device(1), december), MakeDataRecord(Device(2), december),
                                         MakeDataRecord(Device(3), january)};
  ASSERT_TRUE(log.AppendAll(batch));
  const auto dec = ReadDataLogFile(RecordDir() + "DataLog2008_12.dat");
  const auto jan = ReadDataLogFile(RecordDir() + "DataLog2009_01.dat");
  ASSERT_EQ(dec.size(), 3u);
  ASSERT_EQ(jan.size(), 1u);
  EXPECT_EQ(dec[1].Address, 1);
  EXPECT_EQ(dec[2].Address, 2);
  EXPECT_EQ(jan[0].Address, 3);
  EXPECT_TRUE(log.AppendAll({}));
}

TEST_F(DataLogTest, SnapshotJustBeforeMidnightOfNewYearsEveStaysInDecember) {
  TDataLog log(RecordDir());
  const TDateTime lastHalfSecond = EncodeDateTime({2008, 12, 31, 23, 59, 59, 500});
  const TDateTime afterMidnight = EncodeDateTime({2009, 1, 1, 0, 0, 0, 100});
  EXPECT_EQ(log.FileNameFor(lastHalfSecond), RecordDir() + "DataLog2008_12.dat");
  EXPECT_EQ(log.FileNameFor(afterMidnight), RecordDir() + "DataLog2009_01.dat");

  ASSERT_TRUE(log.Append(MakeDataRecord(Device(1), lastHalfSecond)));
  ASSERT_TRUE(log.Append(MakeDataRecord(Device(2), lastHalfSecond)));
  ASSERT_TRUE(log.Append(MakeDataRecord(Device(1), afterMidnight)));
  const auto december = ReadDataLogFile(RecordDir() + "DataLog2008_12.dat");
  const auto january = ReadDataLogFile(RecordDir() + "DataLog2009_01.dat");
  ASSERT_EQ(december.size(), 2u);
  ASSERT_EQ(january.size(), 1u);
  EXPECT_EQ(december[0].Address, 1);
  EXPECT_EQ(december[1].Address, 2);
  EXPECT_EQ(december[0].Time, lastHalfSecond);
  EXPECT_EQ(january[0].Time, afterMidnight);
}

TEST_F(DataLogTest, RecordsAreAppendedInTheOrderWritten) {
  TDataLog log(RecordDir());
  for (uint8_t a : {5, 9, 2}) ASSERT_TRUE(log.Append(MakeDataRecord(Device(a), Noon)));
  const auto recs = ReadDataLogFile(RecordDir() + "DataLog2008_12.dat");
  ASSERT_EQ(recs.size(), 3u);
  EXPECT_EQ(recs[0].Address, 5);
  EXPECT_EQ(recs[1].Address, 9);
  EXPECT_EQ(recs[2].Address, 2);
  EXPECT_EQ(recs[2].Measure.OutputFreq, 49.98);
  EXPECT_EQ(recs[2].Measure.BattBackupTime, 291);
}

TEST_F(DataLogTest, PartialTailIsCountedDownAndOverwritten) {
  TDataLog log(RecordDir());
  ASSERT_TRUE(log.Append(MakeDataRecord(Device(1), Noon)));
  const std::string path = RecordDir() + "DataLog2008_12.dat";
  Bytes file = ReadAll(path);
  const Bytes first = file;
  file.insert(file.end(), 100, 0xEE);
  WriteAll(path, file);
  EXPECT_EQ(log.RecordCount(path), 1);
  const DataRecord second = MakeDataRecord(Device(2), Noon);
  ASSERT_TRUE(log.Append(second));
  Bytes expected = first;
  const Bytes b = BytesOf(second);
  expected.insert(expected.end(), b.begin(), b.end());
  EXPECT_EQ(ReadAll(path), expected);
}

TEST_F(DataLogTest, RecordCountCreatesAMissingFile) {
  std::filesystem::create_directories(RecordDir());
  TDataLog log(RecordDir());
  const std::string path = RecordDir() + "DataLog2010_07.dat";
  EXPECT_EQ(log.RecordCount(path), 0);
  EXPECT_EQ(SizeOf(path), 0);
  EXPECT_THROW(log.RecordCount(Tmp.Path() + "missing/DataLog2010_07.dat"), std::system_error);
}

TEST_F(DataLogTest, AppendUnderAnUncreatableDirectoryReturnsFalse) {
  Touch(Tmp.Path() + "file");
  TDataLog log(Tmp.Path() + "file/Record/");
  EXPECT_FALSE(log.Append(MakeDataRecord(Device(1), Noon)));
  EXPECT_EQ(log.LostRecords(), 1u);
  EXPECT_FALSE(log.LastError().empty());
}

TEST_F(DataLogTest, AppendToAReadOnlyDirectoryReturnsFalse) {
  std::filesystem::create_directories(RecordDir());
  TReadOnlyMount readOnly(RecordDir());  // stops root as well
  if (!readOnly.Active()) {
    if (PermissionsAreBypassed(Tmp.Path())) GTEST_SKIP() << "neither a mount nor permissions stop this user";
    ::chmod(RecordDir().c_str(), 0555);
  }
  TDataLog log(RecordDir());
  EXPECT_FALSE(log.Append(MakeDataRecord(Device(1), Noon)));
}

TEST_F(DataLogTest, AppendOnAFullDiskReturnsFalseAndTheNextGoodAppendClearsTheError) {
  TDataLog log(RecordDir());
  log.Io.Write = [](int, const void*, size_t, off_t) -> ssize_t {
    errno = ENOSPC;
    return -1;
  };
  EXPECT_FALSE(log.Append(MakeDataRecord(Device(1), Noon)));
  log.Io.Write = nullptr;
  EXPECT_NE(log.LastError().find("space"), std::string::npos) << log.LastError();
  ASSERT_TRUE(log.Append(MakeDataRecord(Device(1), EncodeDateTime({2009, 1, 1, 0, 0, 1, 0}))));
  EXPECT_TRUE(log.LastError().empty());
  EXPECT_EQ(log.LostRecords(), 1u);
}

TEST_F(DataLogTest, NoFileHandleStaysOpen) {
  TDataLog log(RecordDir());
  const int before = OpenFdCount();
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(log.Append(MakeDataRecord(Device(1), Noon)));
  log.RecordCount(log.FileNameFor(Noon));
  ReadDataLogFile(log.FileNameFor(Noon));
  EXPECT_EQ(OpenFdCount(), before);
}

TEST_F(DataLogTest, ReaderReturnsWholeRecordsAndIgnoresAPartialLastOne) {
  std::filesystem::create_directories(RecordDir());
  Bytes file;
  for (uint8_t a : {4, 6}) {
    const Bytes b = BytesOf(MakeDataRecord(Device(a), Noon));
    file.insert(file.end(), b.begin(), b.end());
  }
  file.insert(file.end(), 127, 0x11);
  const std::string path = RecordDir() + "DataLog2008_12.dat";
  WriteAll(path, file);
  std::error_code ec;
  const auto recs = ReadDataLogFile(path, &ec);
  EXPECT_FALSE(ec);
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[0].Address, 4);
  EXPECT_EQ(recs[1].Address, 6);
  EXPECT_EQ(recs[1].Measure.InputVoltA, 230.5);
}

TEST_F(DataLogTest, ReaderSkipsAllZeroRecordsAndLeavesTheFileAsItIs) {
  std::filesystem::create_directories(RecordDir());
  const std::string path = RecordDir() + "DataLog2008_12.dat";
  Bytes file = BytesOf(MakeDataRecord(Device(4), Noon));
  file.insert(file.end(), 3 * 128, 0);  // zeros left by a crash
  // A record of zero measurements is real: only its time and address are set.
  DataRecord quiet{};
  quiet.Time = Noon;
  const Bytes q = BytesOf(quiet);
  file.insert(file.end(), q.begin(), q.end());
  WriteAll(path, file);
  const auto recs = ReadDataLogFile(path);
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[0].Address, 4);
  EXPECT_EQ(recs[1].Time, Noon);
  EXPECT_EQ(ReadAll(path), file);
}

TEST_F(DataLogTest, ReaderOfAMissingFileIsEmptyWithAReason) {
  std::error_code ec;
  EXPECT_TRUE(ReadDataLogFile(Tmp.Path() + "DataLog1999_01.dat", &ec).empty());
  EXPECT_EQ(ec, std::errc::no_such_file_or_directory);
}

TEST_F(DataLogTest, SnapshotCopiesTheWholeMeasurementBlock) {
  const TUpsInfo dev = Device(200);
  const DataRecord rec = MakeDataRecord(dev, Noon);
  EXPECT_EQ(rec.Time, Noon);
  EXPECT_EQ(rec.Address, 200);
  EXPECT_EQ(std::memcmp(&rec.Measure, &dev.Measure, sizeof(TMeasureBlock)), 0);
  EXPECT_EQ(Bytes(rec.Pad9, rec.Pad9 + 7), Bytes(7, 0));
}
