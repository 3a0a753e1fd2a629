// The PDO's Plug and Play and power answers, as a bus driver gives them.
#include "sim/kernel/sim.h"
#include "sim/usb/device_impl.h"

namespace sim {
namespace usb {

static NTSTATUS CompleteWith(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static VOID NTAPI WaitWakeCancelRoutine(PDEVICE_OBJECT pdo, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  ImplOf(pdo)->CancelWaitWake(irp);
}

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
  PIRP wakeToEnd = nullptr;
  NTSTATUS status = irp->IoStatus.Status;
  KIRQL old;
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      old = Lock();
      started_ = true;
      removed_ = false;
      Unlock(old);
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
      if (caps == nullptr) {
        status = STATUS_INVALID_PARAMETER;
        break;
      }
      old = Lock();
      FillCapabilities(caps);
      Unlock(old);
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_STOP_DEVICE:
      old = Lock();
      started_ = false;
      Unlock(old);
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_SURPRISE_REMOVAL:
      old = Lock();
      surpriseRemoved_ = true;
      started_ = false;
      Unlock(old);
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE:
      // The device goes back to its unconfigured state; a wait-wake still
      // pending ends here. The PDO itself stays until the bus deletes it.
      old = Lock();
      removed_ = true;
      started_ = false;
      Unconfigure();
      if (waitWake_ != nullptr && IoSetCancelRoutine(waitWake_, nullptr) != nullptr) {
        wakeToEnd = waitWake_;
        waitWake_ = nullptr;
      }
      Unlock(old);
      status = STATUS_SUCCESS;
      break;
    default:
      break;  // not the bus driver's: the status stays as it came
  }
  TraceLine("pnp minor=" + std::to_string(stack->MinorFunction) + " status=" + Hex(status));
  if (wakeToEnd != nullptr) CompleteWith(wakeToEnd, STATUS_NO_SUCH_DEVICE);
  return CompleteWith(irp, status);
}

NTSTATUS DeviceImpl::Power(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
      if (stack->Parameters.Power.Type == DevicePowerState) {
        KIRQL old = Lock();
        powerState_ = stack->Parameters.Power.State.DeviceState;
        Unlock(old);
        PoSetPowerState(pdo_, DevicePowerState, stack->Parameters.Power.State);
      }
      TraceLine("power set type=" + std::to_string(int(stack->Parameters.Power.Type)) +
                " state=" + std::to_string(int(stack->Parameters.Power.State.DeviceState)));
      PoStartNextPowerIrp(irp);
      return CompleteWith(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_POWER:
      PoStartNextPowerIrp(irp);
      return CompleteWith(irp, STATUS_SUCCESS);
    case IRP_MN_WAIT_WAKE:
      break;
    default:
      return CompleteWith(irp, irp->IoStatus.Status);
  }

  DEVICE_CAPABILITIES caps = {};
  KIRQL old = Lock();
  FillCapabilities(&caps);
  NTSTATUS refused = STATUS_SUCCESS;
  if (caps.DeviceWake == PowerDeviceUnspecified || caps.SystemWake == PowerSystemUnspecified) {
    refused = STATUS_NOT_SUPPORTED;
  } else if (stack->Parameters.WaitWake.PowerState > caps.SystemWake) {
    refused = STATUS_INVALID_DEVICE_STATE;
  } else if (waitWake_ != nullptr) {
    refused = STATUS_DEVICE_BUSY;
  } else if (removed_ || surpriseRemoved_) {
    refused = STATUS_NO_SUCH_DEVICE;
  }
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
  bool ours = waitWake_ == irp;
  if (ours) waitWake_ = nullptr;
  Unlock(old);
  TraceLine("power wait-wake cancelled");
  CompleteWith(irp, STATUS_CANCELLED);
}

}  // namespace usb
}  // namespace sim
