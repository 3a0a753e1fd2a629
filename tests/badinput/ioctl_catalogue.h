// The device-control codes the bad-input table sends: every code the driver
// serves, the serial codes it leaves unimplemented, and a few that are not
// serial codes at all. Each comes with the input bytes a real buffer holds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <wdm.h>

namespace badinput {

struct IoctlCase {
  ULONG code;
  std::string name;
  // The first bytes of the input buffer (zeros after them). Chosen so that
  // no cell changes what the next one finds: the wait mask stays as the
  // sweep set it, a purge names valid bits.
  std::vector<uint8_t> input;
};

const std::vector<IoctlCase> &IoctlCases();

// The wait mask each sweep runs under: not an event a new wait is satisfied
// by at once, so a wait-on-mask pends until the sweep releases it.
constexpr ULONG kSweepWaitMask = 0x0040;  // SERIAL_EV_BREAK

}  // namespace badinput
