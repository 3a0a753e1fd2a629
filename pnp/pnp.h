// Plug and Play and power: the device's state machine and its quiescing.
#pragma once

#include "driver/driver.h"

PAGED_CODE_SEG NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Stops the reader and the timers, ends the pending wait and the queued
// reads and waits for every other request. The caller holds one reference.
PAGED_CODE_SEG void StopDeviceActivity(PDEVICE_OBJECT DeviceObject);

PAGED_CODE_SEG NTSTATUS HandleQuery(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG PendingState);
PAGED_CODE_SEG NTSTATUS HandleCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG PendingState);
PAGED_CODE_SEG NTSTATUS HandleStop(PDEVICE_OBJECT DeviceObject, PIRP Irp);
PAGED_CODE_SEG NTSTATUS HandleSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp);
PAGED_CODE_SEG NTSTATUS HandleRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp);
PAGED_CODE_SEG NTSTATUS HandleCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp);
PAGED_CODE_SEG void RestoreAfterStop(PDEVICE_EXTENSION ext);
