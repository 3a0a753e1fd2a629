// What the WMI pieces of the simulated kernel share. Host only.
#pragma once

#include <vector>

#include <wdm.h>

namespace sim {
namespace wmi {

bool IsProvider(PDEVICE_OBJECT device);
// A request to a provider starts and ends in the sending thread; false when
// the device is no provider (any more).
bool BeginRequest(PDEVICE_OBJECT provider);
void EndRequest(PDEVICE_OBJECT provider);

}  // namespace wmi
}  // namespace sim
