#include "usb/submit.h"
#include "driver/accounting.h"

// States of one time-limited submission, shared with its completion routine.
enum SUBMIT_STATE : LONG {
    SubmitInFlight = 1,
    SubmitCancelling = 2,
    SubmitCancelIssued = 3,
    SubmitCompleted = 4
};

// The submitter's event and status block start clear; the IRP carries the URB.
static PIRP BuildUrbIrp(PDEVICE_EXTENSION ext, PURB Urb, PKEVENT event, PIO_STATUS_BLOCK iosb)
{
    KeInitializeEvent(event, NotificationEvent, FALSE);
    iosb->Status = STATUS_SUCCESS;
    iosb->Information = 0;
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, ext->LowerDeviceObject,
                                             NULL, 0, NULL, 0, TRUE, event, iosb);
    if (irp != NULL) {
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;
    }
    return irp;
}

static void WaitWithoutLimit(PKEVENT event)
{
    KeWaitForSingleObject(event, Executive, KernelMode, FALSE, NULL);
}

NTSTATUS SubmitUrbSynchronous(PDEVICE_OBJECT DeviceObject, PURB Urb)
{
    PDEVICE_EXTENSION ext = GetExtension(DeviceObject);
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    PIRP irp = BuildUrbIrp(ext, Urb, &event, &iosb);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoIncrement(ext);
    NTSTATUS status = IofCallDriver(ext->LowerDeviceObject, irp);
    if (status == STATUS_PENDING) {
        WaitWithoutLimit(&event);
        status = iosb.Status;
    }
    IoDecrement(ext);
    return status;
}

// The time limit has passed: cancel unless the request is already done, and
// resume a completion that SubmitUrbCompletion halted meanwhile.
static void CancelTimedOutIrp(PIRP irp, volatile LONG* state)
{
    LONG old = InterlockedExchange(state, SubmitCancelling);
    if (old == SubmitInFlight) {
        IoCancelIrp(irp);
        old = InterlockedExchange(state, SubmitCancelIssued);
        if (old == SubmitCompleted) {
            IofCompleteRequest(irp, IO_NO_INCREMENT);
        }
    }
}

NTSTATUS SubmitUrbWithTimeout(PDEVICE_OBJECT DeviceObject, PURB Urb, ULONG TimeoutMs)
{
    PDEVICE_EXTENSION ext = GetExtension(DeviceObject);
    volatile LONG state = SubmitInFlight;
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    PIRP irp = BuildUrbIrp(ext, Urb, &event, &iosb);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoSetCompletionRoutine(irp, SubmitUrbCompletion, const_cast<LONG*>(&state), TRUE, TRUE, TRUE);

    IoIncrement(ext);
    NTSTATUS status = IofCallDriver(ext->LowerDeviceObject, irp);
    if (status == STATUS_PENDING) {
        if (TimeoutMs == 0) {
            WaitWithoutLimit(&event);
            status = iosb.Status;
        } else {
            LARGE_INTEGER timeout;
            timeout.QuadPart = -static_cast<LONGLONG>(TimeoutMs) * 10000;
            NTSTATUS wait = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
            if (wait != STATUS_TIMEOUT) {
                status = iosb.Status;
            } else {
                CancelTimedOutIrp(irp, &state);
                // Only now is the URB no longer in use.
                WaitWithoutLimit(&event);
                status = STATUS_CANCELLED;
            }
        }
    }
    IoDecrement(ext);
    return status;
}

NTSTATUS NTAPI SubmitUrbCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    LONG old = InterlockedExchange(static_cast<volatile LONG*>(Context), SubmitCompleted);
    if (old == SubmitCancelling) {
        // The submitter is between its exchanges and resumes the completion.
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    return STATUS_SUCCESS;
}
