// The PDO's Plug and Play and power answers, as a bus driver gives them.
#include "sim/kernel/sim.h"
#include "sim/usb/device_impl.h"

namespace sim {
namespace usb {

void DeviceImpl::FillCapabilities(PDEVICE_CAPABILITIES caps) const {
  bool remoteWakeup = config_.configurationDescriptor.size() >= 8 &&
                      (config_.configurationDescriptor[7] & USB_CONFIG_REMOTE_WAKEUP) != 0;
  SYSTEM_POWER_STATE systemWake = remoteWakeup ? PowerSystemSleeping3 : PowerSystemUnspecified;
  DEVICE_POWER_STATE deviceWake = remoteWakeup ? PowerDeviceD2 : PowerDeviceUnspecified;
  if (config_.overrideWake) {
    systemWake = config_.systemWake;
    deviceWake = config_.deviceWake;
  }
  caps->DeviceD1 = 0;
  caps->DeviceD2 = 1;
  caps->LockSupported = 0;
  caps->EjectSupported = 0;
  caps->Removable = config_.removable ? 1 : 0;
  caps->DockDevice = 0;
  caps->UniqueID = 0;
  caps->SilentInstall = 0;
  caps->RawDeviceOK = 0;
  caps->SurpriseRemovalOK = config_.surpriseRemovalOK ? 1 : 0;
  caps->WakeFromD0 = 0;
  caps->WakeFromD1 = 0;
  caps->WakeFromD2 = deviceWake >= PowerDeviceD2 ? 1 : 0;
  caps->WakeFromD3 = deviceWake >= PowerDeviceD3 ? 1 : 0;
  caps->Address = ULONG(index_ + 1);
  caps->UINumber = ULONG(index_ + 1);
  for (int s = 0; s < PowerSystemMaximum; ++s) caps->DeviceState[s] = config_.deviceState[s];
  caps->SystemWake = systemWake;
  caps->DeviceWake = deviceWake;
  caps->D1Latency = 0;
  caps->D2Latency = 0;
  caps->D3Latency = 0;
}

NTSTATUS DeviceImpl::Pnp(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      return Answer(irp, PnpRequest::Start);
    case IRP_MN_QUERY_CAPABILITIES:
      if (stack->Parameters.DeviceCapabilities.Capabilities == nullptr) return CompleteWith(irp, STATUS_INVALID_PARAMETER);
      return Answer(irp, PnpRequest::QueryCapabilities);
    case IRP_MN_CANCEL_STOP_DEVICE:
      return Answer(irp, PnpRequest::CancelStop);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      return Answer(irp, PnpRequest::CancelRemove);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
      ApplyPnp(irp, STATUS_SUCCESS);
      return STATUS_SUCCESS;
    default: {
      NTSTATUS status = irp->IoStatus.Status;  // not the bus driver's: the status stays as it came
      ApplyPnp(irp, status);
      return status;
    }
  }
}

// The answer a test chose: now, or from a DPC later.
NTSTATUS DeviceImpl::Answer(PIRP irp, PnpRequest which) {
  KIRQL old = Lock();
  PnpAnswer answer = pnpAnswers_[int(which)];
  Unlock(old);
  if (!answer.pend) {
    ApplyPnp(irp, answer.status);
    return answer.status;
  }
  uint64_t delay = answer.delayUs != 0 ? uint64_t(answer.delayUs) * 10 : 1000 + DeviceRandom(49001);
  IoMarkIrpPending(irp);
  return Defer(irp, DeferredAnswer::Action::Pnp, answer.status, delay);
}

// The IRP's effect on the device when it succeeds, then its completion.
void DeviceImpl::ApplyPnp(PIRP irp, NTSTATUS status) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PIRP wakeToEnd = nullptr;
  bool powered = false;
  KIRQL old = Lock();
  if (NT_SUCCESS(status)) {
    switch (stack->MinorFunction) {
      case IRP_MN_START_DEVICE:
        // The bus powers the device it starts.
        started_ = true;
        removed_ = false;
        powered = powerState_ != PowerDeviceD0;
        powerState_ = PowerDeviceD0;
        break;
      case IRP_MN_QUERY_CAPABILITIES:
        FillCapabilities(stack->Parameters.DeviceCapabilities.Capabilities);
        break;
      case IRP_MN_STOP_DEVICE:
        started_ = false;
        break;
      case IRP_MN_SURPRISE_REMOVAL:
        surpriseRemoved_ = true;
        started_ = false;
        wakeToEnd = TakeWaitWake();
        break;
      case IRP_MN_REMOVE_DEVICE:
        // The device goes back to its unconfigured state. The PDO itself
        // stays until the bus deletes it.
        removed_ = true;
        started_ = false;
        Unconfigure();
        wakeToEnd = TakeWaitWake();
        break;
      default:
        break;
    }
  }
  Unlock(old);
  if (powered) {
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    PoSetPowerState(pdo_, DevicePowerState, d0);
  }
  TraceLine("pnp minor=" + std::to_string(stack->MinorFunction) + " status=" + Hex(status));
  if (wakeToEnd != nullptr) {
    TraceLine("power wait-wake ended: no such device");
    CompleteWith(wakeToEnd, STATUS_NO_SUCH_DEVICE);
  }
  CompleteWith(irp, status);
}

NTSTATUS DeviceImpl::Power(PIRP irp) {
  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_SET_POWER:
    case IRP_MN_QUERY_POWER:
      return SetOrQueryPower(irp);
    case IRP_MN_WAIT_WAKE:
      return WaitWake(irp);
    default:
      return CompleteWith(irp, irp->IoStatus.Status);
  }
}

}  // namespace usb
}  // namespace sim
