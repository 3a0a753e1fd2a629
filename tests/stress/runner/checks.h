// What must hold at the end of every stress run.
//
// The stream: let W be, write by write, the first `reported` bytes of what
// each write asked for (what the driver said it wrote). What the reader got
// must be W itself when no fault of the plan may drop received bytes (the
// clean run, a partial bulk OUT, a failed, stalled or unanswered URB other
// than a bulk IN), and otherwise W with whole runs left out: in order, never
// a byte twice, never a byte that W does not have at that place. In the
// clean run every write also reports all its bytes.
//
// The machine: while the modem stays plugged, pool blocks, IRPs, handles,
// system threads and the device's OutstandingIo are after the close what
// they were before the open; the verifier's faults of the whole run
// (World::Close, which also finds leaks, IRPs never completed, deadlocks and
// hangs) are none.
#pragma once

#include <string>
#include <vector>

#include "plan.h"
#include "scenario.h"

namespace stress {

std::vector<char> ReportedStream(const ScenarioOutcome &outcome);
// Empty when `received` is `written` with whole runs left out; else where not.
std::string InOrderRunsOf(const std::vector<char> &written, const std::vector<char> &received);

// Violations of the run, one line each; `faults` are World::Close()'s.
std::vector<std::string> Check(const Plan &plan, const ScenarioOutcome &outcome, bool modemUnplugged,
                               const std::vector<std::string> &faults);

}  // namespace stress
