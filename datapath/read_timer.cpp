#include "datapath/read_queue.h"
#include "datapath/ring.h"
#include "driver/accounting.h"

// Decides one queued read with RingLock held. Returns TRUE when the IRP was
// claimed and moved to Served, its outcome left in IoStatus.
static BOOLEAN ServeQueuedRead(PDEVICE_EXTENSION ext, PIRP Irp, LONGLONG now, PLIST_ENTRY served)
{
    READ_CONTEXT* context = static_cast<READ_CONTEXT*>(Irp->Tail.Overlay.DriverContext[0]);
    ULONG wanted = ReadLength(Irp);

    KIRQL irql;
    KeAcquireSpinLock(&ext->RingLock, &irql);
    ULONG available = static_cast<ULONG>(ext->RingCount);
    NTSTATUS outcome;
    ULONG n;
    if (available >= wanted) {
        outcome = STATUS_SUCCESS;
        n = wanted;
    } else if (ElapsedMilliseconds(now, context->QueueTime) >= READ_TIMEOUT_MS) {
        outcome = STATUS_TIMEOUT;
        n = available;
    } else {
        KeReleaseSpinLock(&ext->RingLock, irql);
        return FALSE;
    }
    if (IoSetCancelRoutine(Irp, NULL) == NULL) {
        // Its cancel routine runs; it unlinks and completes the IRP.
        KeReleaseSpinLock(&ext->RingLock, irql);
        return FALSE;
    }
    if (n > 0 && RingTake(ext, Irp, n) != n) {
        // Nowhere to put the bytes: they stay in the ring.
        outcome = STATUS_INSUFFICIENT_RESOURCES;
        n = 0;
    }
    KeReleaseSpinLock(&ext->RingLock, irql);

    ReadQueueRemoveEntry(ext, Irp);
    AddToCounter(&ext->PerfStats.ReceivedCount, n);
    Irp->IoStatus.Status = outcome;
    Irp->IoStatus.Information = n;
    InsertTailList(served, &Irp->Tail.Overlay.ListEntry);
    return TRUE;
}

VOID NTAPI ReadTimerDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                        PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    PDEVICE_EXTENSION ext = static_cast<PDEVICE_EXTENSION>(DeferredContext);

    LIST_ENTRY served;
    InitializeListHead(&served);
    LONGLONG now = CurrentTickCount();

    KIRQL irql;
    KeAcquireSpinLock(&ext->ReadQueue.Lock, &irql);
    PLIST_ENTRY entry = ext->ReadQueue.Head.Flink;
    while (entry != &ext->ReadQueue.Head) {
        PLIST_ENTRY next = entry->Flink;
        ServeQueuedRead(ext, CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry), now, &served);
        entry = next;
    }
    if (ext->ReadQueue.Count == 0) {
        if (ext->IoTimerRunning) {
            LARGE_INTEGER due;
            due.QuadPart = -1000;  // 100 us
            KeSetTimerEx(&ext->ReadTimer, due, 1000, &ext->ReadTimerDpc);
        } else {
            // The port's data path is stopped: let the last read's 15 ms
            // period end with it.
            KeCancelTimer(&ext->ReadTimer);
        }
    }
    KeReleaseSpinLock(&ext->ReadQueue.Lock, irql);

    while (!IsListEmpty(&served)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&served), IRP, Tail.Overlay.ListEntry);
        CompleteRequest(irp, irp->IoStatus.Status, irp->IoStatus.Information);
        IoDecrement(ext);
    }
}
