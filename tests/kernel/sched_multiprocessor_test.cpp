// The machine as a multiprocessor: who runs first after a signal, DPCs that
// preempt and overlap, several system workers per queue.
#include <algorithm>
#include <vector>

#include "kernel/sched_test_util.h"

using namespace sched_test;

namespace {

sim::KernelOptions OnCpus(uint64_t seed, unsigned cpus) {
  sim::KernelOptions o = Options(seed);
  o.cpus = cpus;
  return o;
}

struct Shared {
  KEVENT event;
  volatile int data = 0;
  int seen = -1;
};

// The setter writes right after KeSetEvent: on a real machine the waiter,
// woken on another processor or boosted on this one, often reads first.
TEST(Multiprocessor, WaiterOftenRunsBeforeTheSetterNextStep) {
  constexpr int kSeeds = 200;
  for (unsigned cpus : {1u, 2u}) {
    int oldValueSeen = 0;
    for (uint64_t seed = 1; seed <= kSeeds; ++seed) {
      Shared sh;
      sim::Kernel k(OnCpus(seed, cpus));
      k.Run([&] {
        KeInitializeEvent(&sh.event, NotificationEvent, FALSE);
        sim::SimThread *waiter = sim::CreateThread("waiter", [&] {
          KeWaitForSingleObject(&sh.event, Executive, KernelMode, FALSE, nullptr);
          sh.seen = sh.data;
        });
        DelayMs(1);  // the waiter is waiting now
        KeSetEvent(&sh.event, IO_NO_INCREMENT, FALSE);
        sh.data = 1;
        while (!sim::ThreadFinished(waiter)) DelayMs(1);
      });
      ASSERT_NE(sh.seen, -1);
      oldValueSeen += sh.seen == 0;
    }
    EXPECT_GT(oldValueSeen, kSeeds / 10) << cpus << " cpu(s)";
    EXPECT_LT(oldValueSeen, kSeeds * 9 / 10) << cpus << " cpu(s)";
  }
}

struct DpcProbe {
  KDPC dpc;
  volatile int data = 0;
  int seen = -1;
  KIRQL irql = 0xff;
  PKTHREAD thread = nullptr;
};

VOID NTAPI ReadData(PKDPC, PVOID context, PVOID, PVOID) {
  auto *p = static_cast<DpcProbe *>(context);
  p->seen = p->data;
  p->irql = KeGetCurrentIrql();
}

// From PASSIVE_LEVEL the DPC interrupts its inserter on the same processor.
TEST(Multiprocessor, DpcQueuedAtPassiveLevelRunsBeforeTheInserterNextStep) {
  for (unsigned cpus : {1u, 2u, 4u})
    for (uint64_t seed : testing_support::Seeds()) {
      DpcProbe p;
      sim::Kernel k(OnCpus(seed, cpus));
      k.Run([&] {
        KeInitializeDpc(&p.dpc, ReadData, &p);
        KeInsertQueueDpc(&p.dpc, nullptr, nullptr);
        p.data = 1;
        DelayMs(1);
      });
      EXPECT_TRUE(k.Faults().empty()) << DescribeFaults(k);
      EXPECT_EQ(p.seen, 0) << "seed " << seed << ", " << cpus << " cpu(s)";
      EXPECT_EQ(p.irql, DISPATCH_LEVEL);
    }
}

// At DISPATCH_LEVEL the DPC waits until the processor lowers its IRQL.
TEST(Multiprocessor, DpcQueuedAtDispatchLevelWaitsForTheLowering) {
  for (uint64_t seed : testing_support::Seeds()) {
    DpcProbe p;
    RunExpectingNoFaults(
        [&] {
          KeInitializeDpc(&p.dpc, ReadData, &p);
          KIRQL old;
          KeRaiseIrql(DISPATCH_LEVEL, &old);
          KeInsertQueueDpc(&p.dpc, nullptr, nullptr);
          for (int i = 0; i < 20; ++i) sim::SchedulePoint();
          p.data = 1;
          KeLowerIrql(old);
          p.data = 2;
          DelayMs(1);
        },
        seed);
    EXPECT_EQ(p.seen, 1) << "seed " << seed;
  }
}

struct Overlap {
  KDPC dpc[2];
  volatile int inside = 0;
  int maxInside = 0;
};

VOID NTAPI CountInside(PKDPC, PVOID context, PVOID, PVOID) {
  auto *o = static_cast<Overlap *>(context);
  ++o->inside;
  for (int i = 0; i < 50; ++i) {
    if (o->inside > o->maxInside) o->maxInside = o->inside;
    sim::SchedulePoint();
  }
  --o->inside;
}

int MostDpcsAtOnce(uint64_t seed, unsigned cpus) {
  Overlap o;
  sim::Kernel k(OnCpus(seed, cpus));
  k.Run([&] {
    for (int i = 0; i < 2; ++i) {
      KeInitializeDpc(&o.dpc[i], CountInside, &o);
      KeSetTargetProcessorDpc(&o.dpc[i], static_cast<CCHAR>(i));
    }
    KeInsertQueueDpc(&o.dpc[1], nullptr, nullptr);
    KeInsertQueueDpc(&o.dpc[0], nullptr, nullptr);
    DelayMs(1);
  });
  return o.maxInside;
}

TEST(Multiprocessor, DpcsOnDifferentProcessorsOverlap) {
  int most = 0;
  for (uint64_t seed : testing_support::Seeds()) {
    EXPECT_EQ(MostDpcsAtOnce(seed, 1), 1) << "one processor runs one DPC at a time";
    most = std::max(most, MostDpcsAtOnce(seed, 2));
  }
  if (testing_support::Seeds().size() >= 10) {
    EXPECT_EQ(most, 2) << "two processors never ran their DPCs at once";
  }
}

}  // namespace

namespace {

struct InterruptProbe {
  KDPC dpc;
  uint64_t ranAt = 0;
  KIRQL irql = 0xff;
  int runs = 0;
};

VOID NTAPI RecordInterrupt(PKDPC, PVOID context, PVOID, PVOID) {
  auto *p = static_cast<InterruptProbe *>(context);
  p->ranAt = sim::Now100ns();
  p->irql = KeGetCurrentIrql();
  ++p->runs;
}

}  // namespace

// A device's interrupt comes at its own exact time, between clock ticks,
// whether or not any thread runs meanwhile.
TEST(Multiprocessor, DeviceInterruptRunsItsDpcAtTheExactTime) {
  constexpr uint64_t kTick = 156250;
  for (uint64_t seed : testing_support::Seeds()) {
    InterruptProbe idle, busy, cancelled;
    sim::Kernel k(Options(seed));
    k.Run([&] {
      for (InterruptProbe *p : {&idle, &busy, &cancelled}) KeInitializeDpc(&p->dpc, RecordInterrupt, p);
      uint64_t now = sim::Now100ns();
      EXPECT_TRUE(sim::RequestInterrupt(now + 12345, &idle.dpc));
      EXPECT_FALSE(sim::RequestInterrupt(now + 99999, &idle.dpc)) << "one interrupt at a time per DPC";
      EXPECT_TRUE(sim::RequestInterrupt(now + kTick + 5000, &cancelled.dpc));
      EXPECT_TRUE(sim::CancelInterrupt(&cancelled.dpc));
      DelayMs(5);  // nothing else is due: the machine idles up to the interrupt
      EXPECT_EQ(idle.runs, 1);
      EXPECT_GE(idle.ranAt, now + 12345);
      EXPECT_LT(idle.ranAt, now + 12345 + 10000) << "seed " << seed;
      now = sim::Now100ns();
      EXPECT_TRUE(sim::RequestInterrupt(now + 2000, &busy.dpc));
      while (busy.runs == 0) sim::SchedulePoint();  // a thread that never blocks
      EXPECT_GE(busy.ranAt, now + 2000);
      EXPECT_LT(busy.ranAt, now + 2000 + 10000) << "seed " << seed;
      DelayMs(50);
    });
    EXPECT_EQ(idle.irql, DISPATCH_LEVEL);
    EXPECT_EQ(busy.runs, 1);
    EXPECT_EQ(cancelled.runs, 0);
    EXPECT_TRUE(k.Faults().empty()) << DescribeFaults(k);
  }
}
