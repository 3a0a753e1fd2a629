// What the simulated kernel does for the driver images it has mapped: their
// code runs on the thread's driver stack, every kernel routine they import is
// reached through a gate back on the fiber stack, and the gates check what
// only the image shows (pageable and discarded code, stack room). i386 only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/image/pe_image.h"
#include "sim/kernel/driver_code.h"

namespace sim {
namespace image {

// A mapped image's code becomes image code for the kernel (CallDriverRoutine).
void Register(Image *image);
void Unregister(Image *image);
// DriverEntry returned: INIT is gone (made inaccessible where it has pages
// of its own), and a gate entered from it is a fault.
void DiscardInit(Image *image);
const Image *ImageAt(uintptr_t address);
// "DispatchCreate+0x1c" for an image address, hex otherwise.
std::string DescribeAddress(uintptr_t address);

// The gate side: a driver's call of kernel routine `routine` from `from`,
// with the driver's stack pointer `sp`; both run on the fiber stack.
void GateEnter(uintptr_t from, const void *routine, uintptr_t sp);
void GateLeave(uintptr_t from, const void *routine);
void RunOnFiberStack(DriverThunk thunk, void *context);
// The export's name, for the faults (exports.cpp).
const char *ExportNameOf(const void *routine);

// The deepest use of the driver stack seen per entry point: the routine the
// kernel called with the stack empty.
struct StackUse {
  std::string entry;
  size_t deepestBytes = 0;
  uint64_t calls = 0;
};
std::vector<StackUse> DeepestStackUse();  // deepest first
void ResetStackUse();
// USBMODEM_STACK_REPORT=FILE: the table written there at exit.
void WriteStackReport(const char *path);

}  // namespace image
}  // namespace sim
