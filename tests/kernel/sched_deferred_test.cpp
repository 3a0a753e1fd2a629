// DPCs, work items and the I/O timer: where and at which IRQL they run.
#include "kernel/sched_test_util.h"
#include "sim/kernel/internal.h"

#include <memory>

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

TEST(IoTimer, TicksOnceASecondWhileStarted) {
  sim::Kernel k(Options());
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
  EXPECT_EQ(seen.runs, 3);
  EXPECT_EQ(seen.irql, DISPATCH_LEVEL);
  EXPECT_EQ(seen.arg1, dev->get());
  k.Run([&] { IoStopTimer(dev->get()); });
  k.Advance(3000);
  EXPECT_EQ(seen.runs, 3);
  k.Run([&] { IoStartTimer(dev->get()); });
  k.Advance(1500);
  EXPECT_EQ(seen.runs, 4);
  // Deleting the device takes its I/O timer with it (stopped first: a
  // started one may be running on another CPU as the device goes).
  k.Run([&] {
    IoStopTimer(dev->get());
    dev.reset();
  });
  k.Advance(3000);
  EXPECT_EQ(seen.runs, 4);
  EXPECT_TRUE(k.Faults().empty()) << DescribeFaults(k);
}

}  // namespace
