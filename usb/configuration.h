// Configuring the modem at start: the descriptors, the one supported shape,
// the selection and its pipe handles; and unconfiguring it at removal.
#pragma once

#include "driver/driver.h"

// The handler of IRP_MN_START_DEVICE: passes the IRP down first, then
// configures. Does not complete the IRP.
PAGED_CODE_SEG NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS ReadConfiguration(PDEVICE_OBJECT DeviceObject);
// Descriptor holds the whole configuration descriptor as received, Length bytes.
NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR Descriptor,
                             ULONG Length);
NTSTATUS ReleaseConfiguration(PDEVICE_OBJECT DeviceObject);
// The supported shape, every read bounded by the Length bytes received.
BOOLEAN HasModemShape(PUSB_CONFIGURATION_DESCRIPTOR Descriptor, ULONG Length,
                      PUSB_INTERFACE_DESCRIPTOR Interface);
