#include "usb/urb.h"

void BuildBulkTransferUrb(PURB Urb, USBD_PIPE_HANDLE Pipe, ULONG TransferFlags, PVOID Buffer,
                          ULONG Length)
{
    struct _URB_BULK_OR_INTERRUPT_TRANSFER* bulk = &Urb->UrbBulkOrInterruptTransfer;
    bulk->Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    bulk->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    bulk->PipeHandle = Pipe;
    bulk->TransferFlags = TransferFlags;
    bulk->TransferBufferLength = Length;
    bulk->TransferBuffer = Buffer;
    bulk->TransferBufferMDL = NULL;
    bulk->UrbLink = NULL;
}

// The block must be cleared by the caller.
void BuildVendorRequestUrb(PURB Urb, BOOLEAN DirectionIn, UCHAR RequestTypeReservedBits,
                           UCHAR Request, USHORT Value, PVOID Buffer, ULONG BufferLength)
{
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST* vendor = &Urb->UrbControlVendorClassRequest;
    vendor->Hdr.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    vendor->Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
    vendor->TransferFlags = DirectionIn ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : 0;
    vendor->TransferBufferLength = BufferLength;
    vendor->TransferBuffer = Buffer;
    vendor->TransferBufferMDL = NULL;
    vendor->UrbLink = NULL;
    vendor->RequestTypeReservedBits = RequestTypeReservedBits;
    vendor->Request = Request;
    vendor->Value = Value;
    vendor->Index = 0;
}

// The block must be cleared by the caller.
void BuildResetPipeUrb(PURB Urb, USBD_PIPE_HANDLE Pipe)
{
    struct _URB_PIPE_REQUEST* pipe = &Urb->UrbPipeRequest;
    pipe->Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
    pipe->Hdr.Function = URB_FUNCTION_RESET_PIPE;
    pipe->PipeHandle = Pipe;
}

void AttachUrb(PIRP Irp, PURB Urb)
{
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Urb;
}
