#include "driver/dpc_barrier.h"

struct DPC_BARRIER {
    KDPC Dpc;
    KEVENT Reached;
};

// Resident: it runs at DISPATCH_LEVEL. Touches nothing after setting the
// event, since the waiter's stack holds the barrier.
static VOID NTAPI BarrierDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                             PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    KeSetEvent(&static_cast<DPC_BARRIER*>(DeferredContext)->Reached, IO_NO_INCREMENT, FALSE);
}

PAGED_CODE_SEG void WaitForRunningDpcs()
{
    PAGED_CODE();
    // One processor at a time, so one KDPC does: a routine that was running
    // when the call began has ended by the time its processor's turn comes.
    DPC_BARRIER barrier;
    KeInitializeDpc(&barrier.Dpc, BarrierDpc, &barrier);
    KeInitializeEvent(&barrier.Reached, NotificationEvent, FALSE);
    // On Windows XP bit n of the mask is processor n, the number
    // KeSetTargetProcessorDpc takes.
    KAFFINITY active = KeQueryActiveProcessors();
    for (ULONG n = 0; n < sizeof(KAFFINITY) * 8; ++n) {
        if ((active & (static_cast<KAFFINITY>(1) << n)) == 0) {
            continue;
        }
        KeClearEvent(&barrier.Reached);
        KeSetTargetProcessorDpc(&barrier.Dpc, static_cast<CCHAR>(n));
        KeInsertQueueDpc(&barrier.Dpc, NULL, NULL);
        KeWaitForSingleObject(&barrier.Reached, Executive, KernelMode, FALSE, NULL);
    }
}
