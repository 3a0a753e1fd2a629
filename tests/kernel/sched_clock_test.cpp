// The virtual clock and kernel timers.
#include <vector>

#include "kernel/sched_test_util.h"

using namespace sched_test;

namespace {

constexpr uint64_t kTick = 156250;

struct FireLog {
  std::vector<uint64_t> at;
};

VOID NTAPI RecordFire(PKDPC, PVOID context, PVOID, PVOID) {
  static_cast<FireLog *>(context)->at.push_back(sim::Now100ns());
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
}

TEST(VirtualClock, ShortDueTimeFiresAtTheNextTick) {
  sim::Kernel k(Options());
  k.Run([] {
    KTIMER timer;
    KeInitializeTimer(&timer);
    LARGE_INTEGER due;
    due.QuadPart = -1000;  // 100 us
    EXPECT_FALSE(KeSetTimer(&timer, due, nullptr));
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(sim::Now100ns(), kTick);
    EXPECT_TRUE(KeReadStateTimer(&timer));
  });
  EXPECT_TRUE(k.Faults().empty()) << DescribeFaults(k);
}

TEST(VirtualClock, HundredMillisecondWaitPassesInVirtualTime) {
  sim::Kernel k(Options());
  k.Run([] {
    LARGE_INTEGER delay = RelativeMs(100);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &delay), STATUS_SUCCESS);
    EXPECT_GE(sim::NowMs(), 100u);
    EXPECT_LT(sim::NowMs(), 100u + 16);
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = RelativeMs(100);
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_GE(sim::NowMs(), 200u);
  });
}

TEST(VirtualClock, TickCountAndTimeQueriesAgree) {
  sim::Kernel k(Options());
  EXPECT_EQ(KeQueryTimeIncrement(), kTick);
  k.Advance(1000);
  k.Run([] {
    LARGE_INTEGER ticks, system;
    KeQueryTickCount(&ticks);
    EXPECT_EQ(static_cast<uint64_t>(ticks.QuadPart) * kTick, KeQueryInterruptTime());
    EXPECT_EQ(KeTickCount.LowPart, static_cast<ULONG>(ticks.QuadPart));
    EXPECT_EQ(KeTickCount.High1Time, KeTickCount.High2Time);
    EXPECT_EQ(sim::Now100ns() % kTick, 0u);
    EXPECT_GE(sim::NowMs(), 1000u);
    KeQuerySystemTime(&system);
    LARGE_INTEGER later;
    DelayMs(50);
    KeQuerySystemTime(&later);
    EXPECT_EQ(static_cast<uint64_t>(later.QuadPart - system.QuadPart), 4 * kTick);  // 50 ms rounds up to 4 ticks
  });
}

TEST(VirtualClock, AbsoluteDueTimeIsSystemTime) {
  sim::Kernel k(Options());
  k.Run([] {
    LARGE_INTEGER now, due;
    KeQuerySystemTime(&now);
    due.QuadPart = now.QuadPart + 500 * 10000;
    KTIMER timer;
    KeInitializeTimerEx(&timer, NotificationTimer);
    KeSetTimer(&timer, due, nullptr);
    KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(sim::Now100ns(), (500 * 10000 + kTick - 1) / kTick * kTick);
  });
}

TEST(KernelTimers, PeriodicTimerRearmsOnTicksAndQueuesItsDpc) {
  FireLog log;
  KTIMER timer;
  KDPC dpc;
  sim::Kernel k(Options());
  k.Run([&] {
    KeInitializeTimerEx(&timer, NotificationTimer);
    KeInitializeDpc(&dpc, RecordFire, &log);
    KeSetTimerEx(&timer, RelativeMs(100), 100, &dpc);
  });
  k.Advance(1000);
  k.Run([&] { EXPECT_TRUE(KeCancelTimer(&timer)); });
  ASSERT_EQ(log.at.size(), 9u);
  for (size_t i = 0; i < log.at.size(); ++i) {
    EXPECT_EQ(log.at[i] % kTick, 0u) << i;
    if (i > 0) {
      EXPECT_GE(log.at[i] - log.at[i - 1], 100u * 10000) << i;
    }
  }
  EXPECT_EQ(log.at[0], 7 * kTick);
  k.Advance(1000);
  EXPECT_EQ(log.at.size(), 9u) << "a cancelled timer fires no more";
}

TEST(KernelTimers, SetAndCancelReportWhetherTheTimerWasSet) {
  sim::Kernel k(Options());
  k.Run([] {
    KTIMER timer;
    KeInitializeTimer(&timer);
    EXPECT_FALSE(KeCancelTimer(&timer));
    EXPECT_FALSE(KeSetTimer(&timer, RelativeMs(10), nullptr));
    EXPECT_TRUE(KeSetTimer(&timer, RelativeMs(10), nullptr));
    EXPECT_TRUE(KeCancelTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer));
    LARGE_INTEGER poll;
    poll.QuadPart = 0;
    LARGE_INTEGER wait = RelativeMs(100);
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &wait), STATUS_TIMEOUT);
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
  });
}

TEST(KernelTimers, SynchronizationTimerSatisfiesOneWait) {
  sim::Kernel k(Options());
  k.Run([] {
    KTIMER sync, notification;
    KeInitializeTimerEx(&sync, SynchronizationTimer);
    KeInitializeTimerEx(&notification, NotificationTimer);
    KeSetTimer(&sync, RelativeMs(10), nullptr);
    KeSetTimer(&notification, RelativeMs(10), nullptr);
    LARGE_INTEGER poll;
    poll.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&sync, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&sync, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
  });
}

}  // namespace
