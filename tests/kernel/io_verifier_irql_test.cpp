// IRQL at the I/O manager's edges: the routines that may not be called above
// DISPATCH_LEVEL, and driver routines that return at another IRQL than they
// were called at, or holding a spin lock.
#include "kernel/io_test_util.h"

using namespace io_test;
using sim::Fault;

namespace {

VOID NTAPI CancelAndComplete(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  CompleteWith(irp, STATUS_CANCELLED);
}

// Each routine is called at `irql`: DISPATCH_LEVEL is the highest it allows.
struct AboveDispatchCase {
  const char *routine;
  std::function<void(KIRQL irql)> body;
};

void RaiseFor(KIRQL irql, const std::function<void()> &call) {
  KIRQL old;
  KeRaiseIrql(irql, &old);
  call();
  KeLowerIrql(old);
}

TEST(IoVerifierIrql, CallCompleteAndCancelAboveDispatchLevel) {
  const AboveDispatchCase cases[] = {
      {"IofCallDriver",
       [](KIRQL irql) {
         PIRP held = nullptr;
         Dispatch d = [&](PDEVICE_OBJECT, PIRP irp) {
           IoMarkIrpPending(irp);
           held = irp;
           return STATUS_PENDING;
         };
         PDEVICE_OBJECT device = MakeDevice(MakeDriver(), &d);
         PIRP irp;
         RaiseFor(irql, [&] { SendOne(device, &irp); });
         CompleteWith(held, STATUS_SUCCESS);
         IoFreeIrp(irp);
       }},
      {"IofCompleteRequest",
       [](KIRQL irql) {
         Dispatch d = [&](PDEVICE_OBJECT, PIRP irp) {
           irp->IoStatus.Status = STATUS_SUCCESS;
           RaiseFor(irql, [&] { IoCompleteRequest(irp, IO_NO_INCREMENT); });
           return STATUS_SUCCESS;
         };
         PDEVICE_OBJECT device = MakeDevice(MakeDriver(), &d);
         PIRP irp;
         SendOne(device, &irp);
         IoFreeIrp(irp);
       }},
      {"IoCancelIrp",
       [](KIRQL irql) {
         Dispatch d = [](PDEVICE_OBJECT, PIRP irp) {
           IoMarkIrpPending(irp);
           IoSetCancelRoutine(irp, CancelAndComplete);
           return STATUS_PENDING;
         };
         PDEVICE_OBJECT device = MakeDevice(MakeDriver(), &d);
         PIRP irp;
         SendOne(device, &irp);
         BOOLEAN cancelled = FALSE;
         RaiseFor(irql, [&] { cancelled = IoCancelIrp(irp); });
         if (!cancelled) IoCancelIrp(irp);  // the refused call left it pending
         IoFreeIrp(irp);
       }},
  };
  for (const AboveDispatchCase &c : cases) {
    for (KIRQL irql : {(KIRQL)DISPATCH_LEVEL, (KIRQL)HIGH_LEVEL}) {
      SCOPED_TRACE(std::string(c.routine) + " at IRQL " + std::to_string(irql));
      sim::Kernel k(Options());
      k.Run([&] { c.body(irql); });
      k.Shutdown();
      int expected = irql > DISPATCH_LEVEL ? 1 : 0;
      ASSERT_EQ(CountFaults(k, Fault::IrqlTooHigh), expected) << DescribeFaults(k);
      if (expected) {
        EXPECT_EQ(k.Faults()[0].routine, c.routine) << DescribeFaults(k);
      }
    }
  }
}

// ---- driver routines that do not give back the IRQL or the locks they got
KSPIN_LOCK g_lock;

KIRQL TakeLock() {
  KIRQL old;
  KeAcquireSpinLock(&g_lock, &old);
  return old;
}

// The classic slip: the cancel spin lock released to DISPATCH_LEVEL instead
// of the IRQL IoCancelIrp saved in the IRP.
VOID NTAPI CancelReleasingToDispatch(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(DISPATCH_LEVEL);
  CompleteWith(irp, STATUS_CANCELLED);
}

// Returns with the lock and leaves the IRP to whoever completes it next.
VOID NTAPI CancelKeepingTheCancelLock(PDEVICE_OBJECT, PIRP) {}

NTSTATUS NTAPI CompletionReturningRaised(PDEVICE_OBJECT, PIRP irp, PVOID) {
  KfRaiseIrql(DISPATCH_LEVEL);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI CompletionKeepingALock(PDEVICE_OBJECT, PIRP irp, PVOID) {
  KeAcquireSpinLockAtDpcLevel(&g_lock);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// A device whose dispatch pends every IRP with a cancel routine.
NTSTATUS PendCancelable(PIRP irp, PDRIVER_CANCEL cancel) {
  IoMarkIrpPending(irp);
  IoSetCancelRoutine(irp, cancel);
  return STATUS_PENDING;
}

// Sends one IRP whose originator's completion routine is `completion`.
void SendWithCompletion(PDEVICE_OBJECT device, PIO_COMPLETION_ROUTINE completion) {
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  IoSetCompletionRoutine(irp, completion, nullptr, TRUE, TRUE, TRUE);
  IoCallDriver(device, irp);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "the kernel puts the IRQL back after the fault";
  IoFreeIrp(irp);
}

struct ReturnCase {
  const char *name;
  const char *kind;  // the routine the fault names
  const char *says;
  std::function<void()> body;
};

TEST(IoVerifierIrql, DriverRoutinesReturnAtTheirCallersIrqlWithoutItsLocks) {
  const ReturnCase cases[] = {
      {"dispatch returns raised", "dispatch routine", "returned at IRQL 2, called at 0",
       [] {
         Dispatch d = [](PDEVICE_OBJECT, PIRP irp) {
           KfRaiseIrql(DISPATCH_LEVEL);
           return CompleteWith(irp, STATUS_SUCCESS);
         };
         SendWithCompletion(MakeDevice(MakeDriver(), &d), KeepIrp);
       }},
      {"dispatch called at DISPATCH_LEVEL returns holding a lock", "dispatch routine", "returned holding spin lock",
       [] {
         Dispatch d = [](PDEVICE_OBJECT, PIRP irp) {
           NTSTATUS status = CompleteWith(irp, STATUS_SUCCESS);
           KeAcquireSpinLockAtDpcLevel(&g_lock);
           return status;
         };
         PDEVICE_OBJECT device = MakeDevice(MakeDriver(), &d);
         PIRP irp;
         RaiseFor(DISPATCH_LEVEL, [&] { SendOne(device, &irp); });
         IoFreeIrp(irp);
         // Taken back: the lock is free for the next taker.
         KeReleaseSpinLock(&g_lock, TakeLock());
       }},
      {"completion returns raised", "completion routine", "returned at IRQL 2, called at 0",
       [] {
         Dispatch d = [](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); };
         SendWithCompletion(MakeDevice(MakeDriver(), &d), CompletionReturningRaised);
       }},
      {"completion at DISPATCH_LEVEL returns holding a lock", "completion routine", "returned holding spin lock",
       [] {
         Dispatch d = [](PDEVICE_OBJECT, PIRP irp) {
           KIRQL old;
           KeRaiseIrql(DISPATCH_LEVEL, &old);
           CompleteWith(irp, STATUS_SUCCESS);
           KeLowerIrql(old);
           return STATUS_SUCCESS;
         };
         SendWithCompletion(MakeDevice(MakeDriver(), &d), CompletionKeepingALock);
         KeReleaseSpinLock(&g_lock, TakeLock());
       }},
      {"cancel releases the cancel lock to DISPATCH_LEVEL", "cancel routine", "returned at IRQL 2, called at 0",
       [] {
         Dispatch d = [](PDEVICE_OBJECT, PIRP irp) { return PendCancelable(irp, CancelReleasingToDispatch); };
         PIRP irp;
         SendOne(MakeDevice(MakeDriver(), &d), &irp);
         EXPECT_TRUE(IoCancelIrp(irp));
         EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
         IoFreeIrp(irp);
       }},
      {"cancel keeps the cancel lock", "cancel routine", "returned at IRQL 2, called at 0, holding spin lock",
       [] {
         Dispatch d = [](PDEVICE_OBJECT, PIRP irp) { return PendCancelable(irp, CancelKeepingTheCancelLock); };
         PIRP irp;
         SendOne(MakeDevice(MakeDriver(), &d), &irp);
         EXPECT_TRUE(IoCancelIrp(irp));
         // Taken back: other cancellations and completions can go on.
         CompleteWith(irp, STATUS_CANCELLED);
         IoFreeIrp(irp);
       }},
  };
  for (const ReturnCase &c : cases) {
    SCOPED_TRACE(c.name);
    sim::Kernel k(Options());
    k.Run([&] {
      KeInitializeSpinLock(&g_lock);
      c.body();
    });
    k.Shutdown();
    ASSERT_EQ(CountFaults(k, Fault::IrqlNotRestored), 1) << DescribeFaults(k);
    EXPECT_EQ(k.Faults()[0].routine, c.kind) << DescribeFaults(k);
    EXPECT_TRUE(AnyFaultMentions(k, Fault::IrqlNotRestored, c.says)) << DescribeFaults(k);
  }
}

// A routine called at DISPATCH_LEVEL that returns there, and a cancel routine
// that hands the lock back at the saved IRQL, are what Windows expects.
TEST(IoVerifierIrql, RoutinesThatRestoreTheirIrqlPass) {
  RunExpectingNoFaults([] {
    KeInitializeSpinLock(&g_lock);
    Dispatch d = [](PDEVICE_OBJECT, PIRP irp) { return PendCancelable(irp, CancelAndComplete); };
    PDEVICE_OBJECT device = MakeDevice(MakeDriver(), &d);
    PIRP irp;
    SendOne(device, &irp);
    KIRQL old = TakeLock();
    EXPECT_TRUE(IoCancelIrp(irp));  // at DISPATCH_LEVEL, holding a lock of the caller's
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&g_lock, old);
    IoFreeIrp(irp);
  });
}

}  // namespace
