#include "pnp/power.h"
#include "driver/accounting.h"


// A power-up to D0 may complete at DISPATCH_LEVEL, where the reader cannot
// be started; its work item is taken now, while the request can still be
// refused cleanly.
static NTSTATUS PrepareReturnToD0(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION ext)
{
    POWER_WORK_CONTEXT* context = static_cast<POWER_WORK_CONTEXT*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(POWER_WORK_CONTEXT), USBMODEM_POOL_TAG));
    if (context == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    context->DeviceObject = DeviceObject;
    context->Irp = NULL;
    context->WorkItem = IoAllocateWorkItem(DeviceObject);
    if (context->WorkItem == NULL) {
        ExFreePool(context);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ext->PowerUpWork = context;
    return STATUS_SUCCESS;
}

NTSTATUS DeviceSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = GetExtension(DeviceObject);
    LONG requested = PowerLevel(IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.DeviceState);
    LONG current = PowerLevel(ext->DevicePowerState);
    NTSTATUS status;

    // Every set for D0 takes the power-up path, also from D0: a query or a
    // failed power-down may have stopped the reader while the device stayed
    // in D0, and a vetoed sleep comes back as a set for D0.
    if (requested < current || requested == PowerDeviceD0) {
        if (requested == PowerDeviceD0) {
            status = PrepareReturnToD0(DeviceObject, ext);
            if (!NT_SUCCESS(status)) {
                return FinishPowerIrp(ext, Irp, status);
            }
        }
        PassPowerIrpDown(ext, Irp, PowerUpCompletion);
        return STATUS_PENDING;
    }
    if (current == PowerDeviceD0 && requested > current) {
        status = QueuePowerDownWork(DeviceObject, Irp);
        if (status == STATUS_PENDING) {
            return status;
        }
        return FinishPowerIrp(ext, Irp, status);
    }
    PassPowerIrpDown(ext, Irp, DevicePowerCompletion);
    return STATUS_PENDING;
}

NTSTATUS DeviceQueryPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = GetExtension(DeviceObject);
    LONG state = PowerLevel(IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.DeviceState);
    if (ext->WakeSupported && state > PowerLevel(ext->DeviceCapabilities.DeviceWake)) {
        return FinishPowerIrp(ext, Irp, STATUS_INVALID_DEVICE_STATE);
    }
    if (state >= PowerLevel(ext->DevicePowerState)) {
        NTSTATUS status = QueuePowerDownWork(DeviceObject, Irp);
        if (status == STATUS_PENDING) {
            return status;
        }
        return FinishPowerIrp(ext, Irp, status);
    }
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = PoCallDriver(ext->LowerDeviceObject, Irp);
    IoDecrement(ext);
    return status;
}

NTSTATUS NTAPI DevicePowerCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PDEVICE_EXTENSION ext = static_cast<PDEVICE_EXTENSION>(Context);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (NT_SUCCESS(Irp->IoStatus.Status) && stack->MinorFunction == IRP_MN_SET_POWER) {
        ext->DevicePowerState = stack->Parameters.Power.State.DeviceState;
        PoSetPowerState(DeviceObject, DevicePowerState, stack->Parameters.Power.State);
    }
    PoStartNextPowerIrp(Irp);
    IoDecrement(ext);
    return STATUS_SUCCESS;
}
