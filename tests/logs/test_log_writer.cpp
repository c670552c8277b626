// The log writer's thread against a disk that stands still on demand: the
// caller only queues, a backlog goes to disk in order with one sync, a full
// queue and a stuck exit count what they lose, and a clear or an exit never
// loses what was logged before it.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
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
using namespace std::chrono_literals;

namespace {

constexpr TDateTime Noon = 39813.5;  // 2008-12-31 12:00:00

// A sync that waits at a gate until the test opens it.
class TGate {
 public:
  int Pass(int fd) {
    std::unique_lock lock(FMutex);
    ++FSyncs;
    ++FHeld;
    FChanged.notify_all();
    FChanged.wait(lock, [this] { return FOpen; });
    --FHeld;
    return ::fdatasync(fd);
  }
  bool WaitUntilHeld() {
    std::unique_lock lock(FMutex);
    return FChanged.wait_for(lock, 10s, [this] { return FHeld > 0; });
  }
  void Open() {
    std::lock_guard lock(FMutex);
    FOpen = true;
    FChanged.notify_all();
  }
  int Syncs() {
    std::lock_guard lock(FMutex);
    return FSyncs;
  }

 private:
  std::mutex FMutex;
  std::condition_variable FChanged;
  bool FOpen = false;
  int FHeld = 0;
  int FSyncs = 0;
};

class LogWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitDeviceTable(Table);
    AttachStoreHealth(Health, *Events, *Data);
    Events->OnAppended = [this](const EventRecord& r) { Printed.push_back(r.Code); };
  }
  void TearDown() override { Gate->Open(); }
  // Every sync waits at the gate.
  void GateTheDisk() {
    Events->Io.Sync = [gate = Gate](int fd) { return gate->Pass(fd); };
  }
  void Alarm(int code) { Events->LogAlarmEvent(1, code, true); }
  std::vector<int> CodesInFile() const {
    std::vector<int> codes;
    for (const EventRecord& r : ReadEventLogFile(Events->FullPath)) codes.push_back(r.Code);
    return codes;
  }
  static std::vector<int> Range(int first, int last) {
    std::vector<int> v;
    for (int i = first; i <= last; ++i) v.push_back(i);
    return v;
  }

  TTempDir Tmp;
  TUpsInfoTable Table;
  TManualClock Clock{Noon};
  std::shared_ptr<TEventLog> Events =
      std::make_shared<TEventLog>(Tmp.Path() + "Record/", "EventLog.dat", Tmp.Path() + "Backup/", Table, Clock);
  std::shared_ptr<TDataLog> Data = std::make_shared<TDataLog>(Tmp.Path() + "Record/");
  TStoreHealth Health{Clock};
  std::shared_ptr<TGate> Gate = std::make_shared<TGate>();
  std::vector<int> Printed;
};

}  // namespace

TEST_F(LogWriterTest, CallerOnlyQueuesWhileTheDiskStandsAndOneSyncWritesTheBacklogInOrder) {
  GateTheDisk();
  TLogWriter writer(Events, Data);
  Alarm(0);
  ASSERT_TRUE(Gate->WaitUntilHeld());
  // The disk stands; a burst of a thousand alarms and a snapshot still go in at once.
  for (int code = 1; code <= 1000; ++code) Alarm(code);
  const std::vector<DataRecord> snapshot(3, MakeDataRecord(Table[1], Noon));
  EXPECT_TRUE(Data->AppendAll(snapshot));
  EXPECT_EQ(writer.QueuedEvents(), 1000u);
  EXPECT_EQ(writer.QueuedData(), 3u);

  Gate->Open();
  ASSERT_TRUE(writer.Drain(10s));
  EXPECT_EQ(CodesInFile(), Range(0, 1000));
  EXPECT_EQ(Gate->Syncs(), 2) << "the backlog is written with one sync";
  EXPECT_EQ(ReadDataLogFile(Data->FileNameFor(Noon)).size(), 3u);
  // The outcomes reach the listeners only on the caller's thread.
  EXPECT_TRUE(Printed.empty());
  EXPECT_EQ(Events->Changed, 0);
  writer.Collect();
  EXPECT_EQ(Printed, Range(0, 1000));
  EXPECT_EQ(Events->Changed, 255);
  EXPECT_EQ(Health.Lost(TStoreKind::EventLog) + Health.Lost(TStoreKind::DataLog), 0u);
}

TEST_F(LogWriterTest, FullQueueCountsWhatItRefusesAndKeepsTheRestInOrder) {
  GateTheDisk();
  TLogWriter writer(Events, Data, 10, 4);
  Alarm(0);
  ASSERT_TRUE(Gate->WaitUntilHeld());
  for (int code = 1; code <= 15; ++code) Alarm(code);
  const std::vector<DataRecord> snapshot(3, MakeDataRecord(Table[1], Noon));
  EXPECT_TRUE(Data->AppendAll(snapshot));
  EXPECT_FALSE(Data->AppendAll(snapshot)) << "a snapshot that does not fit is refused whole";
  EXPECT_EQ(Health.Lost(TStoreKind::EventLog), 5u);
  EXPECT_EQ(Health.Lost(TStoreKind::DataLog), 3u);
  const std::vector<std::string> said = Health.TakeMessages();
  ASSERT_EQ(said.size(), 2u);
  EXPECT_EQ(said[0].rfind("event log: cannot keep up writing " + Events->FullPath, 0), 0u) << said[0];

  Gate->Open();
  ASSERT_TRUE(writer.Stop());
  EXPECT_EQ(CodesInFile(), Range(0, 10));
  EXPECT_EQ(ReadDataLogFile(Data->FileNameFor(Noon)).size(), 3u);
  EXPECT_EQ(Printed, Range(0, 10));
}

// A slow disk at exit: everything logged up to the closing event is on disk
// when Stop returns, and appends after it write directly.
TEST_F(LogWriterTest, StopWritesWhatWasLoggedRightBeforeIt) {
  Events->Io.Sync = [](int fd) {
    std::this_thread::sleep_for(20ms);  // a slow disk, not a synchronisation
    return ::fdatasync(fd);
  };
  TLogWriter writer(Events, Data);
  for (int code = 1; code <= 200; ++code) Alarm(code);
  Events->LogProgramEvent(ProgEventClosed);
  EXPECT_TRUE(writer.Stop());
  std::vector<int> expected = Range(1, 200);
  expected.push_back(EventProgramClosed);
  EXPECT_EQ(CodesInFile(), expected);
  EXPECT_EQ(Printed, expected);
  ASSERT_TRUE(Events->LogProgramEvent(ProgEventStarted));
  EXPECT_EQ(CodesInFile().back(), EventProgramStarted);
}

TEST_F(LogWriterTest, StopGivesUpOnADiskThatNeverReturnsAndCountsWhatIsLost) {
  GateTheDisk();
  TLogWriter writer(Events, Data);
  Alarm(0);
  ASSERT_TRUE(Gate->WaitUntilHeld());
  Alarm(1);
  Alarm(2);
  EXPECT_FALSE(writer.Stop(100ms));
  EXPECT_EQ(Health.Lost(TStoreKind::EventLog), 3u) << "the stuck write and the two behind it";
  Health.Flush();
  const std::vector<std::string> said = Health.TakeMessages();
  ASSERT_FALSE(said.empty());
  EXPECT_NE(said.back().find("gave up at exit writing"), std::string::npos) << said.back();
  // The thread left behind finishes its write once the disk returns.
  Gate->Open();
  const auto end = std::chrono::steady_clock::now() + 10s;
  while (CodesInFile().empty() && std::chrono::steady_clock::now() < end) std::this_thread::yield();
  EXPECT_EQ(CodesInFile(), std::vector<int>{0});
}

TEST_F(LogWriterTest, ClearPutsWhatWasQueuedBeforeItIntoTheBackup) {
  Events->Io.Sync = [](int fd) {
    std::this_thread::sleep_for(20ms);
    return ::fdatasync(fd);
  };
  TLogWriter writer(Events, Data);
  for (int code = 1; code <= 50; ++code) Alarm(code);
  ASSERT_TRUE(Events->ClearWithBackup());
  EXPECT_EQ(ReadEventLogFile(Tmp.Path() + "Backup/EventLog1.dat").size(), 50u);
  Alarm(51);
  ASSERT_TRUE(writer.Stop());
  EXPECT_EQ(CodesInFile(), std::vector<int>{51});
}

// A batch that crosses the cap is split where a single append would rotate.
TEST_F(LogWriterTest, BacklogAcrossTheCapRotatesAtTheSameRecord) {
  std::filesystem::create_directories(Tmp.Path() + "Record/");
  std::vector<EventRecord> full(TEventLog::RotateAbove - 1, MakeAlarmRecord(Noon, 1, 999, true));
  WriteAll(Events->FullPath, Bytes(reinterpret_cast<const uint8_t*>(full.data()),
                                   reinterpret_cast<const uint8_t*>(full.data() + full.size())));
  GateTheDisk();
  TLogWriter writer(Events, Data);
  Alarm(0);
  ASSERT_TRUE(Gate->WaitUntilHeld());
  for (int code = 1; code <= 4; ++code) Alarm(code);  // records 5000..5003 of the old rules
  Gate->Open();
  ASSERT_TRUE(writer.Stop());
  const auto backup = ReadEventLogFile(Tmp.Path() + "Backup/EventLog_000.dat");
  ASSERT_EQ(backup.size(), 5001u);
  EXPECT_EQ(backup[4999].Code, 0);
  EXPECT_EQ(backup[5000].Code, 1);
  EXPECT_EQ(CodesInFile(), Range(2, 4));
}
