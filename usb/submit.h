// Sending the driver's own URBs down and waiting for them, and the
// synchronous forward of an IRP to the lower driver.
#pragma once

#include "driver/driver.h"

NTSTATUS SubmitUrbSynchronous(PDEVICE_OBJECT DeviceObject, PURB Urb);
// TimeoutMs 0 waits without limit; on expiry the request is cancelled and
// STATUS_CANCELLED returned only after the IRP has come back.
NTSTATUS SubmitUrbWithTimeout(PDEVICE_OBJECT DeviceObject, PURB Urb, ULONG TimeoutMs);
NTSTATUS NTAPI SubmitUrbCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE PipeHandle);
NTSTATUS SendVendorRequest(PDEVICE_OBJECT DeviceObject, BOOLEAN DirectionIn,
                           UCHAR RequestTypeReservedBits, UCHAR Request, USHORT Value,
                           PVOID Buffer, ULONG BufferLength);
NTSTATUS SetDtr(PDEVICE_OBJECT DeviceObject);
NTSTATUS ClearDtr(PDEVICE_OBJECT DeviceObject);

NTSTATUS NTAPI SignalEventCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
// Passes the IRP down and takes it back; the caller completes it.
NTSTATUS ForwardIrpSynchronously(PDEVICE_OBJECT DeviceObject, PIRP Irp);
