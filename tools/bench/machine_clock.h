// What the throughput table needs of the simulated kernel, for code that
// includes <windows.h> and so cannot include the kernel's own headers.
#pragma once

#include <cstdint>

namespace bench {
uint64_t VirtualNow100ns();
void SetReaderWakeLatency(uint32_t maxUs);
unsigned Processors();
}  // namespace bench
