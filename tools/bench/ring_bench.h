// Runs the ring benchmark's loop inside a simulated kernel. Kept apart from
// the benchmark's main so that only this unit sees the kernel's headers.
#pragma once

namespace benchmark {
class State;
}

void RunRingBench(benchmark::State &state, unsigned chunk);
