#include "usb/submit.h"
#include "usb/urb.h"

// Time limits for vendor requests, in milliseconds.
const ULONG VENDOR_IN_TIMEOUT_MS = 200;
const ULONG VENDOR_OUT_TIMEOUT_MS = 100;
// A reset is a control transfer of a few frames; a device that never
// answers it must not hold the open (or the reader) forever.
const ULONG RESET_PIPE_TIMEOUT_MS = 500;
const int DTR_ATTEMPTS = 3;

NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE PipeHandle)
{
    if (DeviceObject == NULL || PipeHandle == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    PURB urb = static_cast<PURB>(
        ExAllocatePoolWithTag(NonPagedPool, RESET_PIPE_BLOCK_SIZE, USBMODEM_POOL_TAG));
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(urb, RESET_PIPE_BLOCK_SIZE);
    BuildResetPipeUrb(urb, PipeHandle);
    NTSTATUS status = SubmitUrbWithTimeout(DeviceObject, urb, RESET_PIPE_TIMEOUT_MS);
    ExFreePool(urb);
    // Nobody else cancels the driver's own reset: it timed out.
    return status == STATUS_CANCELLED ? STATUS_IO_TIMEOUT : status;
}

NTSTATUS SendVendorRequest(PDEVICE_OBJECT DeviceObject, BOOLEAN DirectionIn,
                           UCHAR RequestTypeReservedBits, UCHAR Request, USHORT Value,
                           PVOID Buffer, ULONG BufferLength)
{
    const ULONG size = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, USBMODEM_POOL_TAG));
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(urb, size);
    BuildVendorRequestUrb(urb, DirectionIn, RequestTypeReservedBits, Request, Value, Buffer,
                          BufferLength);
    if (DirectionIn) {
        NTSTATUS status = SubmitUrbWithTimeout(DeviceObject, urb, VENDOR_IN_TIMEOUT_MS);
        ExFreePool(urb);
        return status;
    }
    // Requests to the device report success whatever the device answered.
    SubmitUrbWithTimeout(DeviceObject, urb, VENDOR_OUT_TIMEOUT_MS);
    ExFreePool(urb);
    return STATUS_SUCCESS;
}

static NTSTATUS SendDtr(PDEVICE_OBJECT DeviceObject, USHORT value)
{
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    for (int attempt = 0; attempt < DTR_ATTEMPTS; ++attempt) {
        status = SendVendorRequest(DeviceObject, FALSE, VENDOR_REQUEST_TYPE,
                                   VENDOR_REQUEST_SET_DTR, value, NULL, 0);
        if (NT_SUCCESS(status)) {
            break;
        }
    }
    return status;
}

NTSTATUS SetDtr(PDEVICE_OBJECT DeviceObject)
{
    return SendDtr(DeviceObject, 1);
}

NTSTATUS ClearDtr(PDEVICE_OBJECT DeviceObject)
{
    return SendDtr(DeviceObject, 0);
}
