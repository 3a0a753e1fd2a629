// One stress run: a fresh machine with the seed and processors, the scenario
// under the plan, the checks. Violations one line each; empty when it held.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "machine_knobs.h"
#include "plan.h"

namespace stress {

struct RunResult {
  std::vector<std::string> violations;
  Reach reach;  // what the scenario reached (the census, from a clean run)
  std::string summary;  // what moved, for --verbose
};

RunResult RunOne(uint64_t seed, unsigned cpus, const Plan &plan);

// The command that replays the run exactly.
std::string ReplayCommand(uint64_t seed, unsigned cpus, const Plan &plan);

}  // namespace stress
