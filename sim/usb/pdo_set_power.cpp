// Set and query power at the PDO: always pended and completed from a DPC a
// seeded time later, as a hub that has to suspend or resume its port does.
#include "sim/kernel/sim.h"
#include "sim/usb/device_impl.h"

namespace sim {
namespace usb {

static PowerRequest KindOf(const IO_STACK_LOCATION *stack) {
  bool set = stack->MinorFunction == IRP_MN_SET_POWER;
  if (stack->Parameters.Power.Type == DevicePowerState) return set ? PowerRequest::SetDevice : PowerRequest::QueryDevice;
  return set ? PowerRequest::SetSystem : PowerRequest::QuerySystem;
}

static std::string Describe(const IO_STACK_LOCATION *stack) {
  bool device = stack->Parameters.Power.Type == DevicePowerState;
  return std::string(stack->MinorFunction == IRP_MN_SET_POWER ? "set" : "query") + (device ? " D" : " S") +
         std::to_string(device ? int(stack->Parameters.Power.State.DeviceState) - 1
                               : int(stack->Parameters.Power.State.SystemState) - 1);
}

// A resume from a low-power state takes the USB resume signalling and the
// device's recovery: 10 to 50 ms. Anything else: 200 us to 3 ms.
uint64_t DeviceImpl::PowerDelay100ns(const IO_STACK_LOCATION *stack) const {
  bool resume = stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState &&
                stack->Parameters.Power.State.DeviceState == PowerDeviceD0 && powerState_ != PowerDeviceD0;
  if (resume) return 100000 + DeviceRandom(400001);
  return 2000 + DeviceRandom(28001);
}

NTSTATUS DeviceImpl::SetOrQueryPower(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PowerRequest which = KindOf(stack);
  KIRQL old = Lock();
  NTSTATUS status = powerFailures_[int(which)];
  DEVICE_POWER_STATE target = stack->Parameters.Power.State.DeviceState;
  if (which == PowerRequest::SetDevice && target > PowerDeviceD0) {
    CheckTransfersBeforePowerDown(target);
    poweringDown_ = true;  // the port is being suspended: no more URBs
  }
  uint64_t delay = PowerDelay100ns(stack);
  Unlock(old);
  TraceLine("power " + Describe(stack) + " pending");
  IoMarkIrpPending(irp);
  return Defer(irp, DeferredAnswer::Action::Power, status, delay);
}

// From the DPC: the new state when it succeeded, the next power IRP started,
// the IRP completed.
void DeviceImpl::ApplyPower(PIRP irp, NTSTATUS status) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PowerRequest which = KindOf(stack);
  KIRQL old = Lock();
  if (NT_SUCCESS(status) && which == PowerRequest::SetDevice) powerState_ = stack->Parameters.Power.State.DeviceState;
  if (NT_SUCCESS(status) && which == PowerRequest::SetSystem) systemPowerState_ = stack->Parameters.Power.State.SystemState;
  if (which == PowerRequest::SetDevice) poweringDown_ = false;
  Unlock(old);
  if (NT_SUCCESS(status) && which == PowerRequest::SetDevice)
    PoSetPowerState(pdo_, DevicePowerState, stack->Parameters.Power.State);
  TraceLine("power " + Describe(stack) + " status=" + Hex(status));
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
}

}  // namespace usb
}  // namespace sim
