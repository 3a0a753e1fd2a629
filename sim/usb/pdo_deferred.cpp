// Pended Plug and Play and power answers: each completed from a DPC that a
// device interrupt queues at its due time.
#include "sim/kernel/sim.h"
#include "sim/usb/device_impl.h"

namespace sim {
namespace usb {

static VOID NTAPI DeferredDpcRoutine(PKDPC, PVOID context, PVOID, PVOID) {
  auto *answer = static_cast<DeferredAnswer *>(context);
  answer->device->RunDeferred(answer);
}

// The IRP is marked pending already; its answer comes `delay100ns` from now.
NTSTATUS DeviceImpl::Defer(PIRP irp, DeferredAnswer::Action action, NTSTATUS status, uint64_t delay100ns) {
  KIRQL old = Lock();
  DeferredAnswer *slot = nullptr;
  for (DeferredAnswer &a : deferred_) {
    if (a.irp == nullptr) {
      slot = &a;
      break;
    }
  }
  if (slot == nullptr) {
    deferred_.emplace_back();
    slot = &deferred_.back();
  }
  slot->device = this;
  slot->irp = irp;
  slot->action = action;
  slot->status = status;
  KeInitializeDpc(&slot->dpc, DeferredDpcRoutine, slot);
  Unlock(old);
  RequestInterrupt(Now100ns() + delay100ns, &slot->dpc);
  return STATUS_PENDING;
}

void DeviceImpl::RunDeferred(DeferredAnswer *answer) {
  KIRQL old = Lock();
  PIRP irp = answer->irp;
  DeferredAnswer::Action action = answer->action;
  NTSTATUS status = answer->status;
  answer->irp = nullptr;  // the slot may be reused from here on
  bool gone = detached_;
  Unlock(old);
  if (irp == nullptr || gone) return;  // the PDO was deleted under its IRP: the IRP stays lost
  switch (action) {
    case DeferredAnswer::Action::Pnp:
      ApplyPnp(irp, status);
      break;
    case DeferredAnswer::Action::Power:
      ApplyPower(irp, status);
      break;
    case DeferredAnswer::Action::WaitWake:
      irp->IoStatus.Status = status;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      break;
  }
}

// The kernel is going: no interrupt may run a DPC in a device about to be freed.
void DeviceImpl::EndDeferredAnswers() {
  for (DeferredAnswer &a : deferred_) {
    if (a.irp == nullptr) continue;
    CancelInterrupt(&a.dpc);
    KeRemoveQueueDpc(&a.dpc);
  }
}

}  // namespace usb
}  // namespace sim
