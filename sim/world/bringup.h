// Single Plug and Play IRPs for tests that drive the driver's dispatch
// directly; the world's own bring-up and removal go through the Plug and
// Play manager (sim/kernel/pnp_manager.h).
#pragma once

#include <sim/kernel/sim.h>

namespace sim {
namespace world {

// Sends one Plug and Play IRP to the top of `device`'s stack and waits for
// it; returns its final status.
NTSTATUS SendPnp(PDEVICE_OBJECT device, UCHAR minor);
// IRP_MN_QUERY_CAPABILITIES as the PnP manager fills it in; *caps is what
// came back.
NTSTATUS QueryCapabilities(PDEVICE_OBJECT device, DEVICE_CAPABILITIES *caps);

}  // namespace world
}  // namespace sim
