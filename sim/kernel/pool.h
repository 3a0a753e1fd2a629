// Test knobs and accounting of the simulated kernel's pool. Host only.
#pragma once

#include <cstdint>
#include <string>

#include <wdm.h>

namespace sim {
namespace pool {

// Fault injection. Each knob lasts until Clear() or the next kernel.
// FailNth and FailChance apply to the allocations drivers make with
// ExAllocatePool*; FailTag also to the I/O manager's own blocks, so that
// e.g. FailTag(TagOf("Irp ")) makes IoAllocateIrp fail.
void FailNth(uint64_t n);            // the n-th allocation from now fails (1 = the next one)
void FailTag(ULONG tag);             // every allocation with this tag fails
void FailChance(unsigned permille);  // each fails with this chance, drawn from the kernel's seed
void Clear();
// Allocations refused by the knobs so far in this kernel.
uint64_t InjectedFailures();
// Allocations drivers asked for so far in this kernel, refused ones too: the
// ones FailNth counts, so a census run tells a test which n it may plan.
uint64_t DriverAllocations();

// Outstanding blocks and bytes with a tag, or of every driver tag.
size_t Outstanding(ULONG tag);
size_t OutstandingBytes(ULONG tag);
size_t OutstandingTotal();

// Reports every driver block still allocated as Fault::PoolLeak (one fault
// per block: tag, size, allocation sequence number). Also run at teardown.
void ReportLeaks(const char *when);

// The tag as a driver writes it, e.g. TagOf("Umdm") for 'mdmU'.
ULONG TagOf(const char (&s)[5]);

// Fill patterns: what a fresh block holds (pool is not zeroed) and what a
// freed one holds until its memory is reused.
constexpr UCHAR kFreshByte = 0xC5;
constexpr UCHAR kFreedByte = 0xF5;

}  // namespace pool
}  // namespace sim
