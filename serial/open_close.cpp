#include "serial/open_close.h"
#include "serial/lines.h"
#include "datapath/reader.h"
#include "datapath/read_queue.h"
#include "driver/accounting.h"
#include "usb/submit.h"

static NTSTATUS RefuseOpen(PDEVICE_EXTENSION ext, PIRP Irp, NTSTATUS status)
{
    InterlockedDecrement(&ext->OpenCount);
    return CompleteRequest(Irp, status, 0);
}

PAGED_CODE_SEG NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    PDEVICE_EXTENSION ext = GetExtension(DeviceObject);

    if (InterlockedIncrement(&ext->OpenCount) > 1) {
        return RefuseOpen(ext, Irp, STATUS_ACCESS_DENIED);
    }
    if (ext->DeviceState == SurpriseRemoved || ext->DeviceState == Removed) {
        return RefuseOpen(ext, Irp, STATUS_DELETE_PENDING);
    }
    NTSTATUS status = ResetPipe(DeviceObject, ext->BulkOutPipe);
    if (!NT_SUCCESS(status)) {
        return RefuseOpen(ext, Irp, status);
    }
    status = ResetPipe(DeviceObject, ext->BulkInPipe);
    if (!NT_SUCCESS(status)) {
        return RefuseOpen(ext, Irp, status);
    }

    ResetPortState(ext);
    StartReader(ext);
    // Pulse DTR so the modem sees a fresh connection.
    ClearDtr(DeviceObject);
    SetDtr(DeviceObject);
    // Only from NotStarted: a pending stop or removal, or a removal that
    // came meanwhile, stays Plug and Play's to end.
    InterlockedCompareExchange(reinterpret_cast<volatile LONG *>(&ext->DeviceState), Working,
                               NotStarted);
    return CompleteRequest(Irp, status, 0);
}

// From here until the next open a wait-on-mask request ends at once.
static void RefuseNewWaits(PDEVICE_EXTENSION ext)
{
    KIRQL irql;
    KeAcquireSpinLock(&ext->WaitIrpLock, &irql);
    ext->CleanupInProgress = TRUE;
    KeReleaseSpinLock(&ext->WaitIrpLock, irql);
}

NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = GetExtension(DeviceObject);
    IoIncrement(ext);
    RefuseNewWaits(ext);
    CompleteWaitIrp(DeviceObject, 0);
    CancelQueuedReads(ext);

    // Drain: wait until every other request has dropped its reference.
    IoDecrement(ext);
    KeWaitForSingleObject(&ext->NoPendingIoEvent, Executive, KernelMode, FALSE, NULL);
    IoIncrement(ext);

    NTSTATUS status = SendVendorRequest(DeviceObject, FALSE, VENDOR_REQUEST_TYPE,
                                        VENDOR_REQUEST_SET_DTR, 0, NULL, 0);
    if (!NT_SUCCESS(status)) {
        IoDecrement(ext);
        return CompleteRequest(Irp, status, 0);
    }
    SendVendorRequest(DeviceObject, FALSE, VENDOR_REQUEST_TYPE, VENDOR_REQUEST_SET_DTR, 1, NULL, 0);
    IoDecrement(ext);
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

PAGED_CODE_SEG NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    PDEVICE_EXTENSION ext = GetExtension(DeviceObject);
    StopReader(ext);
    // Only a working port goes back to NotStarted; any other state belongs
    // to a Plug and Play request, perhaps a surprise removal on another thread.
    InterlockedCompareExchange(reinterpret_cast<volatile LONG *>(&ext->DeviceState), NotStarted,
                               Working);
    InterlockedDecrement(&ext->OpenCount);
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}
