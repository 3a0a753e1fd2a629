// Driver-wide state and the driver object's entry points.
#pragma once

#include "driver/driver.h"

// Zero-terminated copy of the service's registry path, kept for WMI.
extern UNICODE_STRING DriverRegistryPath;

extern "C" INIT_CODE NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
VOID NTAPI Unload(PDRIVER_OBJECT DriverObject);
PAGED_CODE_SEG NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
