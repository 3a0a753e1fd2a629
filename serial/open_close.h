// Opening, cleaning up and closing the port; one handle at a time.
#pragma once

#include "driver/driver.h"

PAGED_CODE_SEG NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
PAGED_CODE_SEG NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
void ResetPortState(PDEVICE_EXTENSION ext);
