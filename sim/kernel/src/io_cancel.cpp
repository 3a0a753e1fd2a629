// Cancellation: the cancel spin lock, IoSetCancelRoutine as an interlocked
// exchange, and IoCancelIrp calling the routine with the lock held.
#include "io_private.h"

namespace sim {
namespace io {

KSPIN_LOCK &CancelLock() {
  static KSPIN_LOCK *lock = new KSPIN_LOCK(0);
  return *lock;
}

}  // namespace io
}  // namespace sim

using namespace sim;
using namespace sim::io;

VOID IoAcquireCancelSpinLock(PKIRQL Irql) { *Irql = KfAcquireSpinLock(&CancelLock()); }

VOID IoReleaseCancelSpinLock(KIRQL Irql) { KfReleaseSpinLock(&CancelLock(), Irql); }

PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
  return (PDRIVER_CANCEL)InterlockedExchangePointer((PVOID volatile *)&Irp->CancelRoutine, (PVOID)CancelRoutine);
}

BOOLEAN IoCancelIrp(PIRP Irp) {
  MaybeSchedule();
  auto rec = FindIrp(Irp);
  if (!rec) {
    ReportFault(Fault::InvalidParameter, "IoCancelIrp", "IRP " + Hex((uintptr_t)Irp) + " is not a live IRP");
    return FALSE;
  }
  if (TraceEnabled()) Trace("IRP #" + std::to_string(rec->serial) + " cancel");
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (!routine) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  if (Irp->CurrentLocation > Irp->StackCount + 1) {
    ReportFault(Fault::IrpCompletedWithCancelRoutine, "IoCancelIrp",
                "IRP #" + std::to_string(rec->serial) + " is completed but still has a cancel routine");
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  routine(Irp->Tail.Overlay.CurrentStackLocation->DeviceObject, Irp);
  SchedulePointAfterEffect();
  return TRUE;
}
