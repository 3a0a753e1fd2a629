#include "pnp/pnp.h"
#include "usb/submit.h"

PAGED_CODE_SEG NTSTATUS HandleCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    PDEVICE_EXTENSION ext = GetExtension(DeviceObject);
    PDEVICE_CAPABILITIES capabilities =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    if (capabilities->Version < 1 || capabilities->Size < sizeof(DEVICE_CAPABILITIES)) {
        return STATUS_UNSUCCESSFUL;
    }
    capabilities->Removable = TRUE;
    capabilities->SilentInstall = TRUE;
    capabilities->SurpriseRemovalOK = TRUE;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = ForwardIrpSynchronously(DeviceObject, Irp);
    if (NT_SUCCESS(status)) {
        RtlCopyMemory(&ext->DeviceCapabilities, capabilities, sizeof(DEVICE_CAPABILITIES));
        // Whatever the bus said: the modem is unplugged by hand.
        capabilities->Removable = TRUE;
        capabilities->SurpriseRemovalOK = TRUE;
    }
    return status;
}
