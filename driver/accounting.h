// Request accounting: every piece of work that may outlive its dispatch
// routine holds one reference, so Plug and Play can wait for the device to
// go idle. Also the one way the driver completes an IRP it owns.
#pragma once

#include "driver/driver.h"

void IoIncrement(PDEVICE_EXTENSION ext);
void IoDecrement(PDEVICE_EXTENSION ext);
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);

// A statistics counter that several processors add to at once.
void AddToCounter(ULONG volatile* counter, ULONG n);
