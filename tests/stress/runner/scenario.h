// The stress runs' scenario, written as a serial program: open COM7,
// configure it, a wait ended by a new mask, traffic both ways through the
// loopback modem (a writer thread beside the reader), a read ended by a purge
// and a wait ended by CancelIo, close. The plan's fault is armed before the
// open (or the traffic), its storm runs on a third thread during the traffic.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "machine_knobs.h"
#include "plan.h"

namespace sim {
class World;
}

namespace stress {

struct WriteResult {
  std::vector<char> bytes;  // what the write asked for
  uint32_t reported = 0;    // what it said it wrote
  bool succeeded = false;
};

struct ScenarioOutcome {
  bool opened = false;
  std::vector<WriteResult> writes;
  std::vector<char> received;
  // What the scenario saw go wrong itself (a request that never ended, a
  // call that failed with nothing to make it fail).
  std::vector<std::string> violations;
  // Machine counts taken right before the open and after the close, in the
  // same order (pool blocks, IRPs, handles, system threads, OutstandingIo).
  std::vector<long> before, after;
  Reach reach;  // what the driver asked for from the open to the close
};

// Runs on an application thread of the world (inside World::Run).
ScenarioOutcome RunScenario(sim::World &world, const Plan &plan, uint64_t seed);

}  // namespace stress
