#include "datapath/read_queue.h"

static READ_CONTEXT* ContextOf(PIRP Irp)
{
    return static_cast<READ_CONTEXT*>(Irp->Tail.Overlay.DriverContext[0]);
}

void ReadQueueInsertTail(PDEVICE_EXTENSION ext, PIRP Irp)
{
    InsertTailList(&ext->ReadQueue.Head, &Irp->Tail.Overlay.ListEntry);
    ext->ReadQueue.Count += 1;
}

READ_CONTEXT* ReadQueueRemoveHead(PDEVICE_EXTENSION ext)
{
    if (IsListEmpty(&ext->ReadQueue.Head)) {
        return NULL;
    }
    PLIST_ENTRY entry = RemoveHeadList(&ext->ReadQueue.Head);
    ext->ReadQueue.Count -= 1;
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    return ContextOf(irp);
}

void ReadQueueRemoveEntry(PDEVICE_EXTENSION ext, PIRP Irp)
{
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    READ_CONTEXT* context = ContextOf(Irp);
    if (context != NULL) {
        ExFreePool(context);
        Irp->Tail.Overlay.DriverContext[0] = NULL;
    }
    ext->ReadQueue.Count -= 1;
}

BOOLEAN ExchangeIoTimerRunning(PDEVICE_EXTENSION ext, BOOLEAN Running)
{
    KIRQL irql;
    KeAcquireSpinLock(&ext->ReadQueue.Lock, &irql);
    BOOLEAN old = ext->IoTimerRunning;
    ext->IoTimerRunning = Running;
    KeReleaseSpinLock(&ext->ReadQueue.Lock, irql);
    return old;
}

ULONG ReadLength(PIRP Irp)
{
    if (Irp->MdlAddress != NULL) {
        return MmGetMdlByteCount(Irp->MdlAddress);
    }
    return IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
}

LONGLONG CurrentTickCount()
{
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    return ticks.QuadPart;
}

LONGLONG ElapsedMilliseconds(LONGLONG Now, LONGLONG Then)
{
    return (Now - Then) * static_cast<LONGLONG>(KeQueryTimeIncrement()) / 10000;
}
