// A run in a child process of its own: a fault the machine treats as fatal
// (a deadlock, a hang, a sanitizer's report) ends the child, not the runner,
// and becomes the run's violation with what the child printed.
#pragma once

#include <cstdint>

#include "plan.h"
#include "run_one.h"

namespace stress {

RunResult RunIsolated(uint64_t seed, unsigned cpus, const Plan &plan);

}  // namespace stress
