#include "serial/lines.h"
#include "datapath/ring.h"

static BOOLEAN ContainsByte(const UCHAR* data, ULONG count, UCHAR value)
{
    for (ULONG i = 0; i < count; ++i) {
        if (data[i] == value) {
            return TRUE;
        }
    }
    return FALSE;
}

// A latched line change is consumed only when it is reported.
static BOOLEAN TakeChange(PDEVICE_EXTENSION ext, UCHAR* flag)
{
    KIRQL irql;
    KeAcquireSpinLock(&ext->WaitIrpLock, &irql);
    BOOLEAN latched = (*flag == 1);
    *flag = 0;
    KeReleaseSpinLock(&ext->WaitIrpLock, irql);
    return latched;
}

void ClearLineChanges(PDEVICE_EXTENSION ext)
{
    KIRQL irql;
    KeAcquireSpinLock(&ext->WaitIrpLock, &irql);
    ext->CtsChanged = 0;
    ext->DsrChanged = 0;
    ext->RlsdChanged = 0;
    KeReleaseSpinLock(&ext->WaitIrpLock, irql);
}

ULONG EvaluateEvents(PDEVICE_EXTENSION ext, ULONG Candidates, const UCHAR* Data, ULONG Count)
{
    ULONG m = Candidates & ext->WaitMask;
    if (m == 0) {
        return 0;
    }
    BOOLEAN haveData = (Data != NULL && Count > 0);
    ULONG events = 0;

    if ((m & SERIAL_EV_RXCHAR) && Count > 0) {
        events |= SERIAL_EV_RXCHAR;
    }
    if ((m & SERIAL_EV_RXFLAG) && haveData && ContainsByte(Data, Count, ext->SpecialChars.EventChar)) {
        events |= SERIAL_EV_RXFLAG;
    }
    if ((m & SERIAL_EV_CTS) && TakeChange(ext, &ext->CtsChanged)) {
        events |= SERIAL_EV_CTS;
    }
    if ((m & SERIAL_EV_DSR) && TakeChange(ext, &ext->DsrChanged)) {
        events |= SERIAL_EV_DSR;
    }
    if ((m & SERIAL_EV_RLSD) && TakeChange(ext, &ext->RlsdChanged)) {
        events |= SERIAL_EV_RLSD;
    }
    if ((m & SERIAL_EV_BREAK) && haveData && ContainsByte(Data, Count, ext->SpecialChars.BreakChar)) {
        events |= SERIAL_EV_BREAK;
    }
    if ((m & SERIAL_EV_RX80FULL) && InterlockedExchangeAdd(&ext->RingCount, 0) > RX80FULL_THRESHOLD) {
        events |= SERIAL_EV_RX80FULL;
    }
    return events;
}

ULONG CheckReceiveEvents(PDEVICE_OBJECT FunctionalDeviceObject, ULONG Candidates)
{
    if (Candidates == 0 || FunctionalDeviceObject == NULL ||
        FunctionalDeviceObject->DeviceExtension == NULL) {
        return 0;
    }
    PDEVICE_EXTENSION ext = GetExtension(FunctionalDeviceObject);
    ULONG m = Candidates & ext->WaitMask;
    if (m == 0) {
        return 0;
    }
    ULONG count;
    if (m & (SERIAL_EV_RXFLAG | SERIAL_EV_BREAK)) {
        count = RingSnapshot(ext);
    } else {
        count = static_cast<ULONG>(InterlockedExchangeAdd(&ext->RingCount, 0));
    }
    return EvaluateEvents(ext, m, ext->ScanBuffer, count);
}
