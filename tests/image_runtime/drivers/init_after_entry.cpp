// An unload routine left in INIT: by the time it is called, Windows has
// discarded the section.
#include "test_driver.h"

static INIT_SECTION VOID NTAPI Unload(PDRIVER_OBJECT) { KeGetCurrentIrql(); }

extern "C" INIT_SECTION NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
  DriverObject->DriverUnload = Unload;
  return STATUS_SUCCESS;
}
