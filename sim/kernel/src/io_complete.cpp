// IofCompleteRequest: completion routines bottom-up, then the I/O manager's
// own completion of the IRPs it built.
#include <algorithm>

#include "io_private.h"

namespace sim {
namespace io {
namespace {

bool Invoke(const IO_STACK_LOCATION *sp, PIRP irp) {
  NTSTATUS s = irp->IoStatus.Status;
  return (NT_SUCCESS(s) && (sp->Control & SL_INVOKE_ON_SUCCESS)) ||
         (!NT_SUCCESS(s) && (sp->Control & SL_INVOKE_ON_ERROR)) || (irp->Cancel && (sp->Control & SL_INVOKE_ON_CANCEL));
}

void ZeroStackLocation(PIO_STACK_LOCATION sp) {
  sp->MinorFunction = 0;
  sp->Flags = 0;
  sp->Control = 0;
  memset(&sp->Parameters.Others, 0, sizeof sp->Parameters.Others);
  sp->FileObject = nullptr;
  sp->CompletionRoutine = nullptr;
  sp->Context = nullptr;
}

bool CheckEntry(PIRP irp, const std::shared_ptr<IrpRecord> &rec) {
  if (!rec) {
    ReportFault(Fault::IrpCompletedTwice, "IofCompleteRequest",
                "IRP " + Hex((uintptr_t)irp) + " is not live: completed (and freed) already, or never allocated");
    return false;
  }
  std::string what = "IRP #" + std::to_string(rec->serial) + " " + MajorName(rec->majorFunction);
  // An IRP of the driver's own has nothing left for the I/O manager once its
  // stack is done: completing it again is completing it twice.
  bool ownDone = rec->origin != IrpOrigin::Built && rec->origin != IrpOrigin::User && rec->completions > 0 &&
                 irp->CurrentLocation == irp->StackCount + 1;
  if (irp->CurrentLocation > irp->StackCount + 1 || ownDone) {
    ReportFault(Fault::IrpCompletedTwice, "IofCompleteRequest", what + " completed a second time");
    return false;
  }
  if (irp->CancelRoutine) {
    ReportFault(Fault::IrpCompletedWithCancelRoutine, "IofCompleteRequest",
                what + " completed with its cancel routine still set");
    irp->CancelRoutine = nullptr;
  }
  // Completing under a lock of the driver's own is legal, if unwise; under
  // the cancel spin lock a completion routine that cancels or starts another
  // IRP takes it again and the CPU spins forever.
  if (internal::InSimulatedThread() && internal::CurrentThreadHolds(&CancelLock()))
    ReportFault(Fault::IrpCompletedUnderSpinLock, "IofCompleteRequest",
                what + " completed while holding the cancel spin lock (IoReleaseCancelSpinLock first)");
  if (irp->IoStatus.Status == STATUS_PENDING)
    ReportFault(Fault::InvalidParameter, "IofCompleteRequest", what + " completed with STATUS_PENDING");
  return true;
}

}  // namespace

void CompleteRequest(PIRP irp) {
  MaybeSchedule();
  CheckIrqlAtMost(DISPATCH_LEVEL, "IofCompleteRequest");
  auto rec = FindIrp(irp);
  if (!CheckEntry(irp, rec)) return;
  rec->completions++;
  if (TraceEnabled())
    Trace("IRP #" + std::to_string(rec->serial) + " completed " + Hex((uint32_t)irp->IoStatus.Status) + " info " +
          std::to_string(irp->IoStatus.Information));

  for (;;) {
    int location = irp->CurrentLocation;
    if (location > irp->StackCount) break;
    PIO_STACK_LOCATION sp = irp->Tail.Overlay.CurrentStackLocation;
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
    NoteLocationWalked(*rec, irp, location);
    irp->PendingReturned =
        ((sp->Control & SL_PENDING_RETURNED) || PendedByPowerManager(*rec, location)) ? TRUE : FALSE;
    if (Invoke(sp, irp) && sp->CompletionRoutine) {
      PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
      PVOID context = sp->Context;
      ZeroStackLocation(sp);
      PDEVICE_OBJECT device =
          irp->CurrentLocation == irp->StackCount + 1 ? nullptr : irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
      // The sender's writes before IofCallDriver are visible to its completion routine, wherever it runs.
      RaceAcquire(irp);
      internal::RoutineEntry entry = internal::EnterDriverRoutine();
      NTSTATUS status = CallDriverRoutine(routine, device, irp, context);
      internal::CheckDriverRoutineReturn(entry, "completion routine",
                                         "completion routine of IRP #" + std::to_string(rec->serial) + " " +
                                             MajorName(rec->majorFunction) + " at " +
                                             (device ? DeviceName(device) : std::string("its originator")));
      if (status == STATUS_MORE_PROCESSING_REQUIRED) return;
      if (rec->freed) {
        ReportFault(Fault::InvalidParameter, "IofCompleteRequest",
                    "IRP #" + std::to_string(rec->serial) +
                        " freed by a completion routine that did not return STATUS_MORE_PROCESSING_REQUIRED");
        return;
      }
    } else {
      if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) IoMarkIrpPending(irp);
      ZeroStackLocation(sp);
    }
  }
  // Past the last stack location: the count moves one beyond, as on Windows,
  // so a second completion is recognised.
  irp->CurrentLocation++;
  irp->Tail.Overlay.CurrentStackLocation++;
  // Windows hands such an IRP to its thread's completion APC; a driver's own
  // IRP has no thread there, and the machine crashes.
  bool ownIrp = rec->origin == IrpOrigin::Driver || rec->origin == IrpOrigin::Initialized;
  if (ownIrp && irp->Tail.Overlay.Thread == nullptr)
    ReportFault(Fault::InvalidParameter, "IofCompleteRequest",
                "IRP #" + std::to_string(rec->serial) + " " + MajorName(rec->majorFunction) +
                    " of the driver's own (IoAllocateIrp/IoInitializeIrp) completed past its last stack location: "
                    "the completion routine there must return STATUS_MORE_PROCESSING_REQUIRED");
  FinishIrp(irp, rec);
}

}  // namespace io
}  // namespace sim

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  sim::RaceRelease(Irp);
  sim::io::CompleteRequest(Irp);
  sim::SchedulePointAfterEffect();
}
