#include "datapath/read_queue.h"
#include "datapath/ring.h"
#include "driver/accounting.h"

static BOOLEAN ReturnsAtOnce(const SERIAL_TIMEOUTS* t)
{
    return t->ReadIntervalTimeout == MAXULONG && t->ReadTotalTimeoutMultiplier == 0 &&
           t->ReadTotalTimeoutConstant == 0;
}

// Serves the read from what the ring holds now, possibly nothing.
static NTSTATUS ReadAtOnce(PDEVICE_EXTENSION ext, PIRP Irp)
{
    ULONG wanted = ReadLength(Irp);
    KIRQL irql;
    KeAcquireSpinLock(&ext->RingLock, &irql);
    ULONG available = static_cast<ULONG>(ext->RingCount);
    ULONG n = wanted < available ? wanted : available;
    ULONG taken = (n > 0) ? RingTake(ext, Irp, n) : 0;
    KeReleaseSpinLock(&ext->RingLock, irql);

    if (taken != n) {
        return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    CompleteRequest(Irp, STATUS_SUCCESS, n);
    // The read timer's DPC adds to it too, on another processor.
    AddToCounter(&ext->PerfStats.ReceivedCount, n);
    return STATUS_SUCCESS;
}

static NTSTATUS QueueRead(PDEVICE_EXTENSION ext, PIRP Irp)
{
    READ_CONTEXT* context = static_cast<READ_CONTEXT*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(READ_CONTEXT), USBMODEM_POOL_TAG));
    if (context == NULL) {
        return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    context->Irp = Irp;
    context->Cancelled = FALSE;
    context->QueueTime = CurrentTickCount();
    Irp->Tail.Overlay.DriverContext[0] = context;

    // Taken before the DPC or the cancel routine can see the IRP.
    IoIncrement(ext);

    BOOLEAN completeHere = FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&ext->ReadQueue.Lock, &irql);
    IoMarkIrpPending(Irp);
    (void)IoSetCancelRoutine(Irp, ReadCancelRoutine);
    if (Irp->Cancel) {
        if (IoSetCancelRoutine(Irp, NULL) != NULL) {
            completeHere = TRUE;
        } else {
            // The cancel routine already runs and waits for this lock; it
            // must not unlink an IRP that was never linked.
            context->Cancelled = TRUE;
        }
    } else {
        ReadQueueInsertTail(ext, Irp);
        LARGE_INTEGER due;
        due.QuadPart = -1;
        KeSetTimerEx(&ext->ReadTimer, due, READ_POLL_PERIOD_MS, &ext->ReadTimerDpc);
    }
    KeReleaseSpinLock(&ext->ReadQueue.Lock, irql);

    if (completeHere) {
        CompleteCancelledRead(ext, Irp);
    }
    return STATUS_PENDING;
}

NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = GetExtension(DeviceObject);
    if (ext->DeviceState != Working) {
        return CompleteRequest(Irp, STATUS_UNSUCCESSFUL, 0);
    }
    if (ReturnsAtOnce(&ext->Timeouts)) {
        return ReadAtOnce(ext, Irp);
    }
    return QueueRead(ext, Irp);
}
