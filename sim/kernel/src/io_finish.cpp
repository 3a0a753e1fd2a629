// The I/O manager's completion of the IRPs it built: buffered output copied
// back, status block written, event set, buffers and the IRP freed.
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

}  // namespace

void FinishIrp(PIRP irp, const std::shared_ptr<IrpRecord> &rec) {
  if (rec->origin == IrpOrigin::Driver || rec->origin == IrpOrigin::Initialized) return;
  bool abandoned = rec->user && rec->user->abandoned;
  if (irp->Flags & IRP_BUFFERED_IO) {
    if (!abandoned) CopyBack(irp, *rec);
    if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer)
      PoolFree(irp->AssociatedIrp.SystemBuffer, "IofCompleteRequest");
  }
  FreeMdls(irp);
  IO_STATUS_BLOCK status = irp->IoStatus;
  PIO_STATUS_BLOCK iosb = abandoned ? nullptr : irp->UserIosb;
  PKEVENT event = irp->UserEvent;
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

}  // namespace io
}  // namespace sim
