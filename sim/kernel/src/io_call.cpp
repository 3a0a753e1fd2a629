// IofCallDriver: hands an IRP to the next driver and judges the pending
// rules of what the dispatch routine returned.
#include "io_private.h"

namespace sim {
namespace io {
namespace {

void CheckPending(const CallFrame &f) {
  if (f.status == STATUS_PENDING && !f.markedAtWalk)
    ReportFault(Fault::PendingNotMarked, "IofCallDriver",
                f.what + " returned STATUS_PENDING but its stack location was not marked with IoMarkIrpPending");
  // Marked (by the routine, or by completion passing a lower driver's pending
  // up to a routine-less location) yet a final status returned: the I/O
  // manager completes the request twice.
  if (f.status != STATUS_PENDING && f.markedAtWalk)
    ReportFault(Fault::MarkedNotPending, "IofCallDriver",
                f.what + " was marked pending but returned " + Hex((uint32_t)f.status) + " instead of STATUS_PENDING");
}

// A final status tells the caller the request is over: the routine must have
// completed the IRP or handed it to a lower driver that still has it. An IRP
// still at the routine's own stack location, with no lower driver sharing it
// (after a skip), was kept: never passed on, or taken back by a completion
// routine that halted completion and then not completed.
void CheckNotHeld(IrpRecord &rec, PIRP irp, const CallFrame &f, const char *routine) {
  if (irp->CurrentLocation != f.location || rec.heldReportedAt > f.seq) return;
  for (const auto &other : rec.frames)
    if (other->seq > f.seq && other->location <= f.location && !other->walked) return;
  rec.heldReportedAt = f.seq;
  ReportFault(Fault::FinalStatusForHeldIrp, routine,
              f.what + " returned " + Hex((uint32_t)f.status) +
                  " but neither completed the IRP nor passed it on: its caller takes the request as done "
                  "while the driver still holds the IRP");
}

// What the sender of an IRP must have settled before it goes down (the IRP
// is at the receiver's stack location already).
void CheckSender(const IrpRecord &rec, PIRP irp, const std::string &what, const char *routine) {
  // The driver below would own an IRP that IoCancelIrp can complete under it.
  if (irp->CancelRoutine)
    ReportFault(Fault::IrpSentWithCancelRoutine, routine,
                what + ": sent with its cancel routine still set (IoSetCancelRoutine(Irp, NULL) first)");
  // A driver that does not handle a PnP or power IRP passes it on with its
  // status untouched, so the sender starts it as STATUS_NOT_SUPPORTED.
  UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
  bool pnpOrPower = major == IRP_MJ_PNP || major == IRP_MJ_POWER;
  if (pnpOrPower && rec.calls == 0 && rec.origin != IrpOrigin::User && irp->IoStatus.Status != STATUS_NOT_SUPPORTED)
    ReportFault(Fault::PnpPowerIrpStatusNotSet, routine,
                what + ": sent with IoStatus.Status " + Hex((uint32_t)irp->IoStatus.Status) +
                    "; the sender must set it to STATUS_NOT_SUPPORTED");
}

}  // namespace

void NotePendedByPowerManager(PIRP irp) {
  if (auto rec = FindIrp(irp)) rec->pendedByPowerManager.emplace_back(irp->CurrentLocation - 1, rec->calls);
}

bool PendedByPowerManager(const IrpRecord &rec, int location, uint64_t seq) {
  for (const auto &p : rec.pendedByPowerManager)
    if (p.first == location && seq <= p.second) return true;
  return false;
}

// Completion passes stack location `location`: settle the calls made at it.
void NoteLocationWalked(IrpRecord &rec, PIRP irp, int location) {
  bool flagged = (StackLocation(irp, location)->Control & SL_PENDING_RETURNED) != 0;
  internal::PowerIrpLocationDone(irp, location);
  for (auto it = rec.frames.begin(); it != rec.frames.end();) {
    CallFrame &f = **it;
    if (f.location != location || f.walked) {
      ++it;
      continue;
    }
    f.walked = true;
    f.markedAtWalk = flagged || PendedByPowerManager(rec, location, f.seq);
    if (f.returned) {
      CheckPending(f);
      it = rec.frames.erase(it);
    } else {
      ++it;
    }
  }
}

NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, bool fromPowerManager) {
  MaybeSchedule();
  const char *routine = fromPowerManager ? "PoCallDriver" : "IofCallDriver";
  CheckIrqlAtMost(DISPATCH_LEVEL, routine);
  auto rec = FindIrp(irp);
  if (!rec) {
    ReportFault(Fault::InvalidParameter, routine, "IRP " + Hex((uintptr_t)irp) + " is not a live IRP");
    return STATUS_INVALID_PARAMETER;
  }
  if (!FindDevice(device)) {
    ReportFault(Fault::InvalidParameter, routine, "device " + Hex((uintptr_t)device) + " is not a live device object");
    return STATUS_NO_SUCH_DEVICE;
  }
  if (irp->CurrentLocation <= 1) {
    ReportFault(Fault::InvalidParameter, routine,
                "IRP #" + std::to_string(rec->serial) + " has no stack location left for " + DeviceName(device) +
                    " (StackSize too small)");
    return STATUS_INVALID_PARAMETER;
  }
  irp->CurrentLocation--;
  PIO_STACK_LOCATION sp = --irp->Tail.Overlay.CurrentStackLocation;
  sp->DeviceObject = device;
  rec->majorFunction = sp->MajorFunction;

  std::string what = "IRP #" + std::to_string(rec->serial) + " " + MajorName(sp->MajorFunction) + "/" +
                     Hex(sp->MinorFunction).substr(8) + " -> " + DeviceName(device);
  if (sp->MajorFunction == IRP_MJ_POWER && !fromPowerManager)
    ReportFault(Fault::PowerIrpSentWithIoCallDriver, routine, what + ": power IRPs go through PoCallDriver");
  CheckSender(*rec, irp, what, routine);
  if (TraceEnabled()) Trace(what);

  auto frame = std::make_shared<CallFrame>();
  frame->location = irp->CurrentLocation;
  frame->seq = ++rec->calls;
  frame->what = "dispatch of " + what;
  rec->frames.push_back(frame);

  PDRIVER_DISPATCH dispatch = device->DriverObject->MajorFunction[sp->MajorFunction];
  internal::RoutineEntry entry = internal::EnterDriverRoutine();
  NTSTATUS status = CallDriverRoutine(dispatch, device, irp);
  internal::CheckDriverRoutineReturn(entry, "dispatch routine", frame->what);

  frame->returned = true;
  frame->status = status;
  if (frame->walked) {
    CheckPending(*frame);
  } else if (!rec->freed) {
    bool marked = (StackLocation(irp, frame->location)->Control & SL_PENDING_RETURNED) != 0;
    if (status != STATUS_PENDING && marked)
      ReportFault(Fault::MarkedNotPending, routine,
                  frame->what + " marked the IRP pending but returned " + Hex((uint32_t)status) +
                      " while the IRP is not completed");
    else if (status != STATUS_PENDING)
      CheckNotHeld(*rec, irp, *frame, routine);
    if (status != STATUS_PENDING) {
      for (auto it = rec->frames.begin(); it != rec->frames.end(); ++it)
        if (*it == frame) {
          rec->frames.erase(it);
          break;
        }
    }
  }
  return status;
}

}  // namespace io

namespace internal {
NTSTATUS CallDriverFromPowerManager(PDEVICE_OBJECT device, PIRP irp) {
  RaceRelease(irp);
  return io::CallDriver(device, irp, true);
}
}  // namespace internal

}  // namespace sim

// The lower driver may have completed the IRP on another processor: its
// completion may run before the caller's next step.
NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  sim::RaceRelease(Irp);
  NTSTATUS status = sim::io::CallDriver(DeviceObject, Irp, false);
  sim::SchedulePointAfterEffect();
  return status;
}
