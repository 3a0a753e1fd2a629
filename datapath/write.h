// Writes go out one at a time through the device queue, in pieces of at most
// MAX_TRANSFER_SIZE bytes; the immediate character bypasses the queue.
#pragma once

#include "driver/driver.h"

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID NTAPI StartIo(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI WriteCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// The IOCTL_SERIAL_IMMEDIATE_CHAR row; finishes the IRP itself.
NTSTATUS ImmediateCharControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI ImmediateCharCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
