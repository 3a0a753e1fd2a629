// Wait-wake at the PDO: held until the device signals a remote wake, the IRP
// is cancelled or the device goes away.
#include "sim/kernel/sim.h"
#include "sim/usb/device_impl.h"

namespace sim {
namespace usb {

static VOID NTAPI WaitWakeCancelRoutine(PDEVICE_OBJECT pdo, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  ImplOf(pdo)->CancelWaitWake(irp);
}

// The refusals a bus driver gives: no wake at all; a system state deeper than
// SystemWake, or a device already deeper than its DeviceWake; one pending already.
NTSTATUS DeviceImpl::WaitWakeRefusal(const IO_STACK_LOCATION *stack) const {
  DEVICE_CAPABILITIES caps = {};
  FillCapabilities(&caps);
  if (caps.DeviceWake == PowerDeviceUnspecified || caps.SystemWake == PowerSystemUnspecified) return STATUS_NOT_SUPPORTED;
  if (stack->Parameters.WaitWake.PowerState > caps.SystemWake || powerState_ > caps.DeviceWake)
    return STATUS_INVALID_DEVICE_STATE;
  if (waitWake_ != nullptr) return STATUS_DEVICE_BUSY;
  if (removed_ || surpriseRemoved_) return STATUS_NO_SUCH_DEVICE;
  return STATUS_SUCCESS;
}

NTSTATUS DeviceImpl::WaitWake(PIRP irp) {
  KIRQL old = Lock();
  NTSTATUS refused = WaitWakeRefusal(IoGetCurrentIrpStackLocation(irp));
  if (refused != STATUS_SUCCESS) {
    Unlock(old);
    TraceLine("power wait-wake refused status=" + Hex(refused));
    return CompleteWith(irp, refused);
  }
  IoMarkIrpPending(irp);
  IoSetCancelRoutine(irp, WaitWakeCancelRoutine);
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    Unlock(old);
    CompleteWith(irp, STATUS_CANCELLED);
    return STATUS_PENDING;
  }
  waitWake_ = irp;
  Unlock(old);
  TraceLine("power wait-wake pending");
  return STATUS_PENDING;
}

void DeviceImpl::CancelWaitWake(PIRP irp) {
  KIRQL old = Lock();
  if (waitWake_ == irp) waitWake_ = nullptr;
  Unlock(old);
  TraceLine("power wait-wake cancelled");
  CompleteWith(irp, STATUS_CANCELLED);
}

// Under the lock: the pending wait-wake, now the caller's to complete; NULL
// when there is none or its cancel routine has it already.
PIRP DeviceImpl::TakeWaitWake() {
  PIRP irp = waitWake_;
  if (irp == nullptr || IoSetCancelRoutine(irp, nullptr) == nullptr) return nullptr;
  waitWake_ = nullptr;
  return irp;
}

// Under the lock: a suspended device armed for wake, in a state it can wake from.
bool DeviceImpl::CanSignalWake() const {
  DEVICE_CAPABILITIES caps = {};
  FillCapabilities(&caps);
  return waitWake_ != nullptr && powerState_ > PowerDeviceD0 && powerState_ <= caps.DeviceWake;
}

bool Device::SignalWake() {
  PIRP irp = nullptr;
  impl_->Locked([&] {
    if (impl_->CanSignalWake()) irp = impl_->TakeWaitWake();
  });
  if (irp == nullptr) return false;
  impl_->TraceLine("power wait-wake signalled");
  // The hub sees the resume on its port and completes the IRP from its DPC.
  impl_->Defer(irp, DeferredAnswer::Action::WaitWake, STATUS_SUCCESS, 1000 + DeviceRandom(9001));
  return true;
}

}  // namespace usb
}  // namespace sim
