// The port's state as a fresh open finds it. Apart from the pageable open
// routine on purpose: it takes spin locks, and inlined there it would run
// pageable code at DISPATCH_LEVEL.
#include "serial/open_close.h"
#include "datapath/ring.h"
#include "driver/port_defaults.h"

void ResetPortState(PDEVICE_EXTENSION ext)
{
    RingReset(ext);

    KIRQL irql;
    KeAcquireSpinLock(&ext->WaitIrpLock, &irql);
    ext->PendingWaitIrp = NULL;
    ext->CleanupInProgress = FALSE;
    KeReleaseSpinLock(&ext->WaitIrpLock, irql);

    // OutstandingIo is deliberately not reset: it is balanced on every path,
    // and a request in flight across the open (a power IRP, a queued status
    // poll) still holds a reference that a fresh count would lose.

    // The first poll after the open then applies every status bit that is 1.
    ext->LastStatusBit0 = 0;
    ext->LastStatusBit1 = 0;

    InitializePortDefaults(ext);
}
