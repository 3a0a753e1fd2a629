#include "run_one.h"

#include "checks.h"
#include "scenario.h"
#include "sim/world/world.h"

namespace stress {

RunResult RunOne(uint64_t seed, unsigned cpus, const Plan &plan) {
  sim::WorldOptions options;
  options.seed = seed;
  options.cpus = cpus;
  options.model = "loopback";
  options.traceFile = "";
  sim::World world(options);
  ScenarioOutcome outcome;
  world.Run([&] { outcome = RunScenario(world, plan, seed); });
  bool unplugged = ModemUnplugged(world);
  std::vector<std::string> faults = world.Close();
  RunResult result;
  result.violations = Check(plan, outcome, unplugged, faults);
  result.reach = outcome.reach;
  std::vector<char> written = ReportedStream(outcome);
  result.summary = std::string(outcome.opened ? "opened" : "not opened") + ", " + std::to_string(written.size()) +
                   " bytes written, " + std::to_string(outcome.received.size()) + " received; " +
                   std::to_string(outcome.reach.allocations) + " allocations, " +
                   std::to_string(outcome.reach.trafficPoints) + " schedule points of traffic, URBs:";
  for (int k = 0; k < UrbKindCount(); ++k)
    if (outcome.reach.urbs[k] != 0)
      result.summary += std::string(" ") + UrbKindName(k) + " " + std::to_string(outcome.reach.urbs[k]);
  return result;
}

std::string ReplayCommand(uint64_t seed, unsigned cpus, const Plan &plan) {
  return "tools/stress --seed " + std::to_string(seed) + " --cpus " + std::to_string(cpus) + " --plan " +
         PlanName(plan);
}

}  // namespace stress
