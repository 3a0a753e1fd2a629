// The receive ring: one producer (the bulk-in completion), consumers in the
// read timer DPC and the immediate read path. Never grows, never overwrites.
#pragma once

#include "driver/driver.h"

// Stores up to Length bytes; what does not fit is dropped. Takes RingLock.
void RingAppend(PDEVICE_EXTENSION ext, const UCHAR* Source, ULONG Length);

// Moves the oldest Count bytes into the read IRP's buffer. The caller holds
// RingLock and took Count <= RingCount under that same hold.
// Returns Count when the bytes were moved. Returns 0 when Count is 0, or when
// the IRP has no usable destination (no system buffer, or its MDL cannot be
// mapped); the ring is then left exactly as it was and the caller completes
// the read with STATUS_INSUFFICIENT_RESOURCES.
ULONG RingTake(PDEVICE_EXTENSION ext, PIRP Irp, ULONG Count);

// Copies the ring's contents, oldest first, into ScanBuffer; returns how many
// bytes that is. Takes RingLock.
ULONG RingSnapshot(PDEVICE_EXTENSION ext);

// Empties the ring. Takes RingLock.
void RingReset(PDEVICE_EXTENSION ext);
