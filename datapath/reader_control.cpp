#include "datapath/reader.h"
#include "datapath/read_queue.h"
#include "driver/dpc_barrier.h"

PAGED_CODE_SEG void StartReader(PDEVICE_EXTENSION ext)
{
    PAGED_CODE();

    LARGE_INTEGER due;
    due.QuadPart = -10000000LL;  // 1 s
    KeSetTimerEx(&ext->ReadTimer, due, 1000, &ext->ReadTimerDpc);

    IoStartTimer(ext->FunctionalDeviceObject);
    ExchangeIoTimerRunning(ext, TRUE);

    KeInitializeEvent(&ext->StopReaderEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&ext->BulkInDoneEvent, NotificationEvent, FALSE);

    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE handle;
    NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, NULL, NULL,
                                           BulkInReader, ext);
    if (!NT_SUCCESS(status)) {
        // The port stays open without reception until the next start.
        return;
    }
    PVOID thread = NULL;
    status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, NULL, KernelMode, &thread, NULL);
    if (NT_SUCCESS(status)) {
        // StopReader takes it with an exchange, perhaps on another processor.
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile *>(&ext->ReaderThread), thread);
    }
    ZwClose(handle);
}

void StopReader(PDEVICE_EXTENSION ext)
{
    // A close and a surprise removal may stop the reader at once: one of
    // them takes the thread, and only that one waits for it and drops it.
    PKTHREAD thread = static_cast<PKTHREAD>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile *>(&ext->ReaderThread), NULL));
    if (thread != NULL) {
        KeSetEvent(&ext->StopReaderEvent, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, NULL);
        ObfDereferenceObject(thread);
    }

    // The DPC re-arms its own timer; forbid that first, or
    // a run racing with the cancel below would leave the timer set after
    // the port has stopped.
    BOOLEAN ioTimerWasRunning = ExchangeIoTimerRunning(ext, FALSE);
    KeCancelTimer(&ext->ReadTimer);
    KeRemoveQueueDpc(&ext->ReadTimerDpc);
    if (ioTimerWasRunning) {
        IoStopTimer(ext->FunctionalDeviceObject);
    }

    // Neither stops a run already in progress on another processor, which
    // may still take a reference or touch the extension: wait it out.
    WaitForRunningDpcs();
}
