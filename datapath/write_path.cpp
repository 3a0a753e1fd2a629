#include "datapath/write.h"
#include "driver/accounting.h"
#include "usb/urb.h"

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = GetExtension(DeviceObject);
    if (ext->DeviceState != Working) {
        return CompleteRequest(Irp, STATUS_UNSUCCESSFUL, 0);
    }
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_PENDING;
    IoMarkIrpPending(Irp);
    IoStartPacket(DeviceObject, Irp, NULL, NULL);
    return STATUS_PENDING;
}

static ULONG PieceLength(ULONG remaining)
{
    return remaining < MAX_TRANSFER_SIZE ? remaining : MAX_TRANSFER_SIZE;
}

static void SendPiece(WRITE_CONTEXT* context, PIRP Irp)
{
    PDEVICE_EXTENSION ext = context->DeviceExtension;
    BuildBulkTransferUrb(context->Urb, ext->BulkOutPipe, USBD_SHORT_TRANSFER_OK,
                         context->NextBuffer, PieceLength(context->Remaining));
    AttachUrb(Irp, context->Urb);
    IoSetCompletionRoutine(Irp, WriteCompletion, context, TRUE, TRUE, TRUE);
    IofCallDriver(ext->LowerDeviceObject, Irp);
}

// Starts the write after the one that has just ended. A write that fails
// inside IofCallDriver ends inside its own StartIo; starting its successor
// from there would nest one StartIo per queued write. Whoever finds no start
// in progress runs them one after another instead, counting the requests
// that arrive meanwhile from nested or concurrent ends.
// IoStartNextPacket wants DISPATCH_LEVEL; a completion may run below it.
static void StartNextWrite(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION ext = GetExtension(DeviceObject);
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    if (InterlockedIncrement(&ext->WriteStartRequests) == 1) {
        do {
            IoStartNextPacket(DeviceObject, TRUE);
        } while (InterlockedDecrement(&ext->WriteStartRequests) != 0);
    }
    KeLowerIrql(irql);
}

VOID NTAPI StartIo(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = GetExtension(DeviceObject);
    // The write's reference, held from here until the write has ended and the
    // next one has been started, so a drain never sees the device idle while
    // a write is between the device queue and the bus.
    IoIncrement(ext);

    PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(
        NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), USBMODEM_POOL_TAG));
    WRITE_CONTEXT* context = NULL;
    if (urb != NULL) {
        context = static_cast<WRITE_CONTEXT*>(
            ExAllocatePoolWithTag(NonPagedPool, sizeof(WRITE_CONTEXT), USBMODEM_POOL_TAG));
    }
    if (context == NULL) {
        if (urb != NULL) {
            ExFreePool(urb);
        }
        CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        StartNextWrite(DeviceObject);
        IoDecrement(ext);
        return;
    }

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    context->Urb = urb;
    context->Remaining = stack->Parameters.Write.Length;
    context->Transferred = 0;
    context->NextBuffer = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
    context->DeviceExtension = ext;
    SendPiece(context, Irp);
}

NTSTATUS NTAPI WriteCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    WRITE_CONTEXT* context = static_cast<WRITE_CONTEXT*>(Context);
    PDEVICE_EXTENSION ext = context->DeviceExtension;

    if (NT_SUCCESS(Irp->IoStatus.Status)) {
        ULONG sent = PieceLength(context->Remaining);
        ULONG t = context->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        // A count beyond the piece would run past the caller's buffer.
        if (t > sent) {
            t = sent;
        }
        AddToCounter(&ext->PerfStats.TransmittedCount, t);
        context->Transferred += t;
        context->Remaining -= t;
        // A piece accepted with no progress would be resent forever; the
        // write ends short instead, reporting what went out.
        if (context->Remaining != 0 && t != 0) {
            context->NextBuffer += t;
            SendPiece(context, Irp);
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
    }
    // Also when a later piece failed: the caller must learn what went out
    // before it, or it would send those bytes again.
    Irp->IoStatus.Information = context->Transferred;

    ExFreePool(context->Urb);
    ExFreePool(context);
    StartNextWrite(ext->FunctionalDeviceObject);
    // Last: once the reference is gone the device object may be deleted.
    IoDecrement(ext);
    return STATUS_SUCCESS;
}
