// The kernel side of what a driver will do at start: register and enable an
// interface on the world's modem PDO. For tests written with <windows.h>.
#pragma once

namespace sim {
class World;
}

namespace probe {

// Registers the class on the modem's PDO and enables it (or disables it).
// Run inside World::Run. Returns the NTSTATUS of IoSetDeviceInterfaceState.
int EnableInterface(sim::World &world, const void *interfaceClass, bool enable);

}  // namespace probe
