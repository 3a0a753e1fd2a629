// A kernel call made with most of the stack used up: the driver's frames fit,
// the kernel routine's might not.
#include "test_driver.h"

static __attribute__((noinline)) ULONG RecurseThenCall(ULONG depth) {
  volatile UCHAR frame[256];
  frame[0] = static_cast<UCHAR>(depth);
  if (depth == 0) return KeGetCurrentIrql();
  return RecurseThenCall(depth - 1) + frame[0];
}

extern "C" INIT_SECTION NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
  RecurseThenCall(41);  // some 11.3 KiB of 12
  return STATUS_SUCCESS;
}
