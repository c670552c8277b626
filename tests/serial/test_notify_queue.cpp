// The queue between the worker threads and the owner's thread.

#include <gtest/gtest.h>
#include <poll.h>

#include <thread>

#include "serial/NotifyQueue.h"

using namespace tessaro;

namespace {
bool Readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}
}  // namespace

TEST(NotifyQueue, FdIsReadableExactlyWhileSomethingWasPostedAndNotYetCleared) {
  TNotifyQueue q;
  EXPECT_FALSE(Readable(q.Fd()));
  ASSERT_TRUE(q.Post({NotifyReceiveError, 8, {}, {}}));
  EXPECT_TRUE(Readable(q.Fd()));
  q.ClearReadiness();
  EXPECT_FALSE(Readable(q.Fd()));
  EXPECT_EQ(q.Size(), 1u);
  q.Discard();
  EXPECT_EQ(q.Size(), 0u);
  EXPECT_FALSE(q.TakeOne().has_value());
}

TEST(NotifyQueue, ItemsFromSeveralThreadsKeepEachThreadsOrder) {
  TNotifyQueue q;
  constexpr uint32_t perThread = 2000;
  auto producer = [&](uint16_t code) {
    for (uint32_t i = 0; i < perThread; ++i) q.Post({code, i, {}, {}});
  };
  std::thread a(producer, NotifyReceiveError);
  std::thread b(producer, NotifyModemState);
  a.join();
  b.join();
  uint32_t nextA = 0, nextB = 0;
  while (auto n = q.TakeOne()) {
    uint32_t& next = n->Code == NotifyReceiveError ? nextA : nextB;
    EXPECT_EQ(n->Value, next);
    ++next;
  }
  EXPECT_EQ(nextA, perThread);
  EXPECT_EQ(nextB, perThread);
}
