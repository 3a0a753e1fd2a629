// The bulk-in reader thread, together with the two periodic activities of an
// open port (the read timer and the one-second status poll timer).
#pragma once

#include "driver/driver.h"

const ULONG READER_TRANSFER_SIZE = 1024;

PAGED_CODE_SEG void StartReader(PDEVICE_EXTENSION ext);
void StopReader(PDEVICE_EXTENSION ext);
VOID NTAPI BulkInReader(PVOID StartContext);
NTSTATUS NTAPI BulkInCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
