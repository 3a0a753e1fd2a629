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

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) { *Irql = KfAcquireSpinLock(&CancelLock()); }

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) { KfReleaseSpinLock(&CancelLock(), Irql); }

PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
  return (PDRIVER_CANCEL)InterlockedExchangePointer((PVOID volatile *)&Irp->CancelRoutine, (PVOID)CancelRoutine);
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
  MaybeSchedule();
  // Above DISPATCH_LEVEL the cancel spin lock cannot even be taken.
  if (!CheckIrqlAtMost(DISPATCH_LEVEL, "IoCancelIrp")) return FALSE;
  auto rec = FindIrp(Irp);
  if (!rec) {
    ReportFault(Fault::InvalidParameter, "IoCancelIrp", "IRP " + Hex((uintptr_t)Irp) + " is not a live IRP");
    return FALSE;
  }
  if (TraceEnabled()) Trace("IRP #" + std::to_string(rec->serial) + " cancel");
  // The routine gets the cancel spin lock and must give it back.
  internal::RoutineEntry entry = internal::EnterDriverRoutine();
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
  PDEVICE_OBJECT device = Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
  CallDriverRoutine(routine, device, Irp);
  internal::CheckDriverRoutineReturn(entry, "cancel routine",
                                     "cancel routine of IRP #" + std::to_string(rec->serial) + " " +
                                         MajorName(rec->majorFunction) + " at " + DeviceName(device));
  SchedulePointAfterEffect();
  return TRUE;
}
