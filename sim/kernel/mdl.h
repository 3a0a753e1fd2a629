// Test knob of the simulated memory manager. Host only.
#pragma once

namespace sim {
namespace mdl {

// While set, MmMapLockedPagesSpecifyCache (and so MmGetSystemAddressForMdlSafe
// for MDLs not built for nonpaged pool) returns NULL, as under memory pressure.
void FailMappings(bool fail);
// Mappings refused while the knob was set.
unsigned FailedMappings();

}  // namespace mdl
}  // namespace sim
