// Append failures of the real stores, as the operator hears of them: the
// first failure and the recovery once each, with path and reason, and never
// more than one message per store and interval however the disk flaps.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/Clock.h"
#include "core/UpsInfo.h"
#include "logs/DataLog.h"
#include "logs/EventLog.h"
#include "logs/LogTestFiles.h"
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

TEST_F(StoreHealthTest, FailedEventSyncOrWriteOnAFullDeviceIsReported) {
  if (!Exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  std::filesystem::create_directories(RecordDir());
  std::filesystem::create_symlink("/dev/full", RecordDir() + "EventLog.dat");
  EXPECT_FALSE(LogEvent());
  const std::vector<std::string> said = Health.TakeMessages();
  ASSERT_EQ(said.size(), 1u);
  EXPECT_TRUE(Contains(said[0], "No space left on device")) << said[0];
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
