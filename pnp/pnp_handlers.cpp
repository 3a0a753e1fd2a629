#include "pnp/pnp.h"
#include "driver/accounting.h"
#include "datapath/reader.h"
#include "registration/port_name.h"
#include "serial/lines.h"
#include "registration/wmi.h"
#include "usb/configuration.h"
#include "usb/submit.h"

static PAGED_CODE_SEG void FreeInterfaceInfo(PDEVICE_EXTENSION ext)
{
    if (ext->InterfaceInfo != NULL) {
        ExFreePool(ext->InterfaceInfo);
        ext->InterfaceInfo = NULL;
    }
}

static PAGED_CODE_SEG NTSTATUS SucceedAndSkip(PDEVICE_EXTENSION ext, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoSkipCurrentIrpStackLocation(Irp);
    return IofCallDriver(ext->LowerDeviceObject, Irp);
}

static PAGED_CODE_SEG NTSTATUS SucceedAndCopy(PDEVICE_EXTENSION ext, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCopyCurrentIrpStackLocationToNext(Irp);
    return IofCallDriver(ext->LowerDeviceObject, Irp);
}

PAGED_CODE_SEG NTSTATUS HandleQuery(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG PendingState)
{
    PAGED_CODE();
    PDEVICE_EXTENSION ext = GetExtension(DeviceObject);
    ext->PreviousDeviceState = ext->DeviceState;
    ext->DeviceState = PendingState;
    // A pending wait holds a reference, and with control requests now
    // refused nothing else could end it: it ends here, with mask 0.
    CompleteWaitIrp(DeviceObject, 0);
    IoDecrement(ext);
    KeWaitForSingleObject(&ext->NoPendingIoEvent, Executive, KernelMode, FALSE, NULL);
    return SucceedAndSkip(ext, Irp);
}

PAGED_CODE_SEG NTSTATUS HandleCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG PendingState)
{
    PAGED_CODE();
    PDEVICE_EXTENSION ext = GetExtension(DeviceObject);
    if (ext->DeviceState != PendingState) {
        IoSkipCurrentIrpStackLocation(Irp);
        return IofCallDriver(ext->LowerDeviceObject, Irp);
    }
    NTSTATUS status = ForwardIrpSynchronously(DeviceObject, Irp);
    if (NT_SUCCESS(status)) {
        ext->DeviceState = ext->PreviousDeviceState;
    }
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

PAGED_CODE_SEG NTSTATUS HandleStop(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    PDEVICE_EXTENSION ext = GetExtension(DeviceObject);
    if (ext->InterfaceName.Buffer != NULL) {
        IoSetDeviceInterfaceState(&ext->InterfaceName, FALSE);
    }
    StopDeviceActivity(DeviceObject);
    ext->DeviceState = NotStarted;
    ext->Stopped = TRUE;
    NTSTATUS status = SucceedAndCopy(ext, Irp);
    FreeInterfaceInfo(ext);
    return status;
}

PAGED_CODE_SEG NTSTATUS HandleSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    PDEVICE_EXTENSION ext = GetExtension(DeviceObject);
    // The port may be closing on another thread at this moment.
    InterlockedExchange(reinterpret_cast<volatile LONG *>(&ext->DeviceState), SurpriseRemoved);
    if (ext->InterfaceName.Buffer != NULL) {
        IoSetDeviceInterfaceState(&ext->InterfaceName, FALSE);
    }
    StopDeviceActivity(DeviceObject);
    IoDecrement(ext);
    return SucceedAndSkip(ext, Irp);
}

PAGED_CODE_SEG NTSTATUS HandleRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    PDEVICE_EXTENSION ext = GetExtension(DeviceObject);
    if (ext->DeviceState != SurpriseRemoved) {
        StopDeviceActivity(DeviceObject);
    }
    ext->DeviceState = Removed;
    IoDecrement(ext);
    IoDecrement(ext);
    KeWaitForSingleObject(&ext->RemoveEvent, Executive, KernelMode, FALSE, NULL);
    RemovePortName(ext->PhysicalDeviceObject);
    DeregisterWmi(ext);
    NTSTATUS status = SucceedAndCopy(ext, Irp);
    ReleaseConfiguration(DeviceObject);
    RtlFreeUnicodeString(&ext->InterfaceName);
    FreeInterfaceInfo(ext);
    if (ext->LowerDeviceObject != NULL) {
        IoDetachDevice(ext->LowerDeviceObject);
    }
    IoDeleteDevice(DeviceObject);
    return status;
}

// A start after a stop (a resource rebalance) gives back what the stop took
// from a port that may still be open: its interface, and its reader.
PAGED_CODE_SEG void RestoreAfterStop(PDEVICE_EXTENSION ext)
{
    PAGED_CODE();
    if (!ext->Stopped) {
        return;
    }
    ext->Stopped = FALSE;
    if (ext->InterfaceName.Buffer != NULL) {
        IoSetDeviceInterfaceState(&ext->InterfaceName, TRUE);
    }
    if (ext->OpenCount > 0 && ext->ReaderThread == NULL) {
        StartReader(ext);
    }
}
