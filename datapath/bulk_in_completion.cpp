#include "datapath/reader.h"
#include "datapath/ring.h"
#include "serial/lines.h"

NTSTATUS NTAPI BulkInCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    BULK_IN_CONTEXT* context = static_cast<BULK_IN_CONTEXT*>(Context);
    PDEVICE_EXTENSION ext = context->DeviceExtension;

    // A failed transfer may come back with the length it was sent with (a
    // request refused before it reached the device): its bytes never came.
    if (NT_SUCCESS(Irp->IoStatus.Status) && !Irp->Cancel) {
        ULONG n = context->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        // Never trust a length beyond the buffer the transfer was given.
        if (n > READER_TRANSFER_SIZE) {
            n = READER_TRANSFER_SIZE;
        }
        if (n != 0) {
            RingAppend(ext, context->Buffer, n);
            RtlZeroMemory(context->Buffer, READER_TRANSFER_SIZE);
            ULONG events = CheckReceiveEvents(ext->FunctionalDeviceObject, RECEIVE_EVENT_CANDIDATES);
            if (events != 0) {
                CompleteWaitIrp(ext->FunctionalDeviceObject, events);
            }
        }
    }

    context->Status = Irp->IoStatus.Status;
    context->UsbdStatus = context->Urb->UrbHeader.Status;
    // Last touch of the shared blocks: the thread may free them once woken.
    KeSetEvent(&ext->BulkInDoneEvent, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
