#include "support/scripted_lower.h"

#include <algorithm>

#include <usbioctl.h>

#include "sim/kernel/internal.h"
#include "sim/kernel/sim.h"

namespace testing_support {

struct ScriptedLower::Entry {
  ScriptedLower *owner = nullptr;
  PIRP irp = nullptr;  // valid until answered
  PURB urb = nullptr;
  UrbSeen seen;
  UrbReply reply;
  bool cancelable = false;
  bool cancelOwnsIrp = false;  // the cancel routine took it; the DPC answers STATUS_CANCELLED
  bool claimed = false;        // someone is answering it; under the owner's lock
  KTIMER timer;
  KDPC dpc;
};

namespace {

ScriptedLower *OwnerOf(PDEVICE_OBJECT dev) { return *static_cast<ScriptedLower **>(dev->DeviceExtension); }

ScriptedLower::Entry *EntryOf(PIRP irp) {
  return static_cast<ScriptedLower::Entry *>(irp->Tail.Overlay.DriverContext[0]);
}

void RecordUrb(PURB urb, UrbSeen *s) {
  s->function = urb->UrbHeader.Function;
  s->length = urb->UrbHeader.Length;
  switch (s->function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      s->pipe = urb->UrbBulkOrInterruptTransfer.PipeHandle;
      s->transferFlags = urb->UrbBulkOrInterruptTransfer.TransferFlags;
      s->transferLength = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
      s->transferBuffer = urb->UrbBulkOrInterruptTransfer.TransferBuffer;
      break;
    case URB_FUNCTION_VENDOR_DEVICE:
      s->transferFlags = urb->UrbControlVendorClassRequest.TransferFlags;
      s->transferLength = urb->UrbControlVendorClassRequest.TransferBufferLength;
      s->transferBuffer = urb->UrbControlVendorClassRequest.TransferBuffer;
      s->requestTypeBits = urb->UrbControlVendorClassRequest.RequestTypeReservedBits;
      s->request = urb->UrbControlVendorClassRequest.Request;
      s->value = urb->UrbControlVendorClassRequest.Value;
      s->index = urb->UrbControlVendorClassRequest.Index;
      break;
    case URB_FUNCTION_RESET_PIPE:
      s->pipe = urb->UrbPipeRequest.PipeHandle;
      break;
    default:
      break;
  }
}

// Hands the device's bytes to a transfer from the device; returns the count.
ULONG *TransferLengthField(PURB urb) {
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return &urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    case URB_FUNCTION_VENDOR_DEVICE:
      return &urb->UrbControlVendorClassRequest.TransferBufferLength;
    default:
      return nullptr;
  }
}

}  // namespace

ScriptedLower::ScriptedLower() {
  KeInitializeEvent(&changed_, SynchronizationEvent, FALSE);
  KeInitializeSpinLock(&lock_);
  driver_ = sim::internal::CreateDriverObject(L"\\Driver\\scripted_usb");
  driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
  NTSTATUS s = IoCreateDevice(driver_, sizeof(ScriptedLower *), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_);
  if (NT_SUCCESS(s)) {
    *static_cast<ScriptedLower **>(device_->DeviceExtension) = this;
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
  } else {
    device_ = nullptr;
  }
}

ScriptedLower::~ScriptedLower() {
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (!entries_[i]->seen.answered) Answer(i, STATUS_CANCELLED);
  }
  // Cancel-routine-owned answers still on a timer: let them run out.
  LARGE_INTEGER step;
  step.QuadPart = -10 * 10000LL;
  for (int guard = 0; guard < 1000 && PendingCount() != 0; ++guard) KeDelayExecutionThread(KernelMode, FALSE, &step);
  if (device_ != nullptr) IoDeleteDevice(device_);
  sim::internal::UnloadDriver(driver_);
}

const UrbSeen &ScriptedLower::Seen(size_t i) const { return entries_.at(i)->seen; }

size_t ScriptedLower::PendingCount() const {
  return static_cast<size_t>(
      std::count_if(entries_.begin(), entries_.end(), [](const std::unique_ptr<Entry> &e) { return !e->seen.answered; }));
}

NTSTATUS NTAPI ScriptedLower::Dispatch(PDEVICE_OBJECT dev, PIRP irp) { return OwnerOf(dev)->OnUrb(irp); }

NTSTATUS ScriptedLower::OnUrb(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  // Listed only once fully set up, so a test never answers a half-made entry.
  auto owned = std::make_unique<Entry>();
  Entry *e = owned.get();
  e->owner = this;
  e->irp = irp;
  e->urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
  RecordUrb(e->urb, &e->seen);
  e->seen.arrivedMs = sim::NowMs();
  e->reply = policy_ ? policy_(e->seen) : UrbReply::Now(STATUS_SUCCESS);
  KeInitializeTimerEx(&e->timer, NotificationTimer);
  KeInitializeDpc(&e->dpc, TimerDpc, e);

  if (e->reply.kind == UrbReply::Complete) {
    NTSTATUS status = e->reply.status;
    entries_.push_back(std::move(owned));
    Deliver(e, status, e->reply.data, false);
    return status;
  }

  irp->Tail.Overlay.DriverContext[0] = e;
  IoMarkIrpPending(irp);
  e->cancelable = e->reply.cancel != UrbReply::NotCancelable;
  if (e->reply.kind == UrbReply::CompleteAfter) {
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(e->reply.delayMs) * 10000;
    KeSetTimer(&e->timer, due, &e->dpc);
  }
  if (e->cancelable) {
    IoSetCancelRoutine(irp, Cancel);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
      // Cancelled before the routine was in place: refuse it now.
      KeCancelTimer(&e->timer);
      e->claimed = true;
      entries_.push_back(std::move(owned));
      Deliver(e, STATUS_CANCELLED, {}, false);
      return STATUS_PENDING;
    }
  }
  entries_.push_back(std::move(owned));
  // Only now may a waiting test answer it: the cancel routine is in place.
  KeSetEvent(&changed_, IO_NO_INCREMENT, FALSE);
  return STATUS_PENDING;
}

VOID NTAPI ScriptedLower::Cancel(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  Entry *e = EntryOf(irp);
  ScriptedLower *self = e->owner;
  KIRQL irql;
  KeAcquireSpinLock(&self->lock_, &irql);
  e->seen.cancelRoutineRan = true;
  if (e->reply.cancel == UrbReply::CancelAtOnce) {
    e->claimed = true;
    KeReleaseSpinLock(&self->lock_, irql);
    KeCancelTimer(&e->timer);
    self->Deliver(e, STATUS_CANCELLED, {}, true);
    return;
  }
  // CancelLater: the answer comes from the timer, after the cancel has returned.
  e->cancelOwnsIrp = true;
  KeReleaseSpinLock(&self->lock_, irql);
  LARGE_INTEGER due;
  due.QuadPart = -static_cast<LONGLONG>(e->reply.delayMs) * 10000;
  KeSetTimer(&e->timer, due, &e->dpc);
}

// Takes the entry for an answer other than by the cancel routine. The lock
// keeps the cancel routine from completing (and freeing) the IRP while its
// cancel routine is being taken back.
bool ScriptedLower::Claim(Entry *e) {
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  bool mine = !e->claimed && !e->seen.answered;
  if (mine && !e->cancelOwnsIrp && e->cancelable && IoSetCancelRoutine(e->irp, nullptr) == nullptr) {
    mine = false;  // the cancel routine answers it
  }
  if (mine) e->claimed = true;
  KeReleaseSpinLock(&lock_, irql);
  return mine;
}

VOID NTAPI ScriptedLower::TimerDpc(PKDPC, PVOID ctx, PVOID, PVOID) {
  Entry *e = static_cast<Entry *>(ctx);
  if (!e->owner->Claim(e)) return;
  if (e->cancelOwnsIrp) {
    e->owner->Deliver(e, STATUS_CANCELLED, {}, false);
  } else {
    e->owner->Deliver(e, e->reply.status, e->reply.data, false);
  }
}

bool ScriptedLower::Answer(size_t i, NTSTATUS status, const std::vector<uint8_t> &data) {
  Entry *e = entries_.at(i).get();
  if (e->cancelOwnsIrp || !Claim(e)) return false;
  KeCancelTimer(&e->timer);
  KeRemoveQueueDpc(&e->dpc);
  Deliver(e, status, data, false);
  return true;
}

void ScriptedLower::Deliver(Entry *e, NTSTATUS status, const std::vector<uint8_t> &data, bool inCancel) {
  ULONG *length = TransferLengthField(e->urb);
  if (length != nullptr && (e->seen.transferFlags & USBD_TRANSFER_DIRECTION_IN) && NT_SUCCESS(status)) {
    ULONG n = std::min<ULONG>(*length, static_cast<ULONG>(data.size()));
    if (n != 0) memcpy(e->seen.transferBuffer, data.data(), n);
    *length = n;
  }
  PIRP irp = e->irp;
  e->irp = nullptr;
  e->seen.cancelFlagAtAnswer = irp->Cancel != FALSE;
  e->seen.answeredInCancelRoutine = inCancel;
  e->seen.answeredMs = sim::NowMs();
  e->seen.answer = status;
  e->seen.answered = true;
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  KeSetEvent(&changed_, IO_NO_INCREMENT, FALSE);
  IofCompleteRequest(irp, IO_NO_INCREMENT);
}

bool ScriptedLower::WaitForCount(size_t n, uint64_t timeoutMs) {
  uint64_t end = sim::NowMs() + timeoutMs;
  while (entries_.size() < n) {
    uint64_t now = sim::NowMs();
    if (now >= end) return false;
    LARGE_INTEGER t;
    t.QuadPart = -static_cast<LONGLONG>(end - now) * 10000;
    KeWaitForSingleObject(&changed_, Executive, KernelMode, FALSE, &t);
  }
  return true;
}

bool ScriptedLower::WaitAnswered(size_t i, uint64_t timeoutMs) {
  uint64_t end = sim::NowMs() + timeoutMs;
  while (i >= entries_.size() || !entries_[i]->seen.answered) {
    uint64_t now = sim::NowMs();
    if (now >= end) return false;
    LARGE_INTEGER t;
    t.QuadPart = -static_cast<LONGLONG>(end - now) * 10000;
    KeWaitForSingleObject(&changed_, Executive, KernelMode, FALSE, &t);
  }
  return true;
}

}  // namespace testing_support
