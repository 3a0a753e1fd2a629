#include "pnp/power.h"
#include "driver/accounting.h"

NTSTATUS ArmWaitWake(PDEVICE_EXTENSION ext)
{
    if (InterlockedExchange(&ext->WaitWakePending, 1) != 0) {
        return STATUS_DEVICE_BUSY;
    }
    InterlockedExchange(&ext->WaitWakeCompleted, 0);
    POWER_STATE state;
    state.SystemState = ext->DeviceCapabilities.SystemWake;
    NTSTATUS status = PoRequestPowerIrp(ext->PhysicalDeviceObject, IRP_MN_WAIT_WAKE, state,
                                        WaitWakeDone, ext, &ext->WaitWakeIrp);
    if (!NT_SUCCESS(status)) {
        InterlockedExchange(&ext->WaitWakePending, 0);
    }
    return status;
}

NTSTATUS NTAPI WaitWakeCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PDEVICE_EXTENSION ext = static_cast<PDEVICE_EXTENSION>(Context);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    if (InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&ext->WaitWakeIrp), NULL) != NULL) {
        PoStartNextPowerIrp(Irp);
        return STATUS_SUCCESS;
    }
    if (InterlockedExchange(&ext->WaitWakeCompleted, 1) != 0) {
        PoStartNextPowerIrp(Irp);
        return STATUS_CANCELLED;
    }
    // Nobody in this driver takes the IRP out to cancel it, so nobody would
    // finish it later: it completes now, as in the first case.
    PoStartNextPowerIrp(Irp);
    return STATUS_SUCCESS;
}

VOID NTAPI WaitWakeDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                        PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    PDEVICE_EXTENSION ext = static_cast<PDEVICE_EXTENSION>(Context);
    InterlockedExchange(&ext->WaitWakePending, 0);
    if (!NT_SUCCESS(IoStatus->Status)) {
        return;
    }
    if (ext->DevicePowerState == PowerDeviceD0) {
        return;
    }
    IoIncrement(ext);
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    NTSTATUS status = PoRequestPowerIrp(ext->PhysicalDeviceObject, IRP_MN_SET_POWER, d0, WakeUpDone, ext, NULL);
    if (!NT_SUCCESS(status)) {
        IoDecrement(ext);
    }
    if (ext->WakeSupported) {
        ArmWaitWake(ext);
    }
}

VOID NTAPI WakeUpDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                      PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    UNREFERENCED_PARAMETER(IoStatus);
    IoDecrement(static_cast<PDEVICE_EXTENSION>(Context));
}
