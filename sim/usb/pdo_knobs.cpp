// The test-facing Plug and Play and power knobs and observations, each taken
// under the device's lock.
#include "sim/kernel/sim.h"
#include "sim/usb/device_impl.h"

namespace sim {
namespace usb {

void Device::SetPnpAnswer(PnpRequest which, const PnpAnswer &answer) {
  impl_->Locked([&] { impl_->pnpAnswers_[int(which)] = answer; });
}

void Device::FailPower(PowerRequest which, NTSTATUS status) {
  impl_->Locked([&] { impl_->powerFailures_[int(which)] = status; });
}

SYSTEM_POWER_STATE Device::SystemPowerState() const {
  SYSTEM_POWER_STATE value = PowerSystemUnspecified;
  impl_->Locked([&] { value = impl_->systemPowerState_; });
  return value;
}

}  // namespace usb
}  // namespace sim
