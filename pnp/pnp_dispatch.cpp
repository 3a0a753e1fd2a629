#include "pnp/pnp.h"
#include "driver/accounting.h"
#include "usb/configuration.h"

// Passes the IRP down in this stack location's place and forgets it.
static NTSTATUS PassDownSkipped(PDEVICE_EXTENSION ext, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IofCallDriver(ext->LowerDeviceObject, Irp);
}

PAGED_CODE_SEG NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    PDEVICE_EXTENSION ext = GetExtension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status;
    IoIncrement(ext);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = StartDevice(DeviceObject, Irp);
        if (NT_SUCCESS(status)) {
            RestoreAfterStop(ext);
        }
        CompleteRequest(Irp, status, 0);
        IoDecrement(ext);
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
        status = HandleQuery(DeviceObject, Irp, PendingRemove);
        break;
    case IRP_MN_REMOVE_DEVICE:
        status = HandleRemove(DeviceObject, Irp);
        break;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        status = HandleCancel(DeviceObject, Irp, PendingRemove);
        IoDecrement(ext);
        break;
    case IRP_MN_STOP_DEVICE:
        status = HandleStop(DeviceObject, Irp);
        IoDecrement(ext);
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
        status = HandleQuery(DeviceObject, Irp, PendingStop);
        break;
    case IRP_MN_CANCEL_STOP_DEVICE:
        status = HandleCancel(DeviceObject, Irp, PendingStop);
        IoDecrement(ext);
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        IoCopyCurrentIrpStackLocationToNext(Irp);
        status = IofCallDriver(ext->LowerDeviceObject, Irp);
        IoDecrement(ext);
        break;
    case IRP_MN_QUERY_CAPABILITIES:
        status = HandleCapabilities(DeviceObject, Irp);
        CompleteRequest(Irp, status, 0);
        IoDecrement(ext);
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        status = HandleSurpriseRemoval(DeviceObject, Irp);
        break;
    default:
        IoDecrement(ext);
        status = PassDownSkipped(ext, Irp);
        break;
    }
    return status;
}
