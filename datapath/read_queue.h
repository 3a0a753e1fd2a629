// Queued reads, their cancellation, and the periodic timer that serves them.
#pragma once

#include "driver/driver.h"

// How long a queued read waits before it completes with what there is.
const LONGLONG READ_TIMEOUT_MS = 100;
// Timer period while reads are queued.
const LONG READ_POLL_PERIOD_MS = 15;

NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID NTAPI ReadCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID NTAPI ReadTimerDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                        PVOID SystemArgument2);
void CancelQueuedReads(PDEVICE_EXTENSION ext);
LONGLONG ElapsedMilliseconds(LONGLONG Now, LONGLONG Then);

// Queue operations; the caller holds ReadQueue.Lock.
void ReadQueueInsertTail(PDEVICE_EXTENSION ext, PIRP Irp);
READ_CONTEXT* ReadQueueRemoveHead(PDEVICE_EXTENSION ext);
void ReadQueueRemoveEntry(PDEVICE_EXTENSION ext, PIRP Irp);

// Bytes a read asks for.
ULONG ReadLength(PIRP Irp);
// The current 64-bit tick count.
LONGLONG CurrentTickCount();
// Completes a read that is no longer linked anywhere with STATUS_CANCELLED.
void CompleteCancelledRead(PDEVICE_EXTENSION ext, PIRP Irp);

// Sets IoTimerRunning under ReadQueue.Lock and returns its old value. The
// read timer DPC re-arms its timer only while the flag is TRUE, deciding
// under the same lock, so once StopReader has cleared it and cancelled the
// timer the DPC does not set the timer again behind its back.
BOOLEAN ExchangeIoTimerRunning(PDEVICE_EXTENSION ext, BOOLEAN Running);
