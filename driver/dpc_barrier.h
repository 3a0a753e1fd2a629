// Waiting out deferred routines that are already running. Stopping a timer
// or dequeuing a DPC does not wait for a run in progress on another
// processor; KeFlushQueuedDpcs would, but Windows XP before SP2 lacks it.
#pragma once

#include "driver/driver.h"

// Returns once every DPC routine (I/O timer routines included) that was
// running on any processor at the call has returned. Runs a DPC of its own
// on each active processor in turn: a processor runs its DPCs one at a time,
// in order, so that DPC runs only after the one in progress there. Callers
// stop whatever queues the routines first. PASSIVE_LEVEL.
PAGED_CODE_SEG void WaitForRunningDpcs();
