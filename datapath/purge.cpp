#include "serial/control.h"
#include "datapath/read_queue.h"
#include "datapath/ring.h"

const ULONG PURGE_VALID_MASK =
    SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;

// Only the receive side is purged: writes, queued or in flight, are left
// alone, and so are the pending wait and the scan buffer.
NTSTATUS PurgeControl(PDEVICE_EXTENSION ext, PIRP Irp, ULONG_PTR* Information)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    const ULONG* buffer = static_cast<const ULONG*>(Irp->AssociatedIrp.SystemBuffer);
    if (buffer == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG mask = *buffer;
    if (mask == 0 || (mask & ~PURGE_VALID_MASK) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (mask & SERIAL_PURGE_RXABORT) {
        CancelQueuedReads(ext);
    }
    if (mask & SERIAL_PURGE_RXCLEAR) {
        RingReset(ext);
    }
    // The documented count is the mask's size, but the I/O manager copies
    // that many bytes into any output buffer the caller gave: never more
    // than it holds.
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    *Information = (out == 0 || out >= sizeof(ULONG)) ? sizeof(ULONG) : 0;
    return STATUS_SUCCESS;
}
