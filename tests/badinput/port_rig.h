// A started modem of the simulated bus in one of the states a control
// request can find it in, reached through the requests Windows sends: an
// open, a close, Plug and Play's queries, stop and surprise removal, the
// system going to sleep. Each state is entered once on a fresh device and
// left again as the system would, so that the device is removed cleanly.
// There is no state after the removal: IRP_MN_REMOVE_DEVICE deletes the
// device object, and with a handle open Plug and Play sends it only after
// the close.
#pragma once

#include <string>
#include <vector>

#include "support/driver_fixture.h"

namespace sim {
namespace usb {
class Device;
}
}  // namespace sim

namespace badinput {

enum class PortState {
  Started,          // started, never opened
  Open,             // the application's handle is open
  Closed,           // opened and closed again
  StopPending,      // open, query-stop answered
  Stopped,          // open, stopped for a rebalance
  RemovePending,    // open, query-remove answered
  SurpriseRemoved,  // open, pulled out
  Asleep,           // open, the system in S3
};

const std::vector<PortState> &AllPortStates();
std::string PortStateName(PortState state);

class PortRig {
 public:
  PortRig();  // plugs and starts the modem
  ~PortRig();
  PortRig(const PortRig &) = delete;
  PortRig &operator=(const PortRig &) = delete;

  void Enter(PortState state);
  // Back to a device the Plug and Play manager may remove, then removed.
  void Leave();

  PDEVICE_OBJECT Fdo() const { return dev_.Fdo(); }
  PDEVICE_EXTENSION Ext() const { return dev_.Ext(); }
  testing_support::TestDevice &Device() { return dev_; }

 private:
  NTSTATUS Request(UCHAR major);
  void Open();
  void Close();
  NTSTATUS Pnp(UCHAR minor);
  NTSTATUS SetSystemPower(SYSTEM_POWER_STATE state);

  sim::usb::Device *bus_;
  testing_support::TestDevice dev_;
  PortState state_ = PortState::Started;
  bool open_ = false;
  bool left_ = false;
};

}  // namespace badinput
