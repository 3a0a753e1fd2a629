#include "datapath/ring.h"

void RingAppend(PDEVICE_EXTENSION ext, const UCHAR* Source, ULONG Length)
{
    if (Length == 0) {
        return;
    }
    KIRQL irql;
    KeAcquireSpinLock(&ext->RingLock, &irql);
    ULONG room = RING_SIZE - static_cast<ULONG>(ext->RingCount);
    ULONG n = Length < room ? Length : room;
    ULONG w = ext->RingWriteIndex;
    if (w + n < RING_SIZE) {
        RtlCopyMemory(&ext->ReadRing[w], Source, n);
        ext->RingWriteIndex = w + n;
    } else {
        ULONG first = RING_SIZE - w;
        RtlCopyMemory(&ext->ReadRing[w], Source, first);
        RtlCopyMemory(&ext->ReadRing[0], Source + first, n - first);
        ext->RingWriteIndex = (w + n) % RING_SIZE;
    }
    // Readers outside the lock must always see a whole value.
    InterlockedExchangeAdd(&ext->RingCount, static_cast<LONG>(n));
    KeReleaseSpinLock(&ext->RingLock, irql);
}

// Where the read's bytes go, or NULL when there is nowhere to put them.
static PUCHAR ReadDestination(PIRP Irp)
{
    PMDL mdl = Irp->MdlAddress;
    if (mdl == NULL) {
        return static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
    }
    if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
        return static_cast<PUCHAR>(mdl->MappedSystemVa);
    }
    return static_cast<PUCHAR>(
        MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, NULL, FALSE, NormalPagePriority));
}

ULONG RingTake(PDEVICE_EXTENSION ext, PIRP Irp, ULONG Count)
{
    if (Count == 0) {
        return 0;
    }
    PUCHAR dest = ReadDestination(Irp);
    if (dest == NULL) {
        return 0;
    }
    ULONG r = ext->RingReadIndex;
    ULONG tail = RING_SIZE - r;
    if (Count <= tail) {
        RtlCopyMemory(dest, &ext->ReadRing[r], Count);
        ext->RingReadIndex = r + Count;
    } else {
        RtlCopyMemory(dest, &ext->ReadRing[r], tail);
        RtlCopyMemory(dest + tail, &ext->ReadRing[0], Count - tail);
        ext->RingReadIndex = Count - tail;
    }
    ext->RingCount -= static_cast<LONG>(Count);
    return Count;
}

ULONG RingSnapshot(PDEVICE_EXTENSION ext)
{
    KIRQL irql;
    KeAcquireSpinLock(&ext->RingLock, &irql);
    ULONG c = static_cast<ULONG>(ext->RingCount);
    ULONG r = ext->RingReadIndex;
    ULONG tail = RING_SIZE - r;
    if (c <= tail) {
        RtlCopyMemory(ext->ScanBuffer, &ext->ReadRing[r], c);
    } else {
        RtlCopyMemory(ext->ScanBuffer, &ext->ReadRing[r], tail);
        RtlCopyMemory(&ext->ScanBuffer[tail], &ext->ReadRing[0], c - tail);
    }
    KeReleaseSpinLock(&ext->RingLock, irql);
    return c;
}

void RingReset(PDEVICE_EXTENSION ext)
{
    KIRQL irql;
    KeAcquireSpinLock(&ext->RingLock, &irql);
    ext->RingCount = 0;
    ext->RingWriteIndex = 0;
    ext->RingReadIndex = 0;
    KeReleaseSpinLock(&ext->RingLock, irql);
}
