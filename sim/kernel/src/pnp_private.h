// What the Plug and Play manager shares with the system side of the power
// manager. Host only.
#pragma once

#include <functional>
#include <vector>

#include <wdm.h>

#include "sim/kernel/pnp_manager.h"

namespace sim {
namespace pnp_internal {

// The device tree's lock: a Plug and Play request and a system power
// transition never run together, as on XP. A simulated thread at PASSIVE_LEVEL.
void LockTree();
void UnlockTree();

// The nodes whose stacks take system power IRPs (started ones), oldest first.
std::vector<pnp::NodeId> StartedNodes();

// Builds an IRP for the top of `pdo`'s stack (Status STATUS_NOT_SUPPORTED,
// `fill` sets the next stack location), sends it (power IRPs with
// PoCallDriver), waits for it and frees it; returns its final status.
NTSTATUS SendAndWait(PDEVICE_OBJECT pdo, const std::function<void(PIO_STACK_LOCATION)> &fill, bool power);

}  // namespace pnp_internal
}  // namespace sim
