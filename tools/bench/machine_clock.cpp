#include "bench/machine_clock.h"

#include "sim/kernel/sim.h"

namespace bench {
uint64_t VirtualNow100ns() { return sim::Now100ns(); }
void SetReaderWakeLatency(uint32_t maxUs) { sim::SetSystemThreadWakeLatency(maxUs); }
unsigned Processors() { return sim::KernelOptions::FromEnvironment().cpus; }
}  // namespace bench
