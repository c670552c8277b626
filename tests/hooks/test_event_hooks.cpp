// The event hooks with real programs: shell scripts written by the test and
// started without a shell, in a directory whose name a shell would split.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/Gbk.h"
#include "hooks/EventHooks.h"

using namespace tessaro;
using namespace tessaro::hooks;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class EventHooks : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() /
          ("tessaro hooks " + std::to_string(::getpid()) + " " +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(Dir);
    fs::create_directories(Dir);
    AddDevice(1, "UPS \"A\"; $(touch pwned) `id` 机房");
    AddDevice(2, "Two");
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(Dir);
  }
  void AddDevice(uint8_t address, const std::string& utf8) {
    TDeviceNode n;
    n.Address = address;
    n.Name = PadDeviceName(*Utf8ToGbk(utf8));
    Devices.Nodes[++Devices.Count] = n;
  }
  // A program made of `body`, in a path with blanks and a quote in it.
  std::string Script(const std::string& body, const std::string& name = "on 'event'.sh") const {
    const fs::path path = Dir / name;
    std::ofstream(path) << "#!/bin/sh\n" << body;
    fs::permissions(path, fs::perms::owner_all);
    return path.string();
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(Dir / name);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // Ticks (100 ms apart, as the program does) until `done` holds; bounded.
  static bool TickUntil(TEventHooks& hooks, const std::function<bool()>& done) {
    for (int i = 0; i < 200; ++i) {
      hooks.Tick();
      if (done()) return true;
      std::this_thread::sleep_for(100ms);  // the tick interval, not a synchronisation
    }
    return false;
  }
  static EventRecord Record(uint8_t address, uint8_t kind, int32_t code, uint8_t active = 255) {
    EventRecord r{};
    r.Time = EncodeDateTime({2026, 3, 4, 5, 6, 7, 0});
    r.Address = address;
    r.Kind = kind;
    r.Code = code;
    r.Active = active;
    return r;
  }

  fs::path Dir;
  TDeviceList Devices;
  std::vector<std::string> Failures;
};

TEST_F(EventHooks, RunsTheProgramWithTheRecordInItsEnvironmentAndNoShell) {
  ::setenv("TESSARO_TEXT", "inherited, must not show", 1);
  TEventHooks hooks(Script("cd \"$(dirname \"$0\")\"\nenv | grep '^TESSARO_' | sort > env.txt\necho \"$#\" > argc.txt\n"),
                    Devices);
  hooks.OnFailure = [this](const std::string& t) { Failures.push_back(t); };
  hooks.Enqueue(MakeAlarmRecord(EncodeDateTime({2026, 3, 4, 5, 6, 7, 0}), 1, 25, true), true);
  ::unsetenv("TESSARO_TEXT");
  ASSERT_TRUE(TickUntil(hooks, [&] { return hooks.Running() == 0 && !Read("argc.txt").empty(); }));
  EXPECT_EQ(Read("env.txt"),
            "TESSARO_ACTIVE=1\n"
            "TESSARO_ADDRESS=1\n"
            "TESSARO_CODE=25\n"
            "TESSARO_DEVICE=UPS \"A\"; $(touch pwned) `id` 机房\n"
            "TESSARO_KIND=2\n"
            "TESSARO_TESTING=1\n"
            "TESSARO_TEXT=Mains volt. abnormal\n"
            "TESSARO_TIME=2026-03-04 05:06:07\n");
  EXPECT_EQ(Read("argc.txt"), "0\n");
  EXPECT_FALSE(fs::exists(Dir / "pwned"));
  EXPECT_TRUE(Failures.empty()) << Failures.front();

  const auto env = RecordEnvironment(Record(0, EventKindProgram, 20), Devices);
  EXPECT_EQ(env, (std::vector<std::string>{"TESSARO_TIME=2026-03-04 05:06:07", "TESSARO_ADDRESS=0", "TESSARO_DEVICE=",
                                           "TESSARO_KIND=0", "TESSARO_CODE=20", "TESSARO_ACTIVE=",
                                           "TESSARO_TEXT=Monitor software is open", "TESSARO_TESTING=0"}));
  EXPECT_EQ(RecordEnvironment(MakeAlarmRecord(0, 2, 25, false), Devices)[6], "TESSARO_TEXT=Recover from: Mains volt. abnormal");
}

TEST_F(EventHooks, RunsAFewAtOnceAndEachDevicesRecordsInOrder) {
  // Each run notes its start and end; the pause makes runs overlap.
  TEventHooks hooks(Script("cd \"$(dirname \"$0\")\"\necho \"+ $TESSARO_ADDRESS $TESSARO_CODE\" >> log\n"
                           "sleep 0.3\necho \"- $TESSARO_ADDRESS $TESSARO_CODE\" >> log\n"),
                    Devices);
  hooks.MaxRunning = 2;
  for (const int code : {4, 5, 4}) hooks.Enqueue(Record(1, EventKindState, code));
  for (const uint8_t address : {2, 3, 4}) hooks.Enqueue(Record(address, EventKindProgram, 22));
  EXPECT_EQ(hooks.Running(), 2u);
  EXPECT_EQ(hooks.Queued(), 4u);
  size_t most = 0;
  ASSERT_TRUE(TickUntil(hooks, [&] {
    most = std::max(most, hooks.Running());
    return hooks.Running() == 0 && hooks.Queued() == 0;
  }));
  EXPECT_EQ(most, 2u);
  std::istringstream log(Read("log"));
  std::string sign;
  int address = 0, code = 0, running = 0, peak = 0;
  std::map<int, int> open;
  std::vector<int> device1;
  while (log >> sign >> address >> code) {
    if (sign == "+") {
      EXPECT_EQ(open[address]++, 0) << "two runs for device " << address << " at once";
      peak = std::max(peak, ++running);
      if (address == 1) device1.push_back(code);
    } else {
      --open[address];
      --running;
    }
  }
  EXPECT_EQ(peak, 2);
  EXPECT_EQ(device1, (std::vector<int>{4, 5, 4}));
}

TEST_F(EventHooks, ReportsProgramsThatCannotStartFailOrOverrun) {
  struct TCase {
    std::string Program;
    const char* Expect;
    int LimitTicks = 100;  // a program that ends by itself has time to, on a loaded machine too
  };
  const TCase cases[] = {
      {(Dir / "no such program").string(), "could not start: No such file or directory"},
      {Script("exit 3\n", "exit 3"), "exited with status 3"},
      {Script("kill -9 $$\n", "kill 9"), "ended by signal 9"},
      {Script("sleep 60 &\nwait\n", "overrun"), "took longer than 0.3 s and was stopped", 3},
  };
  for (const TCase& c : cases) {
    TEventHooks hooks(c.Program, Devices);
    hooks.TimeLimitTicks = c.LimitTicks;
    hooks.OnFailure = [this](const std::string& t) { Failures.push_back(t); };
    Failures.clear();
    hooks.Enqueue(Record(2, EventKindProgram, 18));
    ASSERT_TRUE(TickUntil(hooks, [&] { return hooks.Running() == 0; })) << c.Program;
    ASSERT_EQ(Failures.size(), 1u) << c.Program;
    EXPECT_NE(Failures[0].find(c.Expect), std::string::npos) << Failures[0];
    EXPECT_NE(Failures[0].find("2026-03-04 05:06:07 address 2 \"Communication lost\""), std::string::npos)
        << Failures[0];
  }
}

TEST_F(EventHooks, AProgramAnotherUserCouldChangeIsNotRun) {
  const std::string marker = (Dir / "ran").string();
  const std::string body = "touch '" + marker + "'\n";
  struct TCase {
    const char* Name;
    std::function<std::string()> Make;  // the program
    std::string Says;
    bool RootOnly = false;
  };
  const TCase cases[] = {
      {"its group may write it",
       [&] {
         const std::string p = Script(body, "group");
         fs::permissions(p, fs::perms(0775));
         return p;
       },
       "may be written by its group (mode 0775); chmod go-w"},
      {"it lies in a directory anyone may write",
       [&] {
         fs::create_directory(Dir / "open");
         fs::permissions(Dir / "open", fs::perms(0777));
         return Script(body, "open/hook");
       },
       "open may be written by others (mode 0777)"},
      {"it belongs to another user",
       [&] {
         const std::string p = Script(body, "theirs");
         EXPECT_EQ(::chown(p.c_str(), 65534, 65534), 0);
         return p;
       },
       "theirs belongs to nobody (uid 65534); a hook must belong to root", true},
  };
  for (const TCase& c : cases) {
    if (c.RootOnly && ::geteuid() != 0) continue;
    const std::string program = c.Make();
    EXPECT_NE(HookRefusal(program).find(c.Says), std::string::npos) << c.Name << ": " << HookRefusal(program);
    // Also when it changed after the monitor started: every run checks.
    TEventHooks hooks(program, Devices);
    Failures.clear();
    hooks.OnFailure = [this](const std::string& t) { Failures.push_back(t); };
    hooks.Enqueue(Record(1, EventKindProgram, 20));
    EXPECT_EQ(hooks.Running(), 0u) << c.Name;
    ASSERT_EQ(Failures.size(), 1u) << c.Name;
    EXPECT_NE(Failures[0].find("event hook " + program + " not run: "), std::string::npos) << Failures[0];
  }
  EXPECT_FALSE(fs::exists(marker));
  EXPECT_EQ(HookRefusal(Script(body, "fine")), "");
}

TEST_F(EventHooks, AFullQueueDropsNewRecordsAndSaysSoOnce) {
  TEventHooks hooks(Script("sleep 0.3\n"), Devices);
  hooks.MaxRunning = 1;
  hooks.MaxQueued = 2;
  hooks.OnFailure = [this](const std::string& t) { Failures.push_back(t); };
  for (int i = 0; i < 6; ++i) hooks.Enqueue(Record(1, EventKindState, 4));
  EXPECT_EQ(hooks.Running(), 1u);
  EXPECT_EQ(hooks.Queued(), 2u);
  ASSERT_EQ(Failures.size(), 1u);
  EXPECT_NE(Failures[0].find("too many records waiting"), std::string::npos);
  ASSERT_TRUE(TickUntil(hooks, [&] { return hooks.Queued() == 0; }));
  hooks.Enqueue(Record(1, EventKindState, 5));
  ASSERT_EQ(Failures.size(), 2u);
  EXPECT_NE(Failures[1].find("3 records were dropped"), std::string::npos) << Failures[1];
  ASSERT_TRUE(TickUntil(hooks, [&] { return hooks.Running() == 0; }));
}

// The example in docs/: a shutdown scheduled when the chosen UPS goes on
// battery, cancelled when it is back, and made at once on a low battery.
TEST_F(EventHooks, ShutdownExampleSchedulesCancelsAndHurries) {
  const std::string fake = Script("echo \"$*\" >> \"$(dirname \"$0\")/shutdown.log\"\n", "fake shutdown");
  ::setenv("SHUTDOWN_COMMAND", fake.c_str(), 1);
  ::setenv("SHUTDOWN_STATE_DIR", Dir.c_str(), 1);
  ::setenv("SHUTDOWN_ADDRESS", "1", 1);
  ::setenv("SHUTDOWN_MINUTES", "7", 1);
  TEventHooks hooks(std::string(TESSARO_SOURCE_DIR) + "/docs/shutdown-hook.sh", Devices);
  hooks.OnFailure = [this](const std::string& t) { Failures.push_back(t); };
  const EventRecord records[] = {
      Record(2, EventKindState, 5),  // another UPS: ignored
      Record(1, EventKindState, 4),  // online with nothing scheduled: nothing to cancel
      Record(1, EventKindState, 5),
      Record(1, EventKindState, 5),  // scheduled once only
      Record(1, EventKindAlarm, 25, 1),
      Record(1, EventKindState, 6),  // self-test: no change
      Record(1, EventKindState, 4),
      Record(1, EventKindAlarm, 23, 0),  // a low-battery alarm cleared: nothing
      Record(1, EventKindAlarm, 23, 1),
  };
  hooks.Enqueue(Record(1, EventKindState, 5), true);  // on battery for a battery test: nothing
  for (const EventRecord& r : records) hooks.Enqueue(r);
  const bool done = TickUntil(hooks, [&] { return hooks.Running() == 0 && hooks.Queued() == 0; });
  for (const char* name : {"SHUTDOWN_COMMAND", "SHUTDOWN_STATE_DIR", "SHUTDOWN_ADDRESS", "SHUTDOWN_MINUTES"})
    ::unsetenv(name);
  ASSERT_TRUE(done);
  EXPECT_TRUE(Failures.empty()) << Failures.front();
  const std::string device = "UPS \"A\"; $(touch pwned) `id` 机房";
  EXPECT_EQ(Read("shutdown.log"), "-h +7 UPS " + device + " on battery since 2026-03-04 05:06:07\n" +
                                      "-c UPS " + device + ": Online\n" +
                                      "-h now UPS " + device + ": Low battery alarm\n");
  EXPECT_FALSE(fs::exists(Dir / "pwned"));
}

}  // namespace
