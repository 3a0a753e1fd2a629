#include "driver/entry.h"
#include "datapath/read_queue.h"
#include "datapath/write.h"
#include "pnp/pnp.h"
#include "registration/wmi.h"
#include "serial/control.h"
#include "serial/open_close.h"

UNICODE_STRING DriverRegistryPath = {0, 0, NULL};

INIT_CODE NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    USHORT length = RegistryPath->Length;
    USHORT maximumLength = static_cast<USHORT>(length + sizeof(WCHAR));
    PWSTR buffer = static_cast<PWSTR>(
        ExAllocatePoolWithTag(PagedPool, maximumLength, USBMODEM_POOL_TAG));
    if (buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(buffer, maximumLength);
    RtlCopyMemory(buffer, RegistryPath->Buffer, length);
    DriverRegistryPath.Length = length;
    DriverRegistryPath.MaximumLength = maximumLength;
    DriverRegistryPath.Buffer = buffer;

    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->DriverUnload = Unload;
    DriverObject->DriverStartIo = StartIo;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = DispatchRead;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    if (DriverRegistryPath.Buffer != NULL) {
        ExFreePool(DriverRegistryPath.Buffer);
        DriverRegistryPath.Buffer = NULL;
    }
}
