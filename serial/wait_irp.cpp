#include "serial/lines.h"
#include "driver/accounting.h"

NTSTATUS CompleteWaitIrp(PDEVICE_OBJECT FunctionalDeviceObject, ULONG Events)
{
    PDEVICE_EXTENSION ext = GetExtension(FunctionalDeviceObject);
    KIRQL irql;
    KeAcquireSpinLock(&ext->WaitIrpLock, &irql);
    PIRP irp = ext->PendingWaitIrp;
    ext->PendingWaitIrp = NULL;
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
