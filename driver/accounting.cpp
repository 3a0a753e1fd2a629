#include "driver/accounting.h"

// The lock makes each count change and the event change that follows it one
// step, so a clear for 1->2 can never overtake a set for 2->1.
void IoIncrement(PDEVICE_EXTENSION ext)
{
    KIRQL irql;
    KeAcquireSpinLock(&ext->IoCountLock, &irql);
    LONG count = InterlockedIncrement(&ext->OutstandingIo);
    if (count == 2) {
        KeClearEvent(&ext->NoPendingIoEvent);
    }
    KeReleaseSpinLock(&ext->IoCountLock, irql);
}

void IoDecrement(PDEVICE_EXTENSION ext)
{
    KIRQL irql;
    KeAcquireSpinLock(&ext->IoCountLock, &irql);
    LONG count = InterlockedDecrement(&ext->OutstandingIo);
    if (count == 1) {
        KeSetEvent(&ext->NoPendingIoEvent, IO_NO_INCREMENT, FALSE);
    }
    if (count == 0) {
        KeSetEvent(&ext->RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&ext->IoCountLock, irql);
}

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

void AddToCounter(ULONG volatile* counter, ULONG n)
{
    InterlockedExchangeAdd(reinterpret_cast<LONG volatile*>(counter), static_cast<LONG>(n));
}
