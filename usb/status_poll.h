// Once a second while the port is open: read the modem's status byte and turn
// changes of its two line bits into modem-line changes.
#pragma once

#include "driver/driver.h"

VOID NTAPI StatusPollTimer(PDEVICE_OBJECT DeviceObject, PVOID Context);
VOID NTAPI StatusPollWorker(PDEVICE_OBJECT DeviceObject, PVOID Context);
