#include "pnp/power.h"
#include "driver/accounting.h"
#include "datapath/reader.h"

static void FreeReturnToD0Work(PDEVICE_EXTENSION ext)
{
    POWER_WORK_CONTEXT* context = static_cast<POWER_WORK_CONTEXT*>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&ext->PowerUpWork), NULL));
    if (context != NULL) {
        IoFreeWorkItem(context->WorkItem);
        ExFreePool(context);
    }
}

static void CompletePowerUp(PDEVICE_EXTENSION ext, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    IoDecrement(ext);
}

// An open port whose reader was stopped for a lower power level.
static BOOLEAN ReaderNeedsRestart(PDEVICE_EXTENSION ext)
{
    return ext->OpenCount > 0 && ext->ReaderThread == NULL;
}

// The return to D0 that the bus completed at a raised IRQL: the reader's
// thread can only be created here, and the request completes after it.
static VOID NTAPI RestartReaderWorker(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    POWER_WORK_CONTEXT* context = static_cast<POWER_WORK_CONTEXT*>(Context);
    PDEVICE_EXTENSION ext = GetExtension(DeviceObject);
    PIRP irp = context->Irp;
    if (ReaderNeedsRestart(ext)) {
        StartReader(ext);
    }
    IoFreeWorkItem(context->WorkItem);
    ExFreePool(context);
    CompletePowerUp(ext, irp);
}

NTSTATUS NTAPI PowerUpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PDEVICE_EXTENSION ext = static_cast<PDEVICE_EXTENSION>(Context);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    if (!NT_SUCCESS(Irp->IoStatus.Status)) {
        FreeReturnToD0Work(ext);
        PoStartNextPowerIrp(Irp);
        IoDecrement(ext);
        return STATUS_SUCCESS;
    }
    FinishPowerUp(DeviceObject, Irp, ext);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void FinishPowerUp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PDEVICE_EXTENSION ext)
{
    POWER_STATE state = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State;
    ext->DevicePowerState = state.DeviceState;
    PoSetPowerState(DeviceObject, DevicePowerState, state);

    if (state.DeviceState == PowerDeviceD0 && ReaderNeedsRestart(ext)) {
        if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
            StartReader(ext);
        } else {
            POWER_WORK_CONTEXT* context = static_cast<POWER_WORK_CONTEXT*>(
                InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&ext->PowerUpWork), NULL));
            context->Irp = Irp;
            IoQueueWorkItem(context->WorkItem, RestartReaderWorker, DelayedWorkQueue, context);
            return;
        }
    }
    FreeReturnToD0Work(ext);
    CompletePowerUp(ext, Irp);
}
