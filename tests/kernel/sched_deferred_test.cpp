// DPCs, work items and the I/O timer: where and at which IRQL they run.
#include "kernel/sched_test_util.h"
#include "sim/kernel/internal.h"

#include <algorithm>
#include <memory>
#include <vector>

using namespace sched_test;

namespace {

// A device object of a test driver, as the I/O manager makes them.
class TestDevice {
 public:
  TestDevice() {
    driver_ = sim::internal::CreateDriverObject(L"schedtest");
    EXPECT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_), STATUS_SUCCESS);
  }
  ~TestDevice() {
    IoDeleteDevice(device_);
    sim::internal::UnloadDriver(driver_);
  }
  PDEVICE_OBJECT get() const { return device_; }

 private:
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
};

struct Observed {
  int runs = 0;
  KIRQL irql = 0xff;
  PKTHREAD thread = nullptr;
  PVOID arg1 = nullptr;
};

VOID NTAPI ObserveDpc(PKDPC, PVOID context, PVOID arg1, PVOID) {
  auto *o = static_cast<Observed *>(context);
  ++o->runs;
  o->irql = KeGetCurrentIrql();
  o->thread = KeGetCurrentThread();
  o->arg1 = arg1;
}

VOID NTAPI SpinOnLock(PKDPC, PVOID context, PVOID, PVOID) {
  KeAcquireSpinLockAtDpcLevel(static_cast<PKSPIN_LOCK>(context));
  KeReleaseSpinLockFromDpcLevel(static_cast<PKSPIN_LOCK>(context));
}

// Keeps the DPC processor spinning on a lock we hold, so that DPCs queued
// after Hold stay queued until Release.
struct BusyDpcProcessor {
  KSPIN_LOCK lock;
  KDPC blocker;
  KIRQL old;

  void Hold() {
    KeInitializeSpinLock(&lock);
    KeInitializeDpc(&blocker, SpinOnLock, &lock);
    KeAcquireSpinLock(&lock, &old);
    KeInsertQueueDpc(&blocker, nullptr, nullptr);
  }
  void Release() { KeReleaseSpinLock(&lock, old); }
};

TEST(Dpcs, RunAtDispatchLevelOnTheDpcProcessor) {
  for (uint64_t seed : testing_support::Seeds()) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    Observed seen;
    RunExpectingNoFaults([&] {
      KDPC dpc;
      KeInitializeDpc(&dpc, ObserveDpc, &seen);
      BusyDpcProcessor busy;
      busy.Hold();
      int marker = 0;
      EXPECT_TRUE(KeInsertQueueDpc(&dpc, &marker, nullptr));
      EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr)) << "already queued";
      EXPECT_NE(dpc.DpcData, nullptr);
      busy.Release();
      DelayMs(1);
      EXPECT_EQ(seen.runs, 1);
      EXPECT_EQ(seen.irql, DISPATCH_LEVEL);
      EXPECT_NE(seen.thread, KeGetCurrentThread());
      EXPECT_EQ(seen.arg1, &marker);
      EXPECT_EQ(dpc.DpcData, nullptr);
      EXPECT_FALSE(KeRemoveQueueDpc(&dpc));
    }, seed);
  }
}

TEST(Dpcs, RemovedDpcDoesNotRun) {
  sim::Kernel k(Options());
  Observed seen;
  k.Run([&] {
    KDPC dpc;
    KeInitializeDpc(&dpc, ObserveDpc, &seen);
    BusyDpcProcessor busy;
    busy.Hold();
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    EXPECT_TRUE(KeRemoveQueueDpc(&dpc));
    busy.Release();
    DelayMs(1);
  });
  EXPECT_EQ(seen.runs, 0);
}

VOID NTAPI ObserveWorkItem(PDEVICE_OBJECT device, PVOID context) {
  auto *o = static_cast<Observed *>(context);
  ++o->runs;
  o->irql = KeGetCurrentIrql();
  o->thread = KeGetCurrentThread();
  o->arg1 = device;
  EXPECT_TRUE(sim::internal::WorkItemPendingFor(device)) << "a running item counts as pending";
}

TEST(WorkItems, RunAtPassiveLevelOnASystemWorker) {
  for (uint64_t seed : testing_support::Seeds()) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    Observed seen;
    RunExpectingNoFaults([&] {
      TestDevice dev;
      PDEVICE_OBJECT device = dev.get();
      PIO_WORKITEM item = IoAllocateWorkItem(device);
      ASSERT_NE(item, nullptr);
      KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);  // queued from a DPC-like context
      IoQueueWorkItem(item, ObserveWorkItem, DelayedWorkQueue, &seen);
      KfLowerIrql(old);
      DelayMs(1);
      EXPECT_EQ(seen.runs, 1);
      EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
      EXPECT_NE(seen.thread, KeGetCurrentThread());
      EXPECT_EQ(seen.arg1, device);
      EXPECT_FALSE(sim::internal::WorkItemPendingFor(device));
      IoFreeWorkItem(item);
    }, seed);
  }
}

VOID NTAPI BlockWorker(PDEVICE_OBJECT, PVOID context) {
  KeWaitForSingleObject(context, Executive, KernelMode, FALSE, nullptr);
}

TEST(WorkItems, FreeingAQueuedItemIsAFault) {
  sim::Kernel k(Options());
  Observed seen;
  k.Run([&] {
    TestDevice dev;
    KEVENT release;
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    PIO_WORKITEM busy = IoAllocateWorkItem(dev.get());
    PIO_WORKITEM item = IoAllocateWorkItem(dev.get());
    // The worker is kept busy so that the second item stays queued.
    IoQueueWorkItem(busy, BlockWorker, CriticalWorkQueue, &release);
    DelayMs(1);
    IoQueueWorkItem(item, ObserveWorkItem, CriticalWorkQueue, &seen);
    EXPECT_TRUE(sim::internal::WorkItemPendingFor(dev.get()));
    IoFreeWorkItem(item);
    KeSetEvent(&release, 0, FALSE);
    DelayMs(1);
    EXPECT_FALSE(sim::internal::WorkItemPendingFor(dev.get()));
    IoFreeWorkItem(busy);
  });
  EXPECT_EQ(seen.runs, 0);
  EXPECT_EQ(CountFaults(k, sim::Fault::InvalidParameter), 1) << DescribeFaults(k);
}

VOID NTAPI ObserveIoTimer(PDEVICE_OBJECT device, PVOID context) {
  auto *o = static_cast<Observed *>(context);
  ++o->runs;
  o->irql = KeGetCurrentIrql();
  o->arg1 = device;
}

struct IoTimerCalls {
  std::vector<uint64_t> at;
};

VOID NTAPI RecordIoTimerCall(PDEVICE_OBJECT, PVOID context) {
  static_cast<IoTimerCalls *>(context)->at.push_back(sim::Now100ns());
}

// The I/O timer runs at the machine's own phase of each second: a device's
// first call comes anywhere within the second after IoStartTimer.
TEST(IoTimer, FirstCallComesWithinTheFirstSecondAtASeededPhase) {
  constexpr uint64_t kSecond = 1000 * 10000, kTick = 156250;
  uint64_t earliestFirst = UINT64_MAX;
  for (uint64_t seed : testing_support::Seeds()) {
    sim::Kernel k(Options(seed));
    IoTimerCalls calls;
    std::unique_ptr<TestDevice> dev;
    uint64_t started = 0;
    k.Advance(777);
    k.Run([&] {
      dev = std::make_unique<TestDevice>();
      IoInitializeTimer(dev->get(), RecordIoTimerCall, &calls);
      started = sim::Now100ns();
      IoStartTimer(dev->get());
    });
    k.Advance(3500);
    ASSERT_GE(calls.at.size(), 3u) << "seed " << seed;
    EXPECT_LE(calls.at[0] - started, kSecond + kTick) << "seed " << seed;
    for (size_t i = 1; i < calls.at.size(); ++i) {
      EXPECT_GE(calls.at[i] - calls.at[i - 1], kSecond - kTick) << "seed " << seed;
      EXPECT_LE(calls.at[i] - calls.at[i - 1], kSecond + kTick) << "seed " << seed;
    }
    earliestFirst = std::min(earliestFirst, calls.at[0] - started);
    k.Run([&] { dev.reset(); });
  }
  if (testing_support::Seeds().size() >= 10) {
    EXPECT_LT(earliestFirst, kSecond / 2) << "the phase is always the same";
  }
}

TEST(IoTimer, TicksOnceASecondWhileStarted) {
  for (uint64_t seed : testing_support::Seeds()) {
    sim::Kernel k(Options(seed));
    Observed seen;
    std::unique_ptr<TestDevice> dev;
    k.Run([&] {
      dev = std::make_unique<TestDevice>();
      ASSERT_EQ(IoInitializeTimer(dev->get(), ObserveIoTimer, &seen), STATUS_SUCCESS);
      ASSERT_NE(dev->get()->Timer, nullptr);
    });
    k.Advance(3500);
    EXPECT_EQ(seen.runs, 0) << "not started yet";
    k.Run([&] { IoStartTimer(dev->get()); });
    k.Advance(3500);
    EXPECT_GE(seen.runs, 3) << "seed " << seed;
    EXPECT_LE(seen.runs, 4) << "seed " << seed;
    EXPECT_EQ(seen.irql, DISPATCH_LEVEL);
    EXPECT_EQ(seen.arg1, dev->get());
    k.Run([&] { IoStopTimer(dev->get()); });
    int stopped = seen.runs;
    k.Advance(3000);
    EXPECT_EQ(seen.runs, stopped);
    k.Run([&] { IoStartTimer(dev->get()); });
    k.Advance(2100);
    EXPECT_GE(seen.runs, stopped + 2) << "seed " << seed;
    EXPECT_LE(seen.runs, stopped + 3) << "seed " << seed;
    // Deleting the device takes its I/O timer with it.
    // (stopped first: a started one may be running on another CPU as the device goes)
    k.Run([&] {
      IoStopTimer(dev->get());
      dev.reset();
    });
    int deleted = seen.runs;
    k.Advance(3000);
    EXPECT_EQ(seen.runs, deleted);
    EXPECT_TRUE(k.Faults().empty()) << DescribeFaults(k);
  }
}

}  // namespace

namespace {

struct WorkPair {
  KEVENT second;
  bool firstSawSecond = false;
};

VOID NTAPI WaitForTheSecond(PDEVICE_OBJECT, PVOID context) {
  auto *w = static_cast<WorkPair *>(context);
  LARGE_INTEGER timeout = RelativeMs(1000);
  w->firstSawSecond =
      KeWaitForSingleObject(&w->second, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
}

VOID NTAPI SetTheSecond(PDEVICE_OBJECT, PVOID context) {
  KeSetEvent(&static_cast<WorkPair *>(context)->second, IO_NO_INCREMENT, FALSE);
}

}  // namespace

// XP has several delayed workers: one item may wait for another of its queue.
TEST(Multiprocessor, WorkItemsOfOneQueueRunAtTheSameTime) {
  for (uint64_t seed : testing_support::Seeds()) {
    WorkPair w;
    sim::Kernel k(Options(seed));
    k.Run([&] {
      TestDevice dev;
      KeInitializeEvent(&w.second, NotificationEvent, FALSE);
      PIO_WORKITEM a = IoAllocateWorkItem(dev.get());
      PIO_WORKITEM b = IoAllocateWorkItem(dev.get());
      IoQueueWorkItem(a, WaitForTheSecond, DelayedWorkQueue, &w);
      IoQueueWorkItem(b, SetTheSecond, DelayedWorkQueue, &w);
      DelayMs(2000);
      IoFreeWorkItem(a);
      IoFreeWorkItem(b);
    });
    EXPECT_TRUE(w.firstSawSecond) << "seed " << seed;
    EXPECT_TRUE(k.Faults().empty()) << DescribeFaults(k);
  }
}
