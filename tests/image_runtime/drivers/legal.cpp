// Code a Windows machine runs without complaint: a spin lock taken in
// resident code, pageable code at PASSIVE_LEVEL (calling resident code that
// raises), and an unload routine outside INIT.
#include "test_driver.h"

static KSPIN_LOCK Lock;
static volatile LONG Shared;

static __attribute__((noinline)) void TouchUnderLock() {
  KIRQL old;
  KeAcquireSpinLock(&Lock, &old);
  Shared += 7;
  KeReleaseSpinLock(&Lock, old);
}

static PAGE_SECTION NTSTATUS PageableWork() {
  PAGED_CODE();
  TouchUnderLock();  // resident, though called from pageable code
  return KeGetCurrentIrql() == PASSIVE_LEVEL && Shared == 7 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

static VOID NTAPI Unload(PDRIVER_OBJECT) { TouchUnderLock(); }

extern "C" INIT_SECTION NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
  KeInitializeSpinLock(&Lock);
  DriverObject->DriverUnload = Unload;
  return PageableWork();
}
