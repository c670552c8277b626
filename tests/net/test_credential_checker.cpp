// The password checker on its own: when each verdict is released, which
// clients share a back-off, and that a check refused or left unanswered
// still counts.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "core/Clock.h"
#include "net/CredentialChecker.h"
#include "net/NutFixture.h"
#include "net/UsersFile.h"

using namespace tessaro;
using namespace tessaro::net;
using namespace std::chrono_literals;

namespace {

// Waits (bounded) until `done` holds.
bool WaitFor(const std::function<bool()>& done) {
  const auto end = std::chrono::steady_clock::now() + 10s;
  while (!done())
    if (std::chrono::steady_clock::now() > end)
      return false;
    else
      std::this_thread::sleep_for(1ms);
  return true;
}

class CredentialChecker : public ::testing::Test {
 protected:
  CredentialChecker() {
    std::string error;
    Users = TUsersFile::Parse("operator:" + tessaro::testing::Hash("$6$", "right") + "\n", error);
  }
  // A wrong guess from `peer` as `user`; its release time, once hashed.
  int64_t Guess(const std::string& peer, const std::string& user = "operator") {
    const auto ticket = Checker.Submit(*Users, user, "guess", peer, "test");
    EXPECT_TRUE(WaitFor([&] { return Checker.Waiting() == 0; }));
    return ticket.ReleaseAtMs - Clock.MonotonicMs();
  }
  TManualClock Clock;
  std::optional<TUsersFile> Users;
  TCredentialChecker Checker{Clock};
};

TEST_F(CredentialChecker, TheBackOffIsPerAddressPerIpv6NetworkAndPerUserOnLoopback) {
  const struct {
    const char* Peer;
    const char* User;
    int64_t Pause;
  } rows[] = {
      {"192.0.2.7", "operator", 1000},        {"192.0.2.7", "someone", 2000},  // another name, same address
      {"::ffff:192.0.2.7", "x", 4000},        {"192.0.2.8", "operator", 1000},
      {"2001:db8:1:2::1", "operator", 1000},  {"2001:db8:1:2:ffff::9", "y", 2000},  // the same /64
      {"2001:db8:1:3::1", "operator", 1000},  {"127.0.0.1", "operator", 1000},
      {"127.0.0.2", "operator", 2000},        {"::1", "operator", 4000},  // loopback: by user name
      {"127.0.0.1", "viewer", 1000},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(Guess(r.Peer, r.User), r.Pause) << r.Peer << " " << r.User;
    Clock.AdvanceMs(r.Pause);  // each waits for its answer before the next
  }
  // Up to the longest pause, and forgotten after a quiet window.
  for (int64_t pause : {8000, 16000, 16000}) {
    EXPECT_EQ(Guess("192.0.2.7"), pause);
    Clock.AdvanceMs(pause);
  }
  Clock.AdvanceMs(Checker.WindowMs + 1);
  EXPECT_EQ(Guess("192.0.2.7"), 1000);
  EXPECT_EQ(Checker.Failed(), std::size(rows) + 4);
}

TEST_F(CredentialChecker, AFloodOfNewClientsDoesNotWipeOutAGuessersRecord) {
  Checker.MaxKeys = 8;
  for (int64_t pause : {1000, 2000}) {
    EXPECT_EQ(Guess("192.0.2.7"), pause);
    Clock.AdvanceMs(pause);
  }
  for (int i = 0; i < 20; ++i) Guess("198.51.100." + std::to_string(i));
  Clock.AdvanceMs(1000);
  EXPECT_EQ(Guess("192.0.2.7"), 4000);
}

TEST_F(CredentialChecker, ParallelGuessesWaitInLineAndThoseBeyondTheLongestPauseAreNotHashed) {
  // Five at once from one address: each after the one before, the fifth
  // refused without a hash at the longest pause.
  int64_t releases[5];
  uint64_t ids[5];
  for (int i = 0; i < 5; ++i) {
    const auto t = Checker.Submit(*Users, "operator", "guess", "192.0.2.7", "test");
    releases[i] = t.ReleaseAtMs;
    ids[i] = t.Id;
  }
  EXPECT_EQ(releases[0], 1000);
  EXPECT_EQ(releases[1], 1000 + 2000);
  EXPECT_EQ(releases[2], 3000 + 4000);
  EXPECT_EQ(releases[3], 7000 + 8000);
  EXPECT_EQ(releases[4], 16000);
  ASSERT_TRUE(WaitFor([&] { return Checker.Waiting() == 0; }));
  const std::vector<std::string> reports = Checker.TakeReports();
  ASSERT_EQ(reports.size(), 5u);
  EXPECT_EQ(std::count_if(reports.begin(), reports.end(),
                          [](const std::string& line) {
                            return line.find("test by user \"operator\" from 192.0.2.7: refused, checks from there "
                                             "come faster") != std::string::npos;
                          }),
            1);
  // No verdict before its time, each exactly once.
  EXPECT_FALSE(Checker.Take(ids[0]));
  Clock.AdvanceMs(1000);
  EXPECT_EQ(Checker.Take(ids[0]), false);
  EXPECT_FALSE(Checker.Take(ids[0]));
  EXPECT_FALSE(Checker.Take(ids[1]));
}

TEST_F(CredentialChecker, AClientThatLeavesStillCountsAndAReadyCallbackComesAtTheReleaseTime) {
  std::atomic<int> ready{0};
  const auto right = Checker.Submit(*Users, "operator", "right", "192.0.2.7", "test", [&] { ++ready; });
  const auto gone = Checker.Submit(*Users, "nobody", "right", "192.0.2.9", "test", [&] { ready += 10; });
  EXPECT_EQ(right.ReleaseAtMs, gone.ReleaseAtMs);  // a known and an unknown user wait alike
  Checker.Forget(gone.Id);
  ASSERT_TRUE(WaitFor([&] { return Checker.Waiting() == 0 && Checker.Failed() == 1; }));
  EXPECT_EQ(ready, 0);
  EXPECT_FALSE(Checker.Take(right.Id));
  Clock.AdvanceMs(1000);
  ASSERT_TRUE(WaitFor([&] { return ready == 1; }));
  EXPECT_EQ(Checker.Take(right.Id), true);
  EXPECT_FALSE(Checker.Take(gone.Id));
  EXPECT_EQ(Checker.Outstanding(), 0u);
  // The one that left is slowed next time all the same.
  EXPECT_EQ(Guess("192.0.2.9"), 2000);
}

TEST(UsersFileCheck, AnUnknownUserIsCheckedAgainstAHashOfTheUsersKind) {
  for (const char* prefix : {"$y$", "$6$"}) {
    std::string error;
    const auto users = TUsersFile::Parse("a:" + tessaro::testing::Hash(prefix, "pw") + "\n", error);
    ASSERT_TRUE(users) << error;
    EXPECT_EQ(users->HashFor("nobody").substr(0, 3), prefix);
    EXPECT_EQ(users->HashFor("a"), users->Users()[0].Hash);
    EXPECT_FALSE(users->Check("nobody", "pw"));  // the password of the user whose hash it borrows
    EXPECT_TRUE(users->Check("a", "pw"));
  }
}

}  // namespace
