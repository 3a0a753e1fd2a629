// Recursion past the 12 KiB kernel stack.
#include "test_driver.h"

static __attribute__((noinline)) ULONG Recurse(ULONG depth) {
  volatile UCHAR frame[256];
  frame[0] = static_cast<UCHAR>(depth);
  if (depth == 0) return frame[0];
  return Recurse(depth - 1) + frame[0];
}

extern "C" INIT_SECTION NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
  return Recurse(100) == 0 ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;  // some 27 KiB
}
