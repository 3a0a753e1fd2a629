#include "serial/lines.h"

// Mirrors one line bit into both images and latches its changed-flag.
static void ApplyLineChange(PDEVICE_EXTENSION ext, USHORT changed, USHORT newState,
                            USHORT lineBit, ULONG imageBit, UCHAR* changedFlag,
                            ULONG* control, ULONG* status)
{
    if ((changed & lineBit) == 0) {
        return;
    }
    LatchLineChange(ext, changedFlag);
    if (newState & lineBit) {
        *control |= imageBit;
        *status |= imageBit;
    } else {
        *control &= ~imageBit;
        *status &= ~imageBit;
    }
}

void UpdateLineState(PDEVICE_EXTENSION ext, USHORT Value, USHORT Mask)
{
    USHORT oldState = ext->LineState;
    USHORT newState = static_cast<USHORT>((oldState & ~Mask) | (Value & Mask));
    ext->LineState = newState;
    USHORT changed = static_cast<USHORT>(oldState ^ newState);
    if (changed == 0) {
        return;
    }

    ULONG control = ext->ModemControl;
    ULONG status = ext->ModemStatus;
    ApplyLineChange(ext, changed, newState, LINE_CTS, IMAGE_CTS, &ext->CtsChanged, &control, &status);
    ApplyLineChange(ext, changed, newState, LINE_DSR, IMAGE_DSR, &ext->DsrChanged, &control, &status);
    ApplyLineChange(ext, changed, newState, LINE_RLSD, IMAGE_DCD, &ext->RlsdChanged, &control, &status);
    ext->ModemControl = control;
    ext->ModemStatus = status;

    ULONG events = EvaluateEvents(ext, LINE_EVENT_CANDIDATES, NULL, 0);
    if (events != 0) {
        CompleteWaitIrp(ext->FunctionalDeviceObject, events);
    }
}
