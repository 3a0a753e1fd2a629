// Emulated modem lines and the wait-on-mask event machinery.
#pragma once

#include "driver/driver.h"

// Events the bulk-in completion looks for when data arrives.
const ULONG RECEIVE_EVENT_CANDIDATES = SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG | SERIAL_EV_BREAK |
                                       SERIAL_EV_RX80FULL | SERIAL_EV_EVENT1 | SERIAL_EV_EVENT2;
// Events a new wait-on-mask request may be satisfied by at once.
const ULONG WAIT_START_EVENT_CANDIDATES = SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY | SERIAL_EV_CTS |
                                          SERIAL_EV_DSR | SERIAL_EV_RLSD | SERIAL_EV_ERR |
                                          SERIAL_EV_RING | SERIAL_EV_RX80FULL;
// Events a line change may produce.
const ULONG LINE_EVENT_CANDIDATES = SERIAL_EV_CTS | SERIAL_EV_DSR |
                                    SERIAL_EV_RLSD | SERIAL_EV_ERR | SERIAL_EV_RING |
                                    SERIAL_EV_EVENT1 | SERIAL_EV_EVENT2;

static_assert(RECEIVE_EVENT_CANDIDATES == 0x1C43, "receive candidates");
static_assert(WAIT_START_EVENT_CANDIDATES == 0x05BD, "wait-start candidates");
static_assert(LINE_EVENT_CANDIDATES == 0x19B8, "line-change candidates");

// More than this many bytes held reports SERIAL_EV_RX80FULL.
const LONG RX80FULL_THRESHOLD = 32768;

void UpdateLineState(PDEVICE_EXTENSION ext, USHORT Value, USHORT Mask);
ULONG EvaluateEvents(PDEVICE_EXTENSION ext, ULONG Candidates, const UCHAR* Data, ULONG Count);
// The latched line-changed flags are set by the status poll and consumed by
// event evaluation in the reader's DPC on another processor: under WaitIrpLock.
void ClearLineChanges(PDEVICE_EXTENSION ext);
ULONG CheckReceiveEvents(PDEVICE_OBJECT FunctionalDeviceObject, ULONG Candidates);
NTSTATUS CompleteWaitIrp(PDEVICE_OBJECT FunctionalDeviceObject, ULONG Events);
// The pending wait's cancel routine: set while the IRP is in PendingWaitIrp,
// it takes the IRP out of the slot and ends it STATUS_CANCELLED.
VOID NTAPI WaitCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp);
