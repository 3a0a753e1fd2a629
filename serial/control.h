// The serial control dispatcher and its row handlers. A row handler returns
// the row's status and sets *Information; the dispatcher completes the IRP.
// Rows that finish the IRP themselves return what the dispatcher returns.
#pragma once

#include "driver/driver.h"

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Checks a row's buffer: STATUS_BUFFER_TOO_SMALL when Length is short,
// STATUS_ACCESS_VIOLATION when there is no system buffer.
NTSTATUS CheckSystemBuffer(PIRP Irp, ULONG Length, ULONG Needed, PVOID* Buffer);

// Stored settings, statistics and properties; also every unlisted code.
NTSTATUS SettingsControl(PDEVICE_EXTENSION ext, PIRP Irp, ULONG_PTR* Information);
// DTR, RTS and the wait mask.
NTSTATUS LinesControl(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG_PTR* Information);
// IOCTL_SERIAL_WAIT_ON_MASK; finishes the IRP itself.
NTSTATUS WaitOnMaskControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// IOCTL_SERIAL_PURGE.
NTSTATUS PurgeControl(PDEVICE_EXTENSION ext, PIRP Irp, ULONG_PTR* Information);
