#include "serial/control.h"
#include "serial/lines.h"
#include "usb/submit.h"
#include "driver/accounting.h"

NTSTATUS LinesControl(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG_PTR* Information)
{
    PDEVICE_EXTENSION ext = GetExtension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PVOID buffer;
    NTSTATUS status;

    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    // A DTR request that never reached the device (no memory for it) is
    // reported as such and leaves the lines alone.
    case IOCTL_SERIAL_SET_DTR:
        status = SetDtr(DeviceObject);
        if (NT_SUCCESS(status)) {
            UpdateLineState(ext, LINE_CTS | LINE_DSR, LINE_CTS | LINE_DSR);
        }
        return status;
    case IOCTL_SERIAL_CLR_DTR:
        status = ClearDtr(DeviceObject);
        if (NT_SUCCESS(status)) {
            UpdateLineState(ext, static_cast<USHORT>(~(LINE_CTS | LINE_DSR)), LINE_CTS | LINE_DSR);
        }
        return status;
    case IOCTL_SERIAL_SET_RTS:
        UpdateLineState(ext, LINE_CTS, LINE_CTS);
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_CLR_RTS:
        UpdateLineState(ext, 0, LINE_CTS);
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_GET_WAIT_MASK:
        status = CheckSystemBuffer(Irp, stack->Parameters.DeviceIoControl.OutputBufferLength,
                                   sizeof(ULONG), &buffer);
        if (NT_SUCCESS(status)) {
            *static_cast<ULONG*>(buffer) = ext->WaitMask;
            *Information = sizeof(ULONG);
        }
        return status;
    case IOCTL_SERIAL_SET_WAIT_MASK:
        status = CheckSystemBuffer(Irp, stack->Parameters.DeviceIoControl.InputBufferLength,
                                   sizeof(ULONG), &buffer);
        if (NT_SUCCESS(status)) {
            ClearLineChanges(ext);
            ext->WaitMask = *static_cast<ULONG*>(buffer);
            // A pending wait ends with an empty mask.
            CompleteWaitIrp(DeviceObject, 0);
        }
        return status;
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

// The dispatcher's reference travels with the request: dropped here on
// failure, otherwise by CompleteWaitIrp whoever calls it.
NTSTATUS WaitOnMaskControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = GetExtension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PVOID buffer;
    NTSTATUS status = CheckSystemBuffer(
        Irp, stack->Parameters.DeviceIoControl.OutputBufferLength, sizeof(ULONG), &buffer);
    if (!NT_SUCCESS(status)) {
        IoDecrement(ext);
        return CompleteRequest(Irp, status, 0);
    }

    // Once in the slot the request may be completed by another thread at any
    // moment, so it is marked pending before it gets there.
    BOOLEAN accepted = FALSE;
    BOOLEAN closing = FALSE;
    BOOLEAN cancelled = FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&ext->WaitIrpLock, &irql);
    if (ext->CleanupInProgress) {
        closing = TRUE;
    } else if (ext->WaitMask != 0 && ext->PendingWaitIrp == NULL) {
        IoMarkIrpPending(Irp);
        ext->PendingWaitIrp = Irp;
        accepted = TRUE;
        (void)IoSetCancelRoutine(Irp, WaitCancelRoutine);
        if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
            // Cancelled before the routine was set: it is ours to end.
            ext->PendingWaitIrp = NULL;
            cancelled = TRUE;
        }
        // Otherwise, if cancelled, the routine runs once this lock is free.
    }
    KeReleaseSpinLock(&ext->WaitIrpLock, irql);
    if (cancelled) {
        CompleteRequest(Irp, STATUS_CANCELLED, 0);
        IoDecrement(ext);
        return STATUS_PENDING;
    }
    if (!accepted) {
        IoDecrement(ext);
        return CompleteRequest(Irp, closing ? STATUS_CANCELLED : STATUS_INVALID_PARAMETER, 0);
    }

    ULONG events = CheckReceiveEvents(DeviceObject, WAIT_START_EVENT_CANDIDATES);
    if (events != 0) {
        CompleteWaitIrp(DeviceObject, events);
    }
    return STATUS_PENDING;
}
