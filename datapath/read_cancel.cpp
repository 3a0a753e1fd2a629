#include "datapath/read_queue.h"
#include "driver/accounting.h"

void CompleteCancelledRead(PDEVICE_EXTENSION ext, PIRP Irp)
{
    READ_CONTEXT* context = static_cast<READ_CONTEXT*>(Irp->Tail.Overlay.DriverContext[0]);
    if (context != NULL) {
        ExFreePool(context);
        Irp->Tail.Overlay.DriverContext[0] = NULL;
    }
    CompleteRequest(Irp, STATUS_CANCELLED, 0);
    IoDecrement(ext);
}

VOID NTAPI ReadCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    PDEVICE_EXTENSION ext = GetExtension(DeviceObject);

    KIRQL irql;
    KeAcquireSpinLock(&ext->ReadQueue.Lock, &irql);
    READ_CONTEXT* context = static_cast<READ_CONTEXT*>(Irp->Tail.Overlay.DriverContext[0]);
    if (context != NULL && !context->Cancelled) {
        RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
        ext->ReadQueue.Count -= 1;
    }
    KeReleaseSpinLock(&ext->ReadQueue.Lock, irql);

    CompleteCancelledRead(ext, Irp);
}

void CancelQueuedReads(PDEVICE_EXTENSION ext)
{
    LIST_ENTRY claimed;
    InitializeListHead(&claimed);

    KIRQL irql;
    KeAcquireSpinLock(&ext->ReadQueue.Lock, &irql);
    while (ext->ReadQueue.Count > 0) {
        READ_CONTEXT* context = ReadQueueRemoveHead(ext);
        if (context == NULL) {
            break;
        }
        context->Cancelled = TRUE;
        PIRP irp = context->Irp;
        if (IoSetCancelRoutine(irp, NULL) != NULL) {
            InsertTailList(&claimed, &irp->Tail.Overlay.ListEntry);
        }
        // Otherwise its cancel routine runs; it sees Cancelled and only completes.
    }
    KeReleaseSpinLock(&ext->ReadQueue.Lock, irql);

    while (!IsListEmpty(&claimed)) {
        PLIST_ENTRY entry = RemoveHeadList(&claimed);
        CompleteCancelledRead(ext, CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry));
    }
}
