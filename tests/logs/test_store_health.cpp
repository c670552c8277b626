// Append failures of the real stores, as the operator hears of them: the
// first failure and the recovery once each, with path and reason, and never
// more than one message per store and interval however the disk flaps.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/Clock.h"
#include "core/UpsInfo.h"
#include "logs/DataLog.h"
#include "logs/EventLog.h"
#include "logs/LogTestFiles.h"
#include "logs/LogWriter.h"
#include "logs/StoreHealth.h"

using namespace tessaro;
using namespace logtest;

namespace {

constexpr TDateTime Noon = 39813.5;  // 2008-12-31 12:00:00
constexpr int64_t Gap = TStoreHealth::DefaultGapMs;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class StoreHealthTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitDeviceTable(Table);
    AttachStoreHealth(Health, Events, Data);
  }
  std::string RecordDir() const { return Tmp.Path() + "Record/"; }
  bool LogEvent() { return Events.LogProgramEvent(ProgEventStarted); }
  bool LogData() { return Data.Append(MakeDataRecord(Table[1], Clock.Now())); }

  TTempDir Tmp;
  TUpsInfoTable Table;
  TManualClock Clock{Noon};
  TEventLog Events{RecordDir(), "EventLog.dat", Tmp.Path() + "Backup/", Table, Clock};
  TDataLog Data{RecordDir()};
  TStoreHealth Health{Clock};
};

// Lowers the largest file this process may write, as a nearly full disk
// would; writes past it fail with EFBIG instead of raising SIGXFSZ.
class TFileSizeLimit {
 public:
  explicit TFileSizeLimit(rlim_t bytes) {
    FOldHandler = ::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &FOld);
    rlimit lower = FOld;
    lower.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &lower);
  }
  ~TFileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &FOld);
    ::signal(SIGXFSZ, FOldHandler);
  }
  TFileSizeLimit(const TFileSizeLimit&) = delete;
  TFileSizeLimit& operator=(const TFileSizeLimit&) = delete;

 private:
  rlimit FOld{};
  sighandler_t FOldHandler;
};

}  // namespace

// Works as root too: no permission bit is involved.
TEST_F(StoreHealthTest, RecordDirectoryReplacedByAFileIsReportedOnceAndItsRecoveryOnce) {
  Touch(Tmp.Path() + "Record");
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(LogEvent());
    Clock.AdvanceMs(1000);
  }
  std::vector<std::string> said = Health.TakeMessages();
  ASSERT_EQ(said.size(), 1u);
  EXPECT_TRUE(Contains(said[0], "event log: cannot create " + RecordDir())) << said[0];
  EXPECT_TRUE(Contains(said[0], "Not a directory")) << said[0];
  EXPECT_TRUE(Health.Failing(TStoreKind::EventLog));

  std::filesystem::remove(Tmp.Path() + "Record");
  ASSERT_TRUE(LogEvent());
  ASSERT_TRUE(LogEvent());
  Health.Poll();
  EXPECT_TRUE(Health.TakeMessages().empty()) << "the recovery waits for the interval";
  Clock.AdvanceMs(Gap);
  Health.Poll();
  said = Health.TakeMessages();
  ASSERT_EQ(said.size(), 1u);
  EXPECT_EQ(said[0], "event log: writing again to " + RecordDir() + "EventLog.dat; 3 records were lost");
  Clock.AdvanceMs(Gap);
  ASSERT_TRUE(LogEvent());
  Health.Poll();
  EXPECT_TRUE(Health.TakeMessages().empty());
  EXPECT_EQ(Health.Lost(TStoreKind::EventLog), 3u);
  EXPECT_EQ(Health.Lost(TStoreKind::DataLog), 0u);
}

TEST_F(StoreHealthTest, ReadOnlyFileSystemIsReportedAndSoIsTheWayBack) {
  std::filesystem::create_directories(RecordDir());
  ASSERT_TRUE(LogEvent());
  TReadOnlyMount readOnly(RecordDir());
  if (!readOnly.Active()) GTEST_SKIP() << "mounting is not allowed here";
  EXPECT_FALSE(LogEvent());
  EXPECT_FALSE(LogData());
  const std::vector<std::string> said = Health.TakeMessages();
  ASSERT_EQ(said.size(), 2u);
  EXPECT_TRUE(Contains(said[0], "event log: cannot write " + RecordDir() + "EventLog.dat: Read-only file system"))
      << said[0];
  EXPECT_TRUE(Contains(said[1], "data log: cannot write " + Data.FileNameFor(Noon) + ": Read-only file system"))
      << said[1];
  readOnly.Release();
  Clock.AdvanceMs(Gap);
  ASSERT_TRUE(LogEvent());
  ASSERT_TRUE(LogData());
  EXPECT_EQ(Health.TakeMessages().size(), 2u);
  EXPECT_EQ(ReadEventLogFile(RecordDir() + "EventLog.dat").size(), 2u);
}

TEST_F(StoreHealthTest, FullDiskIsReportedWithTheMonthFileAndTheReason) {
  ASSERT_TRUE(LogData());
  {
    TFileSizeLimit limit(TDataLog::RecordSize + 10);
    EXPECT_FALSE(LogData());
    EXPECT_FALSE(LogData());
  }
  const std::string month = Data.FileNameFor(Noon);
  EXPECT_EQ(SizeOf(month), static_cast<long long>(TDataLog::RecordSize)) << "no partial record left";
  std::vector<std::string> said = Health.TakeMessages();
  ASSERT_EQ(said.size(), 1u);
  EXPECT_EQ(said[0], "data log: cannot write " + month + ": No space left on device; records are lost until it can be written again");

  Clock.AdvanceMs(Gap);
  ASSERT_TRUE(LogData());
  said = Health.TakeMessages();
  ASSERT_EQ(said.size(), 1u);
  EXPECT_EQ(said[0], "data log: writing again to " + month + "; 2 records were lost");
  EXPECT_FALSE(Health.Failing(TStoreKind::DataLog));
}

// /dev/null under the log's name would take every record and keep none.
TEST_F(StoreHealthTest, DeviceUnderTheEventLogNameIsRefusedAndReported) {
  std::filesystem::create_directories(RecordDir());
  std::filesystem::create_symlink("/dev/null", RecordDir() + "EventLog.dat");
  EXPECT_FALSE(LogEvent());
  const std::vector<std::string> said = Health.TakeMessages();
  ASSERT_EQ(said.size(), 1u);
  EXPECT_TRUE(Contains(said[0], "EventLog.dat: not a plain file")) << said[0];
  EXPECT_EQ(Events.LostRecords(), 1u);
}

// A disk that fails and recovers every second speaks once per interval, and
// a failure that came and went between two messages is still told.
TEST_F(StoreHealthTest, FlappingSpeaksAtMostOncePerIntervalAndLosesNoCount) {
  TStoreResult good = TStoreResult::Success("/r/EventLog.dat");
  TStoreResult bad = TStoreResult::Failure("cannot write", "/r/EventLog.dat", std::make_error_code(std::errc::io_error));
  std::vector<std::string> said;
  auto feed = [&](int seconds, bool ok) {
    for (int i = 0; i < seconds; ++i) {
      Health.Report(TStoreKind::EventLog, ok ? good : bad);
      Health.Poll();
      Clock.AdvanceMs(1000);
    }
    for (std::string& m : Health.TakeMessages()) said.push_back(std::move(m));
  };
  for (int i = 0; i < 20; ++i) {  // 40 s of flapping: 20 failures
    feed(1, false);
    feed(1, true);
  }
  ASSERT_EQ(said.size(), 1u);
  EXPECT_TRUE(Contains(said[0], "cannot write /r/EventLog.dat")) << said[0];

  feed(30, true);  // the interval ends: the recovery with every loss counted
  ASSERT_EQ(said.size(), 2u);
  EXPECT_EQ(said[1], "event log: writing again to /r/EventLog.dat; 20 records were lost");

  feed(1, false);  // a short failure right after: told when the interval allows
  feed(1, true);
  EXPECT_EQ(said.size(), 2u);
  feed(60, true);
  ASSERT_EQ(said.size(), 3u);
  EXPECT_EQ(said[2], "event log: 1 record was lost (cannot write /r/EventLog.dat: Input/output error); writing again "
                     "to /r/EventLog.dat");
}

TEST_F(StoreHealthTest, FlushSaysWhatTheIntervalHeldBackAndAClockSetBackEndsTheInterval) {
  const TStoreResult bad = TStoreResult::Failure("cannot write", "/r/x.dat", std::make_error_code(std::errc::io_error));
  Health.Report(TStoreKind::DataLog, bad);
  Health.Report(TStoreKind::DataLog, TStoreResult::Success("/r/x.dat"));
  EXPECT_EQ(Health.TakeMessages().size(), 1u);
  Health.Flush();
  EXPECT_EQ(Health.TakeMessages(), std::vector<std::string>{"data log: writing again to /r/x.dat; 1 record was lost"});

  Health.Report(TStoreKind::DataLog, bad);
  EXPECT_TRUE(Health.TakeMessages().empty());
  Clock.AdvanceMs(-3600 * 1000);  // daylight saving time ends
  Health.Poll();
  EXPECT_EQ(Health.TakeMessages().size(), 1u);
}

// ---- lost records are counted as records ----------------------------------------

namespace {

enum class TFailure { Whole, Partial };

struct TLossCase {
  TStoreKind Store;
  int Devices;
  TFailure Failure;
  bool Queued;  // through the log writer's thread
};

std::string CaseName(const ::testing::TestParamInfo<TLossCase>& info) {
  const TLossCase& c = info.param;
  return std::string(c.Store == TStoreKind::EventLog ? "Events" : "Data") + std::to_string(c.Devices) +
         (c.Failure == TFailure::Whole ? "Whole" : "Partial") + (c.Queued ? "Queued" : "Direct");
}

class LostRecordCount : public ::testing::TestWithParam<TLossCase> {
 protected:
  void SetUp() override {
    InitDeviceTable(Table);
    AttachStoreHealth(Health, *Events, *Data);
  }
  std::string RecordDir() const { return Tmp.Path() + "Record/"; }

  TTempDir Tmp;
  TUpsInfoTable Table;
  TManualClock Clock{Noon};
  std::shared_ptr<TEventLog> Events =
      std::make_shared<TEventLog>(RecordDir(), "EventLog.dat", Tmp.Path() + "Backup/", Table, Clock);
  std::shared_ptr<TDataLog> Data = std::make_shared<TDataLog>(RecordDir());
  TStoreHealth Health{Clock};
};

}  // namespace

// One alarm per device, or one snapshot of the whole bus, written onto a disk
// that takes nothing (or half of each write): what is reported lost is what is
// missing from the file, in the messages and in the summary at exit.
TEST_P(LostRecordCount, EqualsTheRecordsMissingFromTheFile) {
  const TLossCase& c = GetParam();
  recfile::TWriteSeam disk;
  if (c.Failure == TFailure::Whole) {
    disk.Write = [](int, const void*, size_t, off_t) -> ssize_t {
      errno = ENOSPC;
      return -1;
    };
  } else {
    disk.Write = [](int fd, const void* data, size_t length, off_t offset) {
      return ::pwrite(fd, data, length / 2, offset);
    };
  }
  Events->Io = disk;
  Data->Io = disk;
  std::unique_ptr<TLogWriter> writer;
  if (c.Queued) writer = std::make_unique<TLogWriter>(Events, Data);

  std::vector<DataRecord> snapshot;
  for (int a = 1; a <= c.Devices; ++a) {
    if (c.Store == TStoreKind::EventLog)
      Events->LogAlarmEvent(static_cast<uint8_t>(a), 25, true);
    else
      snapshot.push_back(MakeDataRecord(Table[static_cast<size_t>(a)], Noon));
  }
  if (c.Store == TStoreKind::DataLog) Data->AppendAll(snapshot);
  if (writer) {
    ASSERT_TRUE(writer->Stop());
  }

  const size_t inFile = c.Store == TStoreKind::EventLog ? ReadEventLogFile(Events->FullPath).size()
                                                        : ReadDataLogFile(Data->FileNameFor(Noon)).size();
  const uint64_t lost = static_cast<uint64_t>(c.Devices) - inFile;
  if (c.Failure == TFailure::Whole) {
    EXPECT_EQ(inFile, 0u);
  } else if (c.Store == TStoreKind::DataLog) {
    // Half of one snapshot of the bus is half of its records.
    EXPECT_EQ(inFile, static_cast<size_t>(c.Devices) / 2);
  }
  ASSERT_GT(lost, 0u);
  EXPECT_EQ(Health.Lost(c.Store), lost);
  EXPECT_EQ(c.Store == TStoreKind::EventLog ? Events->LostRecords() : Data->LostRecords(), lost);
  const std::string lostEvents = c.Store == TStoreKind::EventLog ? std::to_string(lost) : "0";
  const std::string lostData = c.Store == TStoreKind::DataLog ? std::to_string(lost) : "0";
  EXPECT_EQ(Health.LostSummary(),
            lostEvents + " event log and " + lostData + " data log records could not be written");

  // The disk recovers: the recovery message carries the same count.
  Events->Io = {};
  Data->Io = {};
  if (c.Store == TStoreKind::EventLog)
    ASSERT_TRUE(Events->LogProgramEvent(ProgEventClosed));
  else
    ASSERT_TRUE(Data->Append(MakeDataRecord(Table[1], Noon)));
  Health.Flush();
  const std::vector<std::string> said = Health.TakeMessages();
  ASSERT_FALSE(said.empty());
  EXPECT_TRUE(Contains(said.back(), "; " + std::to_string(lost) + (lost == 1 ? " record was" : " records were") +
                                        " lost"))
      << said.back();
}

INSTANTIATE_TEST_SUITE_P(
    Stores, LostRecordCount,
    ::testing::Values(TLossCase{TStoreKind::EventLog, 1, TFailure::Whole, false},
                      TLossCase{TStoreKind::EventLog, 3, TFailure::Whole, false},
                      TLossCase{TStoreKind::EventLog, 252, TFailure::Whole, true},
                      TLossCase{TStoreKind::EventLog, 252, TFailure::Partial, true},
                      TLossCase{TStoreKind::DataLog, 1, TFailure::Whole, false},
                      TLossCase{TStoreKind::DataLog, 3, TFailure::Whole, false},
                      TLossCase{TStoreKind::DataLog, 3, TFailure::Partial, false},
                      TLossCase{TStoreKind::DataLog, 252, TFailure::Whole, true},
                      TLossCase{TStoreKind::DataLog, 252, TFailure::Partial, true}),
    CaseName);

// A snapshot that spans two months fails in the second: the first month's
// records are kept, only the rest counts.
TEST_F(StoreHealthTest, SnapshotFailingInItsSecondMonthCountsOnlyThatMonthsRecords) {
  const TDateTime newYear = EncodeDateTime({2009, 1, 1, 0, 0, 1, 0});
  std::vector<DataRecord> records = {MakeDataRecord(Table[1], Noon), MakeDataRecord(Table[2], Noon),
                                     MakeDataRecord(Table[1], newYear), MakeDataRecord(Table[2], newYear),
                                     MakeDataRecord(Table[3], newYear)};
  std::filesystem::create_directories(RecordDir());
  std::filesystem::create_directory(Data.FileNameFor(newYear));  // the January file cannot be written
  EXPECT_FALSE(Data.AppendAll(records));
  EXPECT_EQ(ReadDataLogFile(Data.FileNameFor(Noon)).size(), 2u);
  EXPECT_EQ(Health.Lost(TStoreKind::DataLog), 3u);
}
