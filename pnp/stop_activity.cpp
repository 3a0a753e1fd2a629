#include "pnp/pnp.h"
#include "driver/accounting.h"
#include "datapath/read_queue.h"
#include "datapath/reader.h"
#include "serial/lines.h"

PAGED_CODE_SEG void StopDeviceActivity(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();
    PDEVICE_EXTENSION ext = GetExtension(DeviceObject);
    StopReader(ext);
    CompleteWaitIrp(DeviceObject, 0);
    KeCancelTimer(&ext->ReadTimer);
    KeRemoveQueueDpc(&ext->ReadTimerDpc);
    CancelQueuedReads(ext);
    IoDecrement(ext);
    KeWaitForSingleObject(&ext->NoPendingIoEvent, Executive, KernelMode, FALSE, NULL);
    IoIncrement(ext);
}
