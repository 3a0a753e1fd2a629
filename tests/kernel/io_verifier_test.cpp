// Each I/O verifier check fires on a small, deliberately faulty driver, and
// names the fault and the routine.
#include "kernel/io_test_util.h"

using namespace io_test;
using sim::Fault;

namespace {

TEST(IoVerifier, IrpCompletedTwice) {
  std::unique_ptr<sim::Kernel> k(RunFaulty([](PDEVICE_OBJECT, PIRP irp) {
    CompleteWith(irp, STATUS_SUCCESS);
    return CompleteWith(irp, STATUS_SUCCESS);
  }));
  EXPECT_EQ(CountFaults(*k, Fault::IrpCompletedTwice), 1) << DescribeFaults(*k);
  EXPECT_EQ(k->Faults().size(), 1u) << DescribeFaults(*k);
  EXPECT_EQ(k->Faults()[0].routine, "IofCompleteRequest");
}

TEST(IoVerifier, BuiltIrpCompletedTwiceIsCaughtWithoutTouchingItsMemory) {
  sim::Kernel k(Options());
  k.Run([] {
    Dispatch d = [](PDEVICE_OBJECT, PIRP irp) {
      CompleteWith(irp, STATUS_SUCCESS);  // the I/O manager frees it here
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_SUCCESS;
    };
    PDEVICE_OBJECT device = MakeDevice(MakeDriver(), &d);
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    PIRP irp = IoBuildDeviceIoControlRequest(0x222003, device, nullptr, 0, nullptr, 0, TRUE, &e, &iosb);
    IoCallDriver(device, irp);
  });
  k.Shutdown();
  EXPECT_EQ(CountFaults(k, Fault::IrpCompletedTwice), 1) << DescribeFaults(k);
}

VOID NTAPI NeverCalled(PDEVICE_OBJECT, PIRP) {}

TEST(IoVerifier, IrpCompletedWithCancelRoutine) {
  std::unique_ptr<sim::Kernel> k(RunFaulty([](PDEVICE_OBJECT, PIRP irp) {
    IoSetCancelRoutine(irp, NeverCalled);
    return CompleteWith(irp, STATUS_SUCCESS);
  }));
  EXPECT_EQ(CountFaults(*k, Fault::IrpCompletedWithCancelRoutine), 1) << DescribeFaults(*k);
}

// Windows allows it (and advises against it): only the cancel spin lock is a fault.
TEST(IoVerifier, CompletingUnderADriverSpinLockIsLegal) {
  std::unique_ptr<sim::Kernel> k(RunFaulty([](PDEVICE_OBJECT, PIRP irp) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    CompleteWith(irp, STATUS_SUCCESS);
    KeReleaseSpinLock(&lock, old);
    return STATUS_SUCCESS;
  }));
  EXPECT_TRUE(k->Faults().empty()) << DescribeFaults(*k);
}

TEST(IoVerifier, CompletingUnderTheCancelSpinLockIsAFault) {
  std::unique_ptr<sim::Kernel> k(RunFaulty([](PDEVICE_OBJECT, PIRP irp) {
    KIRQL old;
    IoAcquireCancelSpinLock(&old);
    CompleteWith(irp, STATUS_SUCCESS);
    IoReleaseCancelSpinLock(old);
    return STATUS_SUCCESS;
  }));
  EXPECT_EQ(CountFaults(*k, Fault::IrpCompletedUnderSpinLock), 1) << DescribeFaults(*k);
}

TEST(IoVerifier, PendingReturnedWithoutIoMarkIrpPending) {
  PIRP held = nullptr;
  std::unique_ptr<sim::Kernel> k(RunFaulty(
      [&](PDEVICE_OBJECT, PIRP irp) {
        held = irp;
        return STATUS_PENDING;
      },
      [&](PDEVICE_OBJECT) { CompleteWith(held, STATUS_SUCCESS); }));
  EXPECT_EQ(CountFaults(*k, Fault::PendingNotMarked), 1) << DescribeFaults(*k);
  EXPECT_EQ(k->Faults().size(), 1u) << DescribeFaults(*k);
}

// A filter that forwards with a completion routine but neither marks the IRP
// pending nor propagates PendingReturned: the classic hole.
NTSTATUS NTAPI ForgetsToPropagate(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }

TEST(IoVerifier, CompletionRoutineThatDoesNotPropagatePending) {
  sim::Kernel k(Options());
  k.Run([] {
    PIRP held = nullptr;
    PDRIVER_OBJECT driver = MakeDriver();
    Dispatch lowerD = [&](PDEVICE_OBJECT, PIRP irp) {
      IoMarkIrpPending(irp);
      held = irp;
      return STATUS_PENDING;
    };
    PDEVICE_OBJECT lower = MakeDevice(driver, &lowerD);
    Dispatch upperD = [&](PDEVICE_OBJECT, PIRP irp) {
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, ForgetsToPropagate, nullptr, TRUE, TRUE, TRUE);
      return IoCallDriver(lower, irp);
    };
    PDEVICE_OBJECT upper = MakeDevice(driver, &upperD);
    IoAttachDeviceToDeviceStack(upper, lower);
    PIRP irp;
    EXPECT_EQ(SendOne(upper, &irp), STATUS_PENDING);
    CompleteWith(held, STATUS_SUCCESS);
    IoFreeIrp(irp);
  });
  k.Shutdown();
  EXPECT_EQ(CountFaults(k, Fault::PendingNotMarked), 1) << DescribeFaults(k);
}

TEST(IoVerifier, MarkedPendingButReturnedAnotherStatus) {
  PIRP held = nullptr;
  std::unique_ptr<sim::Kernel> k(RunFaulty(
      [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_SUCCESS;
      },
      [&](PDEVICE_OBJECT) { CompleteWith(held, STATUS_SUCCESS); }));
  EXPECT_EQ(CountFaults(*k, Fault::MarkedNotPending), 1) << DescribeFaults(*k);
  EXPECT_EQ(k->Faults().size(), 1u) << DescribeFaults(*k);
}

TEST(IoVerifier, IrpNeverCompleted) {
  sim::Kernel k(Options());
  k.Run([] {
    static Dispatch d = [](PDEVICE_OBJECT, PIRP irp) {
      IoMarkIrpPending(irp);
      return STATUS_PENDING;  // and forgets it
    };
    PDEVICE_OBJECT device = MakeDevice(MakeDriver(), &d);
    PIRP irp;
    SendOne(device, &irp);
  });
  k.Shutdown();
  ASSERT_EQ(CountFaults(k, Fault::IrpNeverCompleted), 1) << DescribeFaults(k);
  EXPECT_TRUE(AnyFaultMentions(k, Fault::IrpNeverCompleted, "IRP_MJ_DEVICE_CONTROL")) << DescribeFaults(k);
}

TEST(IoVerifier, DriverAllocatedIrpNeverFreed) {
  sim::Kernel k(Options());
  k.Run([] {
    static Dispatch d = [](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); };
    PDEVICE_OBJECT device = MakeDevice(MakeDriver(), &d);
    // Its routine lets completion run through, and nobody frees it.
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    IoCallDriver(device, irp);
  });
  k.Shutdown();
  EXPECT_EQ(CountFaults(k, Fault::IrpNeverCompleted), 1) << DescribeFaults(k);
  EXPECT_TRUE(AnyFaultMentions(k, Fault::IrpNeverCompleted, "never freed")) << DescribeFaults(k);
}

TEST(IoVerifier, PowerIrpSentWithIoCallDriver) {
  sim::Kernel k(Options());
  k.Run([] {
    Dispatch d = [](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); };
    PDEVICE_OBJECT device = MakeDevice(MakeDriver(), &d);
    PIRP irp;
    SendOne(device, &irp, IRP_MJ_POWER);
    IoFreeIrp(irp);
    // The power manager's own path is exempt.
    irp = IoAllocateIrp(device->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_POWER;
    IoSetCompletionRoutine(irp, KeepIrp, nullptr, TRUE, TRUE, TRUE);
    sim::internal::CallDriverFromPowerManager(device, irp);
    IoFreeIrp(irp);
  });
  k.Shutdown();
  EXPECT_EQ(CountFaults(k, Fault::PowerIrpSentWithIoCallDriver), 1) << DescribeFaults(k);
  EXPECT_EQ(k.Faults().size(), 1u) << DescribeFaults(k);
}

TEST(IoVerifier, StackLocationsRunOut) {
  sim::Kernel k(Options());
  k.Run([] {
    PDRIVER_OBJECT driver = MakeDriver();
    PDEVICE_OBJECT lower = nullptr;
    Dispatch lowerD = [](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); };
    Dispatch upperD = PassDown(&lower);
    lower = MakeDevice(driver, &lowerD);
    PDEVICE_OBJECT upper = MakeDevice(driver, &upperD);
    // Not attached, so its StackSize stays 1; forwarding needs a second location.
    Dispatch forward = [&](PDEVICE_OBJECT, PIRP irp) { return IoCallDriver(lower, irp); };
    static_cast<TestExtension *>(upper->DeviceExtension)->dispatch = &forward;
    PIRP irp;
    EXPECT_EQ(SendOne(upper, &irp), STATUS_INVALID_PARAMETER);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    IoFreeIrp(irp);
  });
  k.Shutdown();
  EXPECT_TRUE(AnyFaultMentions(k, Fault::InvalidParameter, "no stack location left")) << DescribeFaults(k);
}

// ---- device deletion with work left running on it
struct TimerExtension {
  TestExtension base;
  KTIMER timer;
  KDPC dpc;
};

VOID NTAPI NothingDpc(PKDPC, PVOID, PVOID, PVOID) {}

TEST(IoVerifier, DeviceDeletedWithTimerQueued) {
  sim::Kernel k(Options());
  k.Run([] {
    static Dispatch d = [](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); };
    PDEVICE_OBJECT device;
    ASSERT_EQ(IoCreateDevice(MakeDriver(), sizeof(TimerExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    auto *ext = static_cast<TimerExtension *>(device->DeviceExtension);
    KeInitializeTimer(&ext->timer);
    KeSetTimer(&ext->timer, sched_test::RelativeMs(50), nullptr);
    IoDeleteDevice(device);
  });
  k.Shutdown();
  EXPECT_EQ(CountFaults(k, Fault::DeviceDeletedWithTimerQueued), 1) << DescribeFaults(k);
  EXPECT_EQ(CountFaults(k, Fault::TimerQueuedInFreedMemory), 0) << DescribeFaults(k);
}

TEST(IoVerifier, DeviceDeletedWithDpcQueued) {
  sim::Kernel k(Options());
  k.Run([] {
    PDEVICE_OBJECT device;
    ASSERT_EQ(IoCreateDevice(MakeDriver(), sizeof(TimerExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    auto *ext = static_cast<TimerExtension *>(device->DeviceExtension);
    KeInitializeDpc(&ext->dpc, NothingDpc, nullptr);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeInsertQueueDpc(&ext->dpc, nullptr, nullptr);
    IoDeleteDevice(device);
    KeLowerIrql(old);
  });
  k.Shutdown();
  EXPECT_EQ(CountFaults(k, Fault::DeviceDeletedWithDpcQueued), 1) << DescribeFaults(k);
}

struct WorkGate {
  KEVENT started, release;
};

VOID NTAPI GatedWork(PDEVICE_OBJECT, PVOID context) {
  auto *g = static_cast<WorkGate *>(context);
  KeSetEvent(&g->started, IO_NO_INCREMENT, FALSE);
  KeWaitForSingleObject(&g->release, Executive, KernelMode, FALSE, nullptr);
}

// What the routine of a deleted device's item still reads of it.
struct DeviceTag {
  ULONG value;
};

VOID NTAPI ReadOwnDevice(PDEVICE_OBJECT device, PVOID context) {
  *static_cast<ULONG *>(context) = static_cast<DeviceTag *>(device->DeviceExtension)->value;
}

// The queued or running item holds a reference on the device object: the
// device may be deleted meanwhile, and its memory lasts until the routine
// has returned.
TEST(IoVerifier, DeviceDeletedWithWorkItemQueuedOrRunningIsLegal) {
  for (bool running : {true, false}) {
    SCOPED_TRACE(running ? "the item's routine runs" : "the item waits behind another");
    RunExpectingNoFaults([&] {
      PDEVICE_OBJECT device, other;
      ASSERT_EQ(IoCreateDevice(MakeDriver(), sizeof(DeviceTag), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
                STATUS_SUCCESS);
      ASSERT_EQ(IoCreateDevice(MakeDriver(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &other), STATUS_SUCCESS);
      static_cast<DeviceTag *>(device->DeviceExtension)->value = 0x5eed;
      WorkGate g;
      KeInitializeEvent(&g.started, NotificationEvent, FALSE);
      KeInitializeEvent(&g.release, NotificationEvent, FALSE);
      // The one worker of the queue is held in a routine: in the first case
      // the device's own, in the second one of another device's.
      PIO_WORKITEM gate = IoAllocateWorkItem(running ? device : other);
      PIO_WORKITEM reader = IoAllocateWorkItem(device);
      ULONG seen = 0;
      IoQueueWorkItem(gate, GatedWork, DelayedWorkQueue, &g);
      KeWaitForSingleObject(&g.started, Executive, KernelMode, FALSE, nullptr);
      if (!running) IoQueueWorkItem(reader, ReadOwnDevice, DelayedWorkQueue, &seen);
      IoDeleteDevice(device);
      KeSetEvent(&g.release, IO_NO_INCREMENT, FALSE);
      DelayMs(10);
      if (!running) {
        EXPECT_EQ(seen, 0x5eedu);
      }
      IoFreeWorkItem(gate);
      IoFreeWorkItem(reader);
      IoDeleteDevice(other);
    });
  }
}

TEST(IoVerifier, DeviceDeletedTwice) {
  sim::Kernel k(Options());
  k.Run([] {
    PDEVICE_OBJECT device;
    ASSERT_EQ(IoCreateDevice(MakeDriver(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    IoDeleteDevice(device);
    IoDeleteDevice(device);
  });
  k.Shutdown();
  EXPECT_EQ(CountFaults(k, Fault::InvalidParameter), 1) << DescribeFaults(k);
}

}  // namespace
