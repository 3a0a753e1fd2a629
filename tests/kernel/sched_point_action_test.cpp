// An action armed for a schedule point: it runs once, at that point, in the
// context that passes it, and waits until that context holds no spin lock.
#include "kernel/sched_test_util.h"

using namespace sched_test;

namespace {

TEST(SchedulePointAction, RunsOnceAtTheNthPointFromNow) {
  RunExpectingNoFaults([] {
    int runs = 0;
    uint64_t ranAt = 0;
    uint64_t armedAt = sim::SchedulePoints();
    sim::AtSchedulePoint(5, [&] {
      ++runs;
      ranAt = sim::SchedulePoints();
    });
    for (int i = 0; i < 3; ++i) sim::SchedulePoint();
    EXPECT_EQ(runs, 0) << "ran before its point";
    for (int i = 0; i < 10; ++i) sim::SchedulePoint();
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(ranAt, armedAt + 5);
  });
}

TEST(SchedulePointAction, WaitsUntilTheContextHoldsNoSpinLock) {
  RunExpectingNoFaults([] {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    int heldWhenRun = -1;
    bool ran = false;
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    sim::AtSchedulePoint(1, [&] {
      ran = true;
      KIRQL inner;
      KeAcquireSpinLock(&lock, &inner);  // would be acquired twice if run under it
      KeReleaseSpinLock(&lock, inner);
    });
    for (int i = 0; i < 5; ++i) sim::SchedulePoint();
    heldWhenRun = ran ? 1 : 0;
    KeReleaseSpinLock(&lock, old);
    for (int i = 0; i < 5 && !ran; ++i) sim::SchedulePoint();
    EXPECT_EQ(heldWhenRun, 0) << "ran while its context held a spin lock";
    EXPECT_TRUE(ran);
  });
}

TEST(SchedulePointAction, ANewCallReplacesTheArmedAction) {
  RunExpectingNoFaults([] {
    int first = 0, second = 0;
    sim::AtSchedulePoint(2, [&] { ++first; });
    sim::AtSchedulePoint(4, [&] { ++second; });
    for (int i = 0; i < 10; ++i) sim::SchedulePoint();
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 1);
  });
}

}  // namespace
