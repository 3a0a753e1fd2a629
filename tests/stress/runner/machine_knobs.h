// The stress runner's reach into the machine, in plain types so that the
// scenario, written as a Win32 program, may include it: arming a plan's
// fault and counting what a plan may target.
#pragma once

#include <cstdint>
#include <vector>

#include "plan.h"

namespace sim {
class World;
}

namespace stress {

// What the driver asked of the machine from the open on (pool allocations,
// URBs by kind) and the schedule points the traffic passed.
struct Reach {
  uint64_t allocations = 0;
  std::vector<uint32_t> urbs;  // by sim::usb::RequestKind
  uint64_t trafficPoints = 0;
};

// Marks where counting starts; Since() gives what was reached after it.
struct ReachMark {
  uint64_t allocations = 0;
  std::vector<uint32_t> urbs;
  uint64_t points = 0;
};
ReachMark MarkReach(sim::World &world);
Reach Since(sim::World &world, const ReachMark &mark);
uint64_t SchedulePointsNow();

// Arms the plan's fault on the machine, right before the open (the pool and
// URB plans) or right before the traffic (the unplug).
void ArmBeforeOpen(sim::World &world, const Plan &plan);
void ArmBeforeTraffic(sim::World &world, const Plan &plan);

// Whether the modem was pulled out.
bool ModemUnplugged(sim::World &world);

int UrbKindCount();
const char *UrbKindName(int kind);

}  // namespace stress
