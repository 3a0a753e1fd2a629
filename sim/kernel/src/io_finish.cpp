// The I/O manager's completion of the IRPs it built: buffered output copied
// back, buffers and the IRP freed, status block written and event set. For an
// IRP a driver built this runs as a kernel APC in the thread that issued it.
#include <algorithm>

#include "io_private.h"

namespace sim {
namespace io {
namespace {

bool IsError(NTSTATUS s) { return ((ULONG)s >> 30) == 3; }

void CopyBack(PIRP irp, const IrpRecord &rec) {
  if (!(irp->Flags & IRP_INPUT_OPERATION) || IsError(irp->IoStatus.Status) || !irp->UserBuffer) return;
  ULONG_PTR n = irp->IoStatus.Information;
  if (n > rec.outputLength) {
    ReportFault(Fault::InvalidParameter, "IofCompleteRequest",
                "IRP #" + std::to_string(rec.serial) + " " + MajorName(rec.majorFunction) + " Information " +
                    std::to_string(n) + " exceeds the output buffer of " + std::to_string(rec.outputLength) + " bytes");
    n = rec.outputLength;
  }
  if (n) memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, n);
}

void FreeMdls(PIRP irp) {
  PMDL mdl = irp->MdlAddress;
  irp->MdlAddress = nullptr;
  while (mdl) {
    PMDL next = mdl->Next;
    if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl);
    IoFreeMdl(mdl);
    mdl = next;
  }
}

// The final part: output copied back, buffers and the IRP freed, then the
// status block and the event, last and together. `toCaller` false for an IRP
// whose issuer has gone: nothing of the caller's is written.
void Finish(PIRP irp, const std::shared_ptr<IrpRecord> &rec, bool toCaller) {
  bool abandoned = (rec->user && rec->user->abandoned) || !toCaller;
  if (irp->Flags & IRP_BUFFERED_IO) {
    if (!abandoned) CopyBack(irp, *rec);
    if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer)
      PoolFree(irp->AssociatedIrp.SystemBuffer, "IofCompleteRequest");
  }
  FreeMdls(irp);
  IO_STATUS_BLOCK status = irp->IoStatus;
  PIO_STATUS_BLOCK iosb = abandoned ? nullptr : irp->UserIosb;
  PKEVENT event = toCaller ? irp->UserEvent : nullptr;
  std::shared_ptr<UserRequest> keep = rec->user;  // the event may live in it
  FileRecord *file = rec->file;
  ForgetIrp(irp);
  PoolFree(irp, "IofCompleteRequest");
  if (file) ReleaseFile(file);
  // Windows writes the status block and sets the event in one completion
  // APC: a thread that sees the status must see the event set, or it may
  // arm the same OVERLAPPED again and have the old completion signal the
  // new request. Nothing here may let another thread in between.
  if (iosb) *iosb = status;
  if (keep && keep->callerIosb && !abandoned) *keep->callerIosb = status;
  // The waiter of a synchronous request waits on `event` and may free its
  // own event as soon as it wakes: signal that one first.
  if (keep && keep->callerEvent) internal::SetEventAtOnce(keep->callerEvent);
  if (event) internal::SetEventAtOnce(event);
}

// The kernel APC that finishes a built IRP in the thread that issued it.
void FinishInIssuer(void *context) {
  PIRP irp = static_cast<PIRP>(context);
  auto rec = FindIrp(irp);
  if (!rec) return;
  internal::RemoveThreadIrp(irp);
  Finish(irp, rec, true);
}

// A request of the application's whose thread was at APC_LEVEL when it
// completed, finished once the thread comes down from there.
void FinishUserInIssuer(void *context) {
  PIRP irp = static_cast<PIRP>(context);
  auto rec = FindIrp(irp);
  if (rec) Finish(irp, rec, true);
}

}  // namespace

void FinishIrp(PIRP irp, const std::shared_ptr<IrpRecord> &rec) {
  if (rec->origin == IrpOrigin::Driver || rec->origin == IrpOrigin::Initialized) return;
  // Windows frees an application's request in an APC of the thread that made
  // it. While that thread is at APC_LEVEL, cancelling its own requests, none
  // of them may go from under it.
  if (rec->origin == IrpOrigin::User && rec->thread != nullptr && internal::ThreadHoldsOffApcs(rec->thread) &&
      internal::QueueKernelApc(rec->thread, FinishUserInIssuer, irp))
    return;
  if (rec->origin == IrpOrigin::Built) {
    PETHREAD thread = irp->Tail.Overlay.Thread;
    if (thread != nullptr && internal::QueueKernelApc(thread, FinishInIssuer, irp)) return;
    Finish(irp, rec, false);  // its thread has ended
    return;
  }
  Finish(irp, rec, true);
}

}  // namespace io

namespace internal {
void IrpOfEndedThread(PIRP irp, const std::string &thread) {
  auto rec = io::FindIrp(irp);
  if (!rec) return;
  ReportFault(Fault::ThreadEndedWithIrpPending, "thread exit",
              thread + " ended while IRP #" + std::to_string(rec->serial) + " " + io::MajorName(rec->majorFunction) +
                  " it issued was outstanding: its event and status block are gone; wait for the IRP first");
}
}  // namespace internal

}  // namespace sim
