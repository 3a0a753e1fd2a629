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
// The system's and the driver's power states, the reader and the wake.
void ShowPowerState(sim::World &world);

// Applications' acts (Win32 programs): COM7 open across a sleep and resume;
// the modem pulled out under a pending read. Each returns its failures.
int SleepAndResumeWithThePortOpen(sim::World &world);
int PullOutWithAReadPending(sim::World &world);

}  // namespace demo
