// The device's WMI data block: one instance, a settable ULONG and a fixed text.
#pragma once

#include "driver/driver.h"

// The setting every device of the driver reports; 10 at load.
extern volatile ULONG WmiSetting;

NTSTATUS RegisterWmi(PDEVICE_EXTENSION ext);
NTSTATUS DeregisterWmi(PDEVICE_EXTENSION ext);
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

NTSTATUS NTAPI QueryRegInfo(PDEVICE_OBJECT DeviceObject, PULONG RegFlags, PUNICODE_STRING InstanceName,
                            PUNICODE_STRING *RegistryPath, PUNICODE_STRING MofResourceName,
                            PDEVICE_OBJECT *Pdo);
NTSTATUS NTAPI QueryDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                              ULONG InstanceCount, PULONG InstanceLengthArray, ULONG BufferAvail,
                              PUCHAR Buffer);
NTSTATUS NTAPI SetDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                            ULONG BufferSize, PUCHAR Buffer);
NTSTATUS NTAPI SetDataItem(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                           ULONG DataItemId, ULONG BufferSize, PUCHAR Buffer);
