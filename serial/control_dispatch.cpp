#include "serial/control.h"
#include "datapath/write.h"
#include "driver/accounting.h"

NTSTATUS CheckSystemBuffer(PIRP Irp, ULONG Length, ULONG Needed, PVOID* Buffer)
{
    if (Length < Needed) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    *Buffer = Irp->AssociatedIrp.SystemBuffer;
    if (*Buffer == NULL) {
        return STATUS_ACCESS_VIOLATION;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = GetExtension(DeviceObject);
    if (ext->DeviceState != Working) {
        return CompleteRequest(Irp, STATUS_UNSUCCESSFUL, 0);
    }
    IoIncrement(ext);
    Irp->IoStatus.Information = 0;
    ULONG_PTR information = 0;
    NTSTATUS status;

    switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
        return ImmediateCharControl(DeviceObject, Irp);
    case IOCTL_SERIAL_WAIT_ON_MASK:
        return WaitOnMaskControl(DeviceObject, Irp);
    case IOCTL_SERIAL_SET_DTR:
    case IOCTL_SERIAL_CLR_DTR:
    case IOCTL_SERIAL_SET_RTS:
    case IOCTL_SERIAL_CLR_RTS:
    case IOCTL_SERIAL_GET_WAIT_MASK:
    case IOCTL_SERIAL_SET_WAIT_MASK:
        status = LinesControl(DeviceObject, Irp, &information);
        break;
    case IOCTL_SERIAL_PURGE:
        status = PurgeControl(ext, Irp, &information);
        break;
    default:
        status = SettingsControl(ext, Irp, &information);
        break;
    }

    IoDecrement(ext);
    if (!NT_SUCCESS(status)) {
        return CompleteRequest(Irp, status, 0);
    }
    return CompleteRequest(Irp, status, information);
}
