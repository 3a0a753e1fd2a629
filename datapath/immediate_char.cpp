#include "datapath/write.h"
#include "driver/accounting.h"
#include "usb/urb.h"

// Runs after the control dispatcher has checked the state and taken the
// request's reference; that reference stays until the completion.
NTSTATUS ImmediateCharControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = GetExtension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    ULONG length = stack->Parameters.DeviceIoControl.InputBufferLength;

    PURB urb = NULL;
    if (buffer != NULL && length != 0) {
        urb = static_cast<PURB>(ExAllocatePoolWithTag(
            NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), IMMEDIATE_CHAR_POOL_TAG));
    }
    if (urb == NULL) {
        IoDecrement(ext);
        return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }

    BuildBulkTransferUrb(urb, ext->BulkOutPipe, USBD_SHORT_TRANSFER_OK, buffer, length);
    AttachUrb(Irp, urb);
    IoSetCompletionRoutine(Irp, ImmediateCharCompletion, urb, TRUE, TRUE, TRUE);
    IoMarkIrpPending(Irp);
    IofCallDriver(ext->LowerDeviceObject, Irp);
    return STATUS_PENDING;
}

NTSTATUS NTAPI ImmediateCharCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    ExFreePool(Context);
    IoDecrement(GetExtension(DeviceObject));
    return STATUS_SUCCESS;
}
