// What the bus holds against a function driver's power handling: URBs while
// the device is not in D0, and transfers left pending as it powers down.
#include "sim/kernel/sim.h"
#include "sim/usb/device_impl.h"

namespace sim {
namespace usb {

// The hub fails a URB for a device it has suspended before it reaches the
// host controller: the device is powered off (a failure status, though a
// warning code) and the request never went on the wire.
constexpr Outcome kPoweredOff = {STATUS_DEVICE_POWERED_OFF, USBD_STATUS_NOT_ACCESSED};

// Refused from the moment a device set-power to D1-D3 reaches the PDO until a
// set-power to D0 has completed.
bool DeviceImpl::RefusesUrbsForPower(Outcome *why) const {
  if (powerState_ == PowerDeviceD0 && !poweringDown_) return false;
  *why = kPoweredOff;
  return true;
}

// Suspending the port strands whatever the device still has to answer: the
// function driver must cancel its transfers (or let them finish) first. A
// transfer whose cancellation has begun is on its way out and is not counted.
void DeviceImpl::CheckTransfersBeforePowerDown(DEVICE_POWER_STATE target) const {
  std::string kinds;
  for (const Request &r : pending_) {
    if (r.cancelling || r.irp->Cancel) continue;
    if (!kinds.empty()) kinds += ", ";
    kinds += KindName(r.kind);
  }
  if (kinds.empty()) return;
  ReportFault(Fault::TransferPendingAcrossPowerDown, "IRP_MN_SET_POWER",
              "a device set-power to D" + std::to_string(int(target) - 1) + " reached \\Device\\" + traceName_ +
                  " while transfers were still pending on it (" + kinds +
                  "): they must be cancelled and completed before the device powers down");
}

}  // namespace usb
}  // namespace sim
