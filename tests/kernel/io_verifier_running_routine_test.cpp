// A device deleted, or memory freed, while a DPC routine whose KDPC lies in
// it, or the device's I/O timer routine, still executes on another
// processor: KeRemoveQueueDpc and IoStopTimer do not wait for such a run.
#include "kernel/io_test_util.h"
#include "kernel/sched_test_util.h"

using namespace io_test;
using sim::Fault;

namespace {

// The faulty driver's device: its DPC lives in the extension.
struct RoutineExtension {
  KDPC dpc;
  PKEVENT started;
  volatile bool *release;
  bool held;
};

// Runs until the test lets it go, so the deletion lands in the middle. The
// test waits for `started` blocked, so it cannot be the thread this routine
// interrupted on its processor.
void HoldUntilReleased(RoutineExtension *ext) {
  ext->held = true;
  KeSetEvent(ext->started, IO_NO_INCREMENT, FALSE);
  while (!*ext->release) sim::SchedulePoint();
}

VOID NTAPI HeldDpc(PKDPC, PVOID context, PVOID, PVOID) { HoldUntilReleased(static_cast<RoutineExtension *>(context)); }

VOID NTAPI HeldTimer(PDEVICE_OBJECT, PVOID context) {
  RoutineExtension *ext = static_cast<RoutineExtension *>(context);
  if (ext->held) return;  // held once only
  HoldUntilReleased(ext);
}

PDEVICE_OBJECT MakeRoutineDevice(PKEVENT started, volatile bool *release) {
  PDEVICE_OBJECT device = nullptr;
  EXPECT_EQ(IoCreateDevice(MakeDriver(), sizeof(RoutineExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
            STATUS_SUCCESS);
  auto ext = static_cast<RoutineExtension *>(device->DeviceExtension);
  ext->started = started;
  ext->release = release;
  ext->held = false;
  KeInitializeDpc(&ext->dpc, HeldDpc, ext);
  return device;
}

void WaitFor(KEVENT *event) { KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr); }

// Queued to a processor other than the caller's, from DISPATCH_LEVEL so the
// caller does not move meanwhile.
void QueueElsewhere(PKDPC dpc) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeSetTargetProcessorDpc(dpc, static_cast<CCHAR>(KeGetCurrentProcessorNumber() == 0 ? 1 : 0));
  EXPECT_TRUE(KeInsertQueueDpc(dpc, nullptr, nullptr));
  KeLowerIrql(old);
}

TEST(IoVerifierRunningRoutine, DeviceDeletedWhileItsDpcRoutineRuns) {
  for (bool waitFirst : {false, true}) {
    SCOPED_TRACE(waitFirst ? "routine finished first" : "routine still running");
    sim::Kernel k(sched_test::MultiprocessorOptions());
    volatile bool release = false, finished = false;
    k.Run([&] {
      KEVENT started;
      KeInitializeEvent(&started, NotificationEvent, FALSE);
      PDEVICE_OBJECT device = MakeRoutineDevice(&started, &release);
      auto ext = static_cast<RoutineExtension *>(device->DeviceExtension);
      QueueElsewhere(&ext->dpc);
      WaitFor(&started);
      // Dequeued already: removing it finds nothing and waits for nothing.
      EXPECT_FALSE(KeRemoveQueueDpc(&ext->dpc));
      if (waitFirst) {
        release = true;
        sched_test::DelayMs(1);
      }
      IoDeleteDevice(device);
      release = true;
      sched_test::DelayMs(1);
      finished = true;
    });
    k.Shutdown();
    EXPECT_TRUE(finished);
    ASSERT_EQ(sched_test::CountFaults(k, Fault::RoutineRunningOnDeletedDevice), waitFirst ? 0 : 1)
        << sched_test::DescribeFaults(k);
    EXPECT_EQ(k.Faults().size(), waitFirst ? 0u : 1u) << sched_test::DescribeFaults(k);
    if (!waitFirst) {
      EXPECT_EQ(k.Faults()[0].routine, "IoDeleteDevice");
      EXPECT_TRUE(AnyFaultMentions(k, Fault::RoutineRunningOnDeletedDevice, "KDPC at offset")) << sched_test::DescribeFaults(k);
    }
  }
}

TEST(IoVerifierRunningRoutine, DeviceDeletedWhileItsIoTimerRoutineRuns) {
  for (bool waitFirst : {false, true}) {
    SCOPED_TRACE(waitFirst ? "routine finished first" : "routine still running");
    sim::Kernel k(sched_test::MultiprocessorOptions());
    volatile bool release = false;
    k.Run([&] {
      KEVENT started;
      KeInitializeEvent(&started, NotificationEvent, FALSE);
      PDEVICE_OBJECT device = MakeRoutineDevice(&started, &release);
      IoInitializeTimer(device, HeldTimer, device->DeviceExtension);
      IoStartTimer(device);
      WaitFor(&started);
      // Stopped, but the run in progress goes on.
      IoStopTimer(device);
      if (waitFirst) {
        release = true;
        sched_test::DelayMs(1);
      }
      IoDeleteDevice(device);
      release = true;
      sched_test::DelayMs(1);
    });
    k.Shutdown();
    ASSERT_EQ(sched_test::CountFaults(k, Fault::RoutineRunningOnDeletedDevice), waitFirst ? 0 : 1)
        << sched_test::DescribeFaults(k);
    EXPECT_EQ(k.Faults().size(), waitFirst ? 0u : 1u) << sched_test::DescribeFaults(k);
    if (!waitFirst) EXPECT_TRUE(AnyFaultMentions(k, Fault::RoutineRunningOnDeletedDevice, "I/O timer routine"));
  }
}

// Pool holding a DPC: freed by another thread while the routine runs is a
// fault; freed by the routine itself, which is done with it, is not.
struct PoolDpc {
  KDPC dpc;
  PKEVENT started;
  volatile bool *release;
  bool freeItself;
};

VOID NTAPI PoolDpcRoutine(PKDPC, PVOID context, PVOID, PVOID) {
  PoolDpc *block = static_cast<PoolDpc *>(context);
  KeSetEvent(block->started, IO_NO_INCREMENT, FALSE);
  if (block->freeItself) {
    ExFreePool(block);
    return;
  }
  while (!*block->release) sim::SchedulePoint();
}

TEST(IoVerifierRunningRoutine, PoolFreedWhileItsDpcRoutineRuns) {
  for (bool freeItself : {false, true}) {
    SCOPED_TRACE(freeItself ? "freed by its routine" : "freed by another thread");
    sim::Kernel k(sched_test::MultiprocessorOptions());
    volatile bool release = false;
    k.Run([&] {
      KEVENT started;
      KeInitializeEvent(&started, NotificationEvent, FALSE);
      auto block = static_cast<PoolDpc *>(ExAllocatePoolWithTag(NonPagedPool, sizeof(PoolDpc), 'tseT'));
      block->started = &started;
      block->release = &release;
      block->freeItself = freeItself;
      KeInitializeDpc(&block->dpc, PoolDpcRoutine, block);
      QueueElsewhere(&block->dpc);
      WaitFor(&started);
      if (!freeItself) ExFreePool(block);
      release = true;
      sched_test::DelayMs(1);
    });
    k.Shutdown();
    ASSERT_EQ(sched_test::CountFaults(k, Fault::RoutineRunningOnDeletedDevice), freeItself ? 0 : 1)
        << sched_test::DescribeFaults(k);
    EXPECT_EQ(k.Faults().size(), freeItself ? 0u : 1u) << sched_test::DescribeFaults(k);
  }
}

// A DPC aimed at a processor the machine does not have is refused.
VOID NTAPI NeverRuns(PKDPC, PVOID context, PVOID, PVOID) { *static_cast<bool *>(context) = true; }

TEST(IoVerifierRunningRoutine, DpcTargetedAtAnInactiveProcessor) {
  sim::KernelOptions o = sched_test::Options();
  o.cpus = 2;
  sim::Kernel k(o);
  bool ran = false;
  KAFFINITY active = 0;
  k.Run([&] {
    active = KeQueryActiveProcessors();
    KDPC dpc;
    KeInitializeDpc(&dpc, NeverRuns, &ran);
    KeSetTargetProcessorDpc(&dpc, 5);
    EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    sched_test::DelayMs(1);
  });
  k.Shutdown();
  EXPECT_EQ(active, KAFFINITY(3));
  EXPECT_FALSE(ran);
  ASSERT_EQ(sched_test::CountFaults(k, Fault::InvalidParameter), 1) << sched_test::DescribeFaults(k);
  EXPECT_EQ(k.Faults()[0].routine, "KeInsertQueueDpc");
}

// Targeted DPCs run on their processor, in the order queued there: what a
// driver's barrier behind a running routine relies on.
struct Ordered {
  int order[4];
  int next;
  ULONG cpu[4];
};

VOID NTAPI RecordOrder(PKDPC dpc, PVOID context, PVOID index, PVOID) {
  Ordered *o = static_cast<Ordered *>(context);
  auto i = reinterpret_cast<uintptr_t>(index);
  o->order[i] = o->next++;
  o->cpu[i] = KeGetCurrentProcessorNumber();
  (void)dpc;
}

TEST(IoVerifierRunningRoutine, TargetedDpcsRunInOrderOnTheirProcessor) {
  for (uint64_t seed : testing_support::Seeds()) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    sim::Kernel k(sched_test::MultiprocessorOptions(seed));
    Ordered o = {};
    k.Run([&] {
      KDPC dpcs[4];
      KIRQL old;
      // Queued at DISPATCH_LEVEL so none runs before the last is queued here.
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      for (uintptr_t i = 0; i < 4; ++i) {
        KeInitializeDpc(&dpcs[i], RecordOrder, &o);
        KeSetTargetProcessorDpc(&dpcs[i], 1);
        KeInsertQueueDpc(&dpcs[i], reinterpret_cast<PVOID>(i), nullptr);
      }
      KeLowerIrql(old);
      while (o.next < 4) sim::SchedulePoint();
    });
    k.Shutdown();
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(o.order[i], i);
      EXPECT_EQ(o.cpu[i], 1u);
    }
    EXPECT_TRUE(k.Faults().empty()) << sched_test::DescribeFaults(k);
    if (::testing::Test::HasFailure()) return;
  }
}

}  // namespace
