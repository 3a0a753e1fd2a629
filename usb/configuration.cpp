#include "usb/configuration.h"
#include "usb/submit.h"
#include "usb/urb.h"

// Descriptor requests use a block of this size, never smaller than the
// structure on the build's platform.
const ULONG DESCRIPTOR_URB_BLOCK_SIZE =
    sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) > 80 ? sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)
                                                          : 80;

static PVOID Allocate(ULONG size)
{
    return ExAllocatePoolWithTag(NonPagedPool, size, USBMODEM_POOL_TAG);
}

static NTSTATUS GetDescriptor(PDEVICE_OBJECT DeviceObject, PURB Urb, UCHAR Type, PVOID Buffer,
                              ULONG Length)
{
    RtlZeroMemory(Urb, DESCRIPTOR_URB_BLOCK_SIZE);
    UsbBuildGetDescriptorRequest(Urb, static_cast<USHORT>(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)),
                                 Type, 0, 0, Buffer, NULL, Length, NULL);
    return SubmitUrbSynchronous(DeviceObject, Urb);
}

PAGED_CODE_SEG NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = GetExtension(DeviceObject);
    ext->InterfaceInfo = NULL;
    NTSTATUS status = ForwardIrpSynchronously(DeviceObject, Irp);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = ConfigureDevice(DeviceObject);
    if (NT_SUCCESS(status)) {
        ext->DeviceState = Working;
    }
    return status;
}

NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject)
{
    PURB urb = static_cast<PURB>(Allocate(DESCRIPTOR_URB_BLOCK_SIZE));
    PVOID buffer = urb != NULL ? Allocate(sizeof(USB_DEVICE_DESCRIPTOR)) : NULL;
    if (buffer == NULL) {
        if (urb != NULL) {
            ExFreePool(urb);
        }
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status =
        GetDescriptor(DeviceObject, urb, USB_DEVICE_DESCRIPTOR_TYPE, buffer, sizeof(USB_DEVICE_DESCRIPTOR));
    if (NT_SUCCESS(status)) {
        status = ReadConfiguration(DeviceObject);
    }
    ExFreePool(urb);
    ExFreePool(buffer);
    return status;
}

// The header first for wTotalLength, then the whole descriptor. Only the
// bytes that actually arrived are examined.
NTSTATUS ReadConfiguration(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION ext = GetExtension(DeviceObject);
    PURB urb = static_cast<PURB>(Allocate(DESCRIPTOR_URB_BLOCK_SIZE));
    PUCHAR header = urb != NULL ? static_cast<PUCHAR>(Allocate(sizeof(USB_CONFIGURATION_DESCRIPTOR))) : NULL;
    if (header == NULL) {
        if (urb != NULL) {
            ExFreePool(urb);
        }
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = GetDescriptor(DeviceObject, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, header,
                                    sizeof(USB_CONFIGURATION_DESCRIPTOR));
    ULONG received = urb->UrbControlDescriptorRequest.TransferBufferLength;
    ULONG total = static_cast<ULONG>(header[2] | (header[3] << 8));
    ExFreePool(header);
    if (!NT_SUCCESS(status)) {
        ExFreePool(urb);
        return status;
    }
    // A header that did not arrive whole, or that claims less than itself,
    // describes nothing that can be configured.
    if (received < sizeof(USB_CONFIGURATION_DESCRIPTOR) || total < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        ExFreePool(urb);
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    PUSB_CONFIGURATION_DESCRIPTOR descriptor = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(Allocate(total));
    if (descriptor == NULL) {
        ExFreePool(urb);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = GetDescriptor(DeviceObject, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, descriptor, total);
    received = urb->UrbControlDescriptorRequest.TransferBufferLength;
    if (received > total) {
        received = total;
    }
    if (NT_SUCCESS(status) && received < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        status = STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    if (NT_SUCCESS(status)) {
        ext->WakeSupported = (descriptor->bmAttributes & USB_CONFIG_REMOTE_WAKEUP) ? 1 : 0;
        status = SelectConfiguration(DeviceObject, descriptor, received);
    }
    ExFreePool(urb);
    ExFreePool(descriptor);
    return status;
}

// The platform's parsers read up to wTotalLength; the copy they see says no
// more than what arrived, so none of them reads past the buffer.
NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR Descriptor,
                             ULONG Length)
{
    PDEVICE_EXTENSION ext = GetExtension(DeviceObject);
    if (Descriptor->wTotalLength > Length) {
        Descriptor->wTotalLength = static_cast<USHORT>(Length);
    }
    PUSB_INTERFACE_DESCRIPTOR iface =
        USBD_ParseConfigurationDescriptorEx(Descriptor, Descriptor, -1, -1, -1, -1, -1);
    if (iface == NULL) {
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    USBD_INTERFACE_LIST_ENTRY list[2];
    RtlZeroMemory(list, sizeof(list));
    list[0].InterfaceDescriptor = iface;
    PURB request = USBD_CreateConfigurationRequestEx(Descriptor, list);
    if (request == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!HasModemShape(Descriptor, Descriptor->wTotalLength, iface)) {
        ExFreePool(request);
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    PUSBD_INTERFACE_INFORMATION info = list[0].Interface;
    info->Pipes[0].MaximumTransferSize = MAX_TRANSFER_SIZE;
    info->Pipes[1].MaximumTransferSize = MAX_TRANSFER_SIZE;
    NTSTATUS status = SubmitUrbSynchronous(DeviceObject, request);
    if (!NT_SUCCESS(status)) {
        ExFreePool(request);
        return status;
    }
    PUSBD_INTERFACE_INFORMATION copy = static_cast<PUSBD_INTERFACE_INFORMATION>(Allocate(info->Length));
    if (copy != NULL) {
        RtlCopyMemory(copy, info, info->Length);
        ext->InterfaceInfo = copy;
    } else {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    ext->BulkInPipe = info->Pipes[1].PipeHandle;
    ext->BulkOutPipe = info->Pipes[0].PipeHandle;
    ExFreePool(request);
    return status;
}

NTSTATUS ReleaseConfiguration(PDEVICE_OBJECT DeviceObject)
{
    PURB urb = static_cast<PURB>(Allocate(UNCONFIGURE_BLOCK_SIZE));
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(urb, UNCONFIGURE_BLOCK_SIZE);
    urb->UrbHeader.Length = static_cast<USHORT>(sizeof(struct _URB_SELECT_CONFIGURATION));
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = NULL;
    NTSTATUS status = SubmitUrbSynchronous(DeviceObject, urb);
    ExFreePool(urb);
    return status;
}
