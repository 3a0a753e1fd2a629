#include "usb/status_poll.h"
#include "usb/submit.h"
#include "serial/lines.h"
#include "driver/accounting.h"

// Status bits and the lines they drive.
const UCHAR STATUS_BIT0 = 0x01;  // CTS, DSR and carrier detect
const UCHAR STATUS_BIT1 = 0x02;  // DSR and carrier detect
const USHORT STATUS_BIT0_LINES = LINE_CTS | LINE_DSR | LINE_RLSD;
const USHORT STATUS_BIT1_LINES = LINE_DSR | LINE_RLSD;

static void FreePollContext(POLL_CONTEXT* context)
{
    if (context->Buffer != NULL) {
        ExFreePool(context->Buffer);
    }
    ExFreePool(context);
}

VOID NTAPI StatusPollTimer(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    UNREFERENCED_PARAMETER(Context);
    POLL_CONTEXT* context = static_cast<POLL_CONTEXT*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(POLL_CONTEXT), USBMODEM_POOL_TAG));
    if (context == NULL) {
        return;
    }
    context->Buffer = static_cast<PUCHAR>(
        ExAllocatePoolWithTag(NonPagedPool, 1, USBMODEM_POOL_TAG));
    if (context->Buffer == NULL) {
        FreePollContext(context);
        return;
    }
    context->WorkItem = IoAllocateWorkItem(DeviceObject);
    if (context->WorkItem == NULL) {
        FreePollContext(context);
        return;
    }
    context->Length = 1;
    // Held until the worker has finished, so drains and removal never leave
    // a queued poll behind a deleted device.
    IoIncrement(GetExtension(DeviceObject));
    IoQueueWorkItem(context->WorkItem, StatusPollWorker, DelayedWorkQueue, context);
}

// Applies one status bit if it differs from the value last applied.
static void ApplyStatusBit(PDEVICE_EXTENSION ext, UCHAR bit, UCHAR* last, USHORT lines)
{
    if (bit == *last) {
        return;
    }
    *last = bit;
    UpdateLineState(ext, bit ? lines : static_cast<USHORT>(~lines), lines);
}

VOID NTAPI StatusPollWorker(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    POLL_CONTEXT* context = static_cast<POLL_CONTEXT*>(Context);
    PDEVICE_EXTENSION ext = GetExtension(DeviceObject);

    // A reply may succeed without delivering its byte; starting from the bits
    // last applied makes such a reply change nothing.
    context->Buffer[0] = static_cast<UCHAR>(ext->LastStatusBit0 | (ext->LastStatusBit1 << 1));
    NTSTATUS status = SendVendorRequest(DeviceObject, TRUE, VENDOR_REQUEST_TYPE,
                                        VENDOR_REQUEST_GET_STATUS, 0, context->Buffer,
                                        context->Length);
    if (NT_SUCCESS(status)) {
        UCHAR b = context->Buffer[0];
        ApplyStatusBit(ext, (b & STATUS_BIT0) ? 1 : 0, &ext->LastStatusBit0, STATUS_BIT0_LINES);
        ApplyStatusBit(ext, (b & STATUS_BIT1) ? 1 : 0, &ext->LastStatusBit1, STATUS_BIT1_LINES);
    }

    IoFreeWorkItem(context->WorkItem);
    FreePollContext(context);
    IoDecrement(ext);
}
