// A device pulled from its port. The host controller sees it first: what is
// on the wire dies with transaction errors, what comes later is refused. The
// hub notices on its next status-change poll, tens to hundreds of
// milliseconds later, and only then does the Plug and Play manager hear of it.
#include "sim/kernel/sim.h"
#include "sim/usb/device_impl.h"

namespace sim {
namespace usb {

namespace {

GoneReporter g_reporter = nullptr;

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// What the Plug and Play manager does when the hub's relations lose a device.
void SendSurpriseRemoval(PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  if (irp != nullptr) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = IRP_MN_SURPRISE_REMOVAL;
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    IofCallDriver(top, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    IoFreeIrp(irp);
  }
  ObDereferenceObject(top);
}

VOID NTAPI GoneWorkRoutine(PDEVICE_OBJECT pdo, PVOID context) {
  DeviceImpl *impl = static_cast<DeviceImpl *>(context);
  KIRQL old = impl->Lock();
  PIO_WORKITEM item = impl->goneWork_;
  impl->goneWork_ = nullptr;
  impl->goneNoticeDue_ = false;
  impl->Unlock(old);
  impl->TraceLine("hub reports the device gone");
  if (g_reporter != nullptr) {
    g_reporter(impl->owner_);
  } else {
    SendSurpriseRemoval(pdo);
  }
  IoFreeWorkItem(item);
}

}  // namespace

void SetGoneReporter(GoneReporter reporter) { g_reporter = reporter; }

void DeviceImpl::UnplugLocked() {
  if (unplugged_) return;
  unplugged_ = true;
  TraceLine("unplugged");
  uint64_t frameEnd = (Now100ns() / kFrame100ns + 1) * kFrame100ns;
  for (Request &r : pending_) {
    if (r.cancelling || r.phase == Request::Phase::Cancelled) continue;
    if (pendOnUnplug_) {
      r.phase = Request::Phase::NoAnswer;
      r.staged.clear();
      continue;
    }
    r.failed = true;
    r.failure = kTransactionError;
    r.ends = true;
    r.staged.clear();
    r.due = frameEnd;
    r.phase = r.pipe != nullptr ? Request::Phase::OnTheWire : Request::Phase::Control;
  }
  if (!removed_ && !detached_) {
    goneNoticeDue_ = true;
    uint64_t delayMs = 10 + DeviceRandom(291);
    RequestInterrupt(Now100ns() + delayMs * kFrame100ns, &goneDpc_, nullptr, nullptr);
  }
  Arm();
}

// The hub's status-change DPC: the report itself runs at PASSIVE_LEVEL.
void DeviceImpl::ReportGone() {
  KIRQL old = Lock();
  bool report = goneNoticeDue_ && !detached_ && goneWork_ == nullptr;
  if (report) goneWork_ = IoAllocateWorkItem(pdo_);
  PIO_WORKITEM item = report ? goneWork_ : nullptr;
  Unlock(old);
  if (item != nullptr) IoQueueWorkItem(item, GoneWorkRoutine, DelayedWorkQueue, this);
}

}  // namespace usb
}  // namespace sim
