#include "pnp/pnp.h"
#include "pnp/power.h"
#include "driver/accounting.h"

NTSTATUS FinishPowerIrp(PDEVICE_EXTENSION ext, PIRP Irp, NTSTATUS Status)
{
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = Status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    IoDecrement(ext);
    return Status;
}

NTSTATUS PassPowerIrpDown(PDEVICE_EXTENSION ext, PIRP Irp, PIO_COMPLETION_ROUTINE Completion)
{
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoGetNextIrpStackLocation(Irp)->Control = 0;
    IoSetCompletionRoutine(Irp, Completion, ext, TRUE, TRUE, TRUE);
    return PoCallDriver(ext->LowerDeviceObject, Irp);
}

static NTSTATUS PassWaitWakeDown(PDEVICE_EXTENSION ext, PIRP Irp)
{
    IoMarkIrpPending(Irp);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoGetNextIrpStackLocation(Irp)->Control = 0;
    IoSetCompletionRoutine(Irp, WaitWakeCompletion, ext, TRUE, TRUE, TRUE);
    PoStartNextPowerIrp(Irp);
    PoCallDriver(ext->LowerDeviceObject, Irp);
    // The bus keeps it until the modem signals; removal must not wait for it.
    IoDecrement(ext);
    return STATUS_PENDING;
}

static NTSTATUS PassOtherPowerIrpDown(PDEVICE_EXTENSION ext, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = PoCallDriver(ext->LowerDeviceObject, Irp);
    IoDecrement(ext);
    return status;
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = GetExtension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    if (ext->DeviceState == Removed) {
        PoStartNextPowerIrp(Irp);
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = STATUS_DELETE_PENDING;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_DELETE_PENDING;
    }
    if (ext->DeviceState == NotStarted) {
        // Not started, or the port is closed: the bus alone handles power.
        PoStartNextPowerIrp(Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        return PoCallDriver(ext->LowerDeviceObject, Irp);
    }

    IoIncrement(ext);
    BOOLEAN isSystem = stack->Parameters.Power.Type == SystemPowerState;
    switch (stack->MinorFunction) {
    case IRP_MN_WAIT_WAKE:
        return PassWaitWakeDown(ext, Irp);
    case IRP_MN_SET_POWER:
        IoMarkIrpPending(Irp);
        if (isSystem) {
            SystemSetPower(DeviceObject, Irp);
        } else {
            DeviceSetPower(DeviceObject, Irp);
        }
        return STATUS_PENDING;
    case IRP_MN_QUERY_POWER:
        // Marked pending, so whatever the handler did, the caller must be
        // told STATUS_PENDING and learn the outcome from completion.
        IoMarkIrpPending(Irp);
        if (isSystem) {
            SystemQueryPower(DeviceObject, Irp);
        } else {
            DeviceQueryPower(DeviceObject, Irp);
        }
        return STATUS_PENDING;
    default:
        return PassOtherPowerIrpDown(ext, Irp);
    }
}
