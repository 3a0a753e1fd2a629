#include "pnp/pnp.h"

// Power requests pass to the bus: the device keeps D0 while the system
// works, and removal refuses them as the power manager expects.
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = GetExtension(DeviceObject);
    PoStartNextPowerIrp(Irp);
    if (ext->DeviceState == Removed) {
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = STATUS_DELETE_PENDING;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_DELETE_PENDING;
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(ext->LowerDeviceObject, Irp);
}
