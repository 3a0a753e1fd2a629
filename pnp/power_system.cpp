#include "pnp/power.h"
#include "driver/accounting.h"


NTSTATUS SystemSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PassPowerIrpDown(GetExtension(DeviceObject), Irp, SystemPowerCompletion);
    return STATUS_PENDING;
}

NTSTATUS SystemQueryPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = GetExtension(DeviceObject);
    LONG state = PowerLevel(IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.SystemState);
    if (ext->WakeSupported && state > PowerLevel(ext->DeviceCapabilities.SystemWake)) {
        // The modem could not wake the system from there.
        return FinishPowerIrp(ext, Irp, STATUS_INVALID_DEVICE_STATE);
    }
    if (ext->WakeSupported && state > PowerLevel(ext->SystemPowerState)) {
        ArmWaitWake(ext);
    }
    PassPowerIrpDown(ext, Irp, SystemPowerCompletion);
    return STATUS_PENDING;
}

NTSTATUS NTAPI SystemPowerCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PDEVICE_EXTENSION ext = static_cast<PDEVICE_EXTENSION>(Context);
    if (!NT_SUCCESS(Irp->IoStatus.Status)) {
        PoStartNextPowerIrp(Irp);
        IoDecrement(ext);
        return STATUS_SUCCESS;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER) {
        ext->SystemPowerState = stack->Parameters.Power.State.SystemState;
    }
    // The system request stays here until its device request has finished.
    RequestDevicePowerIrp(DeviceObject, Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void RequestDevicePowerIrp(PDEVICE_OBJECT DeviceObject, PIRP SystemIrp)
{
    PDEVICE_EXTENSION ext = GetExtension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(SystemIrp);
    ULONG systemState = stack->Parameters.Power.State.SystemState;

    POWER_STATE target;
    target.DeviceState = PowerDeviceUnspecified;
    if (systemState < PowerSystemMaximum) {
        target.DeviceState = ext->DeviceCapabilities.DeviceState[systemState];
    }

    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    SYSTEM_POWER_CONTEXT* context = static_cast<SYSTEM_POWER_CONTEXT*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(SYSTEM_POWER_CONTEXT), USBMODEM_POOL_TAG));
    if (context != NULL) {
        context->DeviceObject = DeviceObject;
        context->SystemIrp = SystemIrp;
        status = PoRequestPowerIrp(ext->PhysicalDeviceObject, stack->MinorFunction, target,
                                   DevicePowerIrpDone, context, NULL);
        if (NT_SUCCESS(status)) {
            return;
        }
        ExFreePool(context);
    }
    FinishPowerIrp(ext, SystemIrp, status);
}

VOID NTAPI DevicePowerIrpDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                              PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    SYSTEM_POWER_CONTEXT* context = static_cast<SYSTEM_POWER_CONTEXT*>(Context);
    PDEVICE_EXTENSION ext = GetExtension(context->DeviceObject);
    FinishPowerIrp(ext, context->SystemIrp, IoStatus->Status);
    ExFreePool(context);
}
