#include "serial/lines.h"

// Mirrors one line bit into both images and latches its changed-flag. The
// caller holds WaitIrpLock, which guards the flags.
static void ApplyLineChange(PDEVICE_EXTENSION ext, USHORT changed, USHORT newState,
                            USHORT lineBit, ULONG imageBit, UCHAR* changedFlag,
                            ULONG* control, ULONG* status)
{
    if ((changed & lineBit) == 0) {
        return;
    }
    *changedFlag = 1;
    if (newState & lineBit) {
        *control |= imageBit;
        *status |= imageBit;
    } else {
        *control &= ~imageBit;
        *status &= ~imageBit;
    }
}

// A control request and the status poll's work item may change the lines at
// the same time; each change is one step under WaitIrpLock, or one of them
// would be lost.
void UpdateLineState(PDEVICE_EXTENSION ext, USHORT Value, USHORT Mask)
{
    KIRQL irql;
    KeAcquireSpinLock(&ext->WaitIrpLock, &irql);
    USHORT oldState = ext->LineState;
    USHORT newState = static_cast<USHORT>((oldState & ~Mask) | (Value & Mask));
    ext->LineState = newState;
    USHORT changed = static_cast<USHORT>(oldState ^ newState);
    if (changed != 0) {
        ULONG control = ext->ModemControl;
        ULONG status = ext->ModemStatus;
        ApplyLineChange(ext, changed, newState, LINE_CTS, IMAGE_CTS, &ext->CtsChanged, &control, &status);
        ApplyLineChange(ext, changed, newState, LINE_DSR, IMAGE_DSR, &ext->DsrChanged, &control, &status);
        ApplyLineChange(ext, changed, newState, LINE_RLSD, IMAGE_DCD, &ext->RlsdChanged, &control,
                        &status);
        ext->ModemControl = control;
        ext->ModemStatus = status;
    }
    KeReleaseSpinLock(&ext->WaitIrpLock, irql);
    if (changed == 0) {
        return;
    }

    ULONG events = EvaluateEvents(ext, LINE_EVENT_CANDIDATES, NULL, 0);
    if (events != 0) {
        CompleteWaitIrp(ext->FunctionalDeviceObject, events);
    }
}
