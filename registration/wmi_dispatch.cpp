#include "registration/wmi.h"
#include "driver/accounting.h"

extern WMIGUIDREGINFO WmiGuidList[1];

NTSTATUS RegisterWmi(PDEVICE_EXTENSION ext)
{
    PWMILIB_CONTEXT context = &ext->WmiLibContext;
    context->ExecuteWmiMethod = NULL;
    context->WmiFunctionControl = NULL;
    context->GuidCount = 1;
    context->GuidList = WmiGuidList;
    context->QueryWmiRegInfo = QueryRegInfo;
    context->QueryWmiDataBlock = QueryDataBlock;
    context->SetWmiDataBlock = SetDataBlock;
    context->SetWmiDataItem = SetDataItem;
    return IoWMIRegistrationControl(ext->FunctionalDeviceObject, WMIREG_ACTION_REGISTER);
}

NTSTATUS DeregisterWmi(PDEVICE_EXTENSION ext)
{
    return IoWMIRegistrationControl(ext->FunctionalDeviceObject, WMIREG_ACTION_DEREGISTER);
}

NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = GetExtension(DeviceObject);
    if (ext->DeviceState == Removed) {
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = STATUS_DELETE_PENDING;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_DELETE_PENDING;
    }
    IoIncrement(ext);
    SYSCTL_IRP_DISPOSITION disposition;
    NTSTATUS status = WmiSystemControl(&ext->WmiLibContext, DeviceObject, Irp, &disposition);
    switch (disposition) {
    case IrpProcessed:
        break;
    case IrpNotCompleted:
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        break;
    default:
        IoSkipCurrentIrpStackLocation(Irp);
        status = IofCallDriver(ext->LowerDeviceObject, Irp);
        break;
    }
    IoDecrement(ext);
    return status;
}
