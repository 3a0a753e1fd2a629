// An import the simulated kernel does not export.
#include "test_driver.h"

extern "C" INIT_SECTION NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING RegistryPath) {
  if (RegistryPath == nullptr) KeBugCheckEx(0xE2, 0, 0, 0, 0);
  return STATUS_SUCCESS;
}
