// What the demo shows of the machine: the kernel's side of the port.
#pragma once

#include <string>

namespace sim {
class World;
}

namespace demo {

void ShowDriverLoaded(sim::World &world);
void ShowConfiguration(sim::World &world);
void ShowPortNames(sim::World &world);
// Reads the WMI block, sets the setting, reads it again; false on a failure.
bool ShowWmiBlock(sim::World &world);
// After the removal: what is left of the port's names.
void ShowPortWithdrawn();

}  // namespace demo
