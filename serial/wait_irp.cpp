#include "serial/lines.h"
#include "driver/accounting.h"

NTSTATUS CompleteWaitIrp(PDEVICE_OBJECT FunctionalDeviceObject, ULONG Events)
{
    PDEVICE_EXTENSION ext = GetExtension(FunctionalDeviceObject);
    KIRQL irql;
    KeAcquireSpinLock(&ext->WaitIrpLock, &irql);
    PIRP irp = ext->PendingWaitIrp;
    if (irp != NULL && IoSetCancelRoutine(irp, NULL) == NULL) {
        // Its cancel routine runs and waits for this lock: it takes the IRP
        // out of the slot and ends it.
        irp = NULL;
    } else {
        ext->PendingWaitIrp = NULL;
    }
    KeReleaseSpinLock(&ext->WaitIrpLock, irql);
    if (irp == NULL) {
        return STATUS_SUCCESS;
    }

    ULONG* out = static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer);
    if (out != NULL) {
        *out = Events;
    }
    NTSTATUS status = CompleteRequest(irp, STATUS_SUCCESS, sizeof(ULONG));
    IoDecrement(ext);
    return status;
}

VOID NTAPI WaitCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    PDEVICE_EXTENSION ext = GetExtension(DeviceObject);

    KIRQL irql;
    KeAcquireSpinLock(&ext->WaitIrpLock, &irql);
    // The routine is set only while the IRP is in the slot, and whoever
    // takes it out clears the routine first: it is still there.
    if (ext->PendingWaitIrp == Irp) {
        ext->PendingWaitIrp = NULL;
    }
    KeReleaseSpinLock(&ext->WaitIrpLock, irql);

    CompleteRequest(Irp, STATUS_CANCELLED, 0);
    IoDecrement(ext);
}
