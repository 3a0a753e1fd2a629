// The system side of the simulated machine's power manager: system power
// transitions sent to every device node's stack as Windows XP sends them.
// Host only.
//
// For S1-S4 each stack gets IRP_MN_QUERY_POWER (SystemPowerState, the state,
// ShutdownType PowerActionSleep or PowerActionHibernate); when any fails the
// sleep is vetoed and every stack that agreed gets IRP_MN_SET_POWER for the
// working state, otherwise every stack gets IRP_MN_SET_POWER for the state.
// S5 is queried (PowerActionShutdownOff) and then set whatever the answers: a
// driver cannot refuse a shutdown. The return to S0 is a set with no query.
// Sleeping goes from the newest node to the oldest, waking the other way.
// A wait-wake requested with PoRequestPowerIrp that completes with success
// while the system sleeps wakes it: the manager sends S0 by itself.
//
// Requests run one at a time on a power manager thread, never alongside a
// Plug and Play request. The calls queue and return at once, from any
// simulated context or from the idle host; WaitSettled and WaitFor block a
// simulated thread at PASSIVE_LEVEL.
#pragma once

#include <cstdint>
#include <vector>

#include <wdm.h>

#include "sim/kernel/pnp_manager.h"

namespace sim {
namespace power {

using SystemRequestId = uint32_t;  // 1, 2, ...; 0 names none

enum class SystemOutcome {
  Queued,
  Running,
  Done,     // the system is in the state asked for
  Vetoed,   // a query failed; the system stayed working
  Skipped,  // already there, or a sleep asked while asleep
};
const char *SystemOutcomeName(SystemOutcome outcome);

struct SystemRequestInfo {
  SYSTEM_POWER_STATE state = PowerSystemUnspecified;
  SystemOutcome outcome = SystemOutcome::Queued;
  bool byWake = false;  // queued by the power manager on a wait-wake
};

// One system power IRP the manager sent, as it came back.
struct SentSystemIrp {
  pnp::NodeId node;
  SystemRequestId request;
  UCHAR minor;  // IRP_MN_QUERY_POWER or IRP_MN_SET_POWER
  SYSTEM_POWER_STATE state;
  POWER_ACTION action;
  NTSTATUS status;
};

SystemRequestId SetSystemPowerState(SYSTEM_POWER_STATE state);
void WaitSettled();  // nothing queued or running
void WaitFor(SystemRequestId request);
bool Settled();

SYSTEM_POWER_STATE CurrentSystemState();
SystemRequestInfo Info(SystemRequestId request);
std::vector<SentSystemIrp> SystemLog();

}  // namespace power
}  // namespace sim
