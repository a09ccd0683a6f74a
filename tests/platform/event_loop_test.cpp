#include "platform/event_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "support/wait.h"

namespace verdan::platform {
namespace {

using namespace std::chrono_literals;

TEST(EventLoop, PostsFromManyThreadsArriveInOrderPerSender) {
  std::atomic<ThreadId> target{0};
  std::vector<std::int64_t> seenA, seenB;
  WindowThreads windows;
  std::atomic<bool> finished{false};
  target = windows.Start([&](EventQueue& q) {
    for (int n = 0; n < 2000;) {
      Event e = q.Wait();
      if (e.code == kEventClose) break;
      if (e.code == kEventUser) seenA.push_back(e.lparam), ++n;
      if (e.code == kEventUser + 1) seenB.push_back(e.lparam), ++n;
    }
    finished = true;
  });
  std::thread a([&] {
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(PostToThread(target, Event{kEventUser, 0, i}));
  });
  std::thread b([&] {
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(PostToThread(target, Event{kEventUser + 1, 0, i}));
  });
  a.join();
  b.join();
  windows.JoinAll();
  ASSERT_TRUE(finished);
  ASSERT_EQ(seenA.size(), 1000u);
  ASSERT_EQ(seenB.size(), 1000u);
  for (int i = 0; i < 1000; ++i) {
    EXPECT_EQ(seenA[i], i);
    EXPECT_EQ(seenB[i], i);
  }
  EXPECT_FALSE(PostToThread(target, Event{kEventUser}));  // gone with its thread
}

TEST(EventLoop, TimerFiresAtItsIntervalAndCoalesces) {
  EventQueue q;
  q.SetTimer(5);  // 50 ms
  auto start = std::chrono::steady_clock::now();
  int ticks = 0;
  while (ticks < 4) {
    Event e = q.WaitFor(2s);
    ASSERT_EQ(e.code, kEventTimer);
    ++ticks;
  }
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, 140ms);  // the first tick comes one interval after setting
  q.SetTimer(0);
  EXPECT_EQ(q.WaitFor(100ms).code, kEventNone);
}

TEST(EventLoop, CloseAllEndsEveryWindowThread) {
  WindowThreads windows;
  for (int i = 0; i < 5; ++i)
    windows.Start([](EventQueue& q) {
      while (q.Wait().code != kEventClose) {
      }
    });
  EXPECT_EQ(windows.Running(), 5u);
  windows.CloseAll();
  windows.JoinAll();
  EXPECT_EQ(windows.Running(), 0u);
}

TEST(EventLoop, BlockedWindowDoesNotStopAnother) {
  WindowThreads windows;
  std::atomic<bool> release{false};
  std::atomic<int> handled{0};
  windows.Start([&](EventQueue& q) {
    while (!release) std::this_thread::sleep_for(1ms);  // as a window waiting on a modal box
    while (q.Wait().code != kEventClose) {
    }
  });
  ThreadId other = windows.Start([&](EventQueue& q) {
    for (;;) {
      Event e = q.Wait();
      if (e.code == kEventClose) return;
      ++handled;
    }
  });
  for (int i = 0; i < 10; ++i) PostToThread(other, Event{kEventUser});
  EXPECT_TRUE(testing::WaitFor([&] { return handled >= 10; }));
  EXPECT_EQ(handled, 10);
  release = true;
}

TEST(EventLoop, ShutClosesWindowsStartedWhileClosing) {
  // A window that starts another as it closes (as the splash does) must not keep the
  // program alive once the windows are being shut.
  WindowThreads windows;
  std::atomic<int> ended{0};
  WindowThreads::Procedure leaf = [&](EventQueue& q) {
    while (q.Wait().code != kEventClose) {
    }
    ++ended;
  };
  windows.Start([&](EventQueue& q) {
    while (q.Wait().code != kEventClose) {
    }
    windows.Start(leaf);
    ++ended;
  });
  EXPECT_FALSE(windows.IsShut());
  windows.Shut();
  EXPECT_TRUE(windows.IsShut());
  windows.JoinAll();
  EXPECT_EQ(ended, 2);
  EXPECT_EQ(windows.Running(), 0u);
}

}  // namespace
}  // namespace verdan::platform
