// A spin lock taken in pageable code: the routine runs at DISPATCH_LEVEL
// while its own page could be out.
#include "test_driver.h"

static KSPIN_LOCK Lock;
static volatile LONG Count;

static PAGE_SECTION NTSTATUS CountUnderLock() {
  KIRQL old;
  KeAcquireSpinLock(&Lock, &old);
  ++Count;
  KeReleaseSpinLock(&Lock, old);
  return STATUS_SUCCESS;
}

extern "C" INIT_SECTION NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
  KeInitializeSpinLock(&Lock);
  return CountUnderLock();
}
