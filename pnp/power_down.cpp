#include "pnp/power.h"
#include "datapath/reader.h"

NTSTATUS QueuePowerDownWork(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    POWER_WORK_CONTEXT* context = static_cast<POWER_WORK_CONTEXT*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(POWER_WORK_CONTEXT), USBMODEM_POOL_TAG));
    if (context == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    context->DeviceObject = DeviceObject;
    context->Irp = Irp;
    context->WorkItem = IoAllocateWorkItem(DeviceObject);
    if (context->WorkItem == NULL) {
        ExFreePool(context);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoMarkIrpPending(Irp);
    IoQueueWorkItem(context->WorkItem, PowerDownWorker, DelayedWorkQueue, context);
    return STATUS_PENDING;
}

// Stopping the reader waits for its thread, so it happens here, at
// PASSIVE_LEVEL, and before the bus suspends the port.
VOID NTAPI PowerDownWorker(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    POWER_WORK_CONTEXT* context = static_cast<POWER_WORK_CONTEXT*>(Context);
    PDEVICE_EXTENSION ext = GetExtension(DeviceObject);
    if (ext->OpenCount > 0) {
        StopReader(ext);
    }
    PassPowerIrpDown(ext, context->Irp, DevicePowerCompletion);
    IoFreeWorkItem(context->WorkItem);
    ExFreePool(context);
}
