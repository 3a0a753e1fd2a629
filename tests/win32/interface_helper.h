// The kernel side of an interface on the world's modem PDO, as a driver
// registers, enables or disables one. For tests written with <windows.h>.
#pragma once

namespace sim {
class World;
}

namespace probe {

// Registers the class on the modem's PDO and enables it (or disables it).
// Run inside World::Run. Returns the NTSTATUS of IoSetDeviceInterfaceState.
int EnableInterface(sim::World &world, const void *interfaceClass, bool enable);

}  // namespace probe
