#include "datapath/reader.h"
#include "datapath/ring.h"
#include "serial/lines.h"
#include "usb/submit.h"
#include "usb/urb.h"

// After a failed transfer, and while the ring is too full for another, the
// reader waits this long before it looks again: one USB frame, so that a
// transfer the stack refuses at once cannot turn the thread into a busy loop.
const LONGLONG FAILED_TRANSFER_PAUSE_100NS = 10000;

// Blocks the thread owns for its whole life, reused for every transfer.
struct READER_BLOCKS {
    PVOID* WaitArray;
    PURB Urb;
    PUCHAR Buffer;
    BULK_IN_CONTEXT* Context;
};

static void FreeReaderBlocks(READER_BLOCKS* blocks)
{
    if (blocks->Buffer != NULL) {
        ExFreePool(blocks->Buffer);
    }
    if (blocks->Context != NULL) {
        ExFreePool(blocks->Context);
    }
    if (blocks->Urb != NULL) {
        ExFreePool(blocks->Urb);
    }
    if (blocks->WaitArray != NULL) {
        ExFreePool(blocks->WaitArray);
    }
}

static BOOLEAN AllocateReaderBlocks(PDEVICE_EXTENSION ext, READER_BLOCKS* blocks)
{
    blocks->WaitArray = static_cast<PVOID*>(
        ExAllocatePoolWithTag(NonPagedPool, 2 * sizeof(PVOID), USBMODEM_POOL_TAG));
    if (blocks->WaitArray == NULL) {
        return FALSE;
    }
    blocks->WaitArray[0] = &ext->StopReaderEvent;
    blocks->WaitArray[1] = &ext->BulkInDoneEvent;

    blocks->Urb = static_cast<PURB>(ExAllocatePoolWithTag(
        NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), USBMODEM_POOL_TAG));
    if (blocks->Urb == NULL) {
        return FALSE;
    }
    blocks->Buffer = static_cast<PUCHAR>(
        ExAllocatePoolWithTag(NonPagedPool, READER_TRANSFER_SIZE, USBMODEM_POOL_TAG));
    if (blocks->Buffer == NULL) {
        return FALSE;
    }
    blocks->Context = static_cast<BULK_IN_CONTEXT*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(BULK_IN_CONTEXT), USBMODEM_POOL_TAG));
    return blocks->Context != NULL;
}

// Sends one bulk-in transfer in a fresh IRP; NULL when no IRP is available.
static PIRP SendTransfer(PDEVICE_EXTENSION ext, READER_BLOCKS* blocks)
{
    PIRP irp = IoAllocateIrp(ext->LowerDeviceObject->StackSize, FALSE);
    if (irp == NULL) {
        return NULL;
    }
    BuildBulkTransferUrb(blocks->Urb, ext->BulkInPipe,
                         USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, blocks->Buffer,
                         READER_TRANSFER_SIZE);
    AttachUrb(irp, blocks->Urb);
    blocks->Context->Irp = irp;
    blocks->Context->Urb = blocks->Urb;
    blocks->Context->DeviceExtension = ext;
    blocks->Context->Buffer = blocks->Buffer;
    blocks->Context->Status = STATUS_PENDING;
    blocks->Context->UsbdStatus = USBD_STATUS_PENDING;
    IoSetCompletionRoutine(irp, BulkInCompletion, blocks->Context, TRUE, TRUE, TRUE);

    KeClearEvent(&ext->BulkInDoneEvent);
    IofCallDriver(ext->LowerDeviceObject, irp);
    return irp;
}

static BOOLEAN DeviceIsGone(const BULK_IN_CONTEXT* context)
{
    return context->Status == STATUS_DEVICE_NOT_CONNECTED ||
           context->Status == STATUS_NO_SUCH_DEVICE ||
           context->Status == STATUS_DELETE_PENDING ||
           context->UsbdStatus == USBD_STATUS_DEVICE_GONE;
}

// Error codes with both top bits set leave the endpoint halted in the host
// controller until a pipe reset; nothing else would ever clear it.
static BOOLEAN PipeIsHalted(const BULK_IN_CONTEXT* context)
{
    return (static_cast<ULONG>(context->UsbdStatus) >> 30) == 3 &&
           context->UsbdStatus != USBD_STATUS_CANCELED;
}

// A transfer failed. Returns FALSE when the thread is to stop: the stop was
// asked for, or the device is gone and only the stop can follow.
static BOOLEAN RecoverFromFailedTransfer(PDEVICE_EXTENSION ext, READER_BLOCKS* blocks)
{
    if (DeviceIsGone(blocks->Context)) {
        KeWaitForSingleObject(&ext->StopReaderEvent, Executive, KernelMode, FALSE, NULL);
        return FALSE;
    }
    if (PipeIsHalted(blocks->Context)) {
        ResetPipe(ext->FunctionalDeviceObject, ext->BulkInPipe);
    }
    LARGE_INTEGER pause;
    pause.QuadPart = -FAILED_TRANSFER_PAUSE_100NS;
    NTSTATUS wait =
        KeWaitForSingleObject(&ext->StopReaderEvent, Executive, KernelMode, FALSE, &pause);
    return wait == STATUS_TIMEOUT;
}

// The device keeps what the ring has no room for (it NAKs until asked), so
// the reader asks only when a whole transfer fits; bytes taken from the
// device and then dropped would be lost for good. Returns FALSE when the
// stop was asked for meanwhile.
static BOOLEAN WaitForRoomInRing(PDEVICE_EXTENSION ext)
{
    // The ring's producers and consumers change the count with interlocked
    // operations; read it as one too.
    while (InterlockedCompareExchange(&ext->RingCount, 0, 0) >
           static_cast<LONG>(RING_SIZE - READER_TRANSFER_SIZE)) {
        LARGE_INTEGER pause;
        pause.QuadPart = -FAILED_TRANSFER_PAUSE_100NS;
        NTSTATUS wait =
            KeWaitForSingleObject(&ext->StopReaderEvent, Executive, KernelMode, FALSE, &pause);
        if (wait != STATUS_TIMEOUT) {
            return FALSE;
        }
    }
    return TRUE;
}

VOID NTAPI BulkInReader(PVOID StartContext)
{
    PDEVICE_EXTENSION ext = static_cast<PDEVICE_EXTENSION>(StartContext);
    READER_BLOCKS blocks = {NULL, NULL, NULL, NULL};
    if (!AllocateReaderBlocks(ext, &blocks)) {
        FreeReaderBlocks(&blocks);
        PsTerminateSystemThread(STATUS_SUCCESS);
        return;
    }

    PIRP irp = NULL;
    BOOLEAN inFlight = FALSE;
    for (;;) {
        if (irp != NULL) {
            IoFreeIrp(irp);
            irp = NULL;
        }
        if (!WaitForRoomInRing(ext)) {
            break;
        }
        irp = SendTransfer(ext, &blocks);
        if (irp == NULL) {
            break;
        }
        inFlight = TRUE;
        NTSTATUS wait = KeWaitForMultipleObjects(2, blocks.WaitArray, WaitAny, Executive,
                                                 KernelMode, FALSE, NULL, NULL);
        if (wait == STATUS_WAIT_1) {
            inFlight = FALSE;
            NTSTATUS status = blocks.Context->Status;
            if (!NT_SUCCESS(status) && status != STATUS_CANCELLED &&
                !RecoverFromFailedTransfer(ext, &blocks)) {
                break;
            }
            continue;
        }
        if (wait == STATUS_WAIT_0) {
            IoCancelIrp(irp);
        }
        break;
    }

    if (inFlight) {
        // After this the completion routine is done with the IRP, URB and buffer.
        KeWaitForSingleObject(&ext->BulkInDoneEvent, Executive, KernelMode, FALSE, NULL);
    }
    if (irp != NULL) {
        IoFreeIrp(irp);
    }
    FreeReaderBlocks(&blocks);
    PsTerminateSystemThread(STATUS_SUCCESS);
}
