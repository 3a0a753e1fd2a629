// Interim: what the driver's AddDevice, start and removal will do, minus the
// COM name and WMI (the world publishes \DosDevices\COM7 itself). Delete this
// file when the driver's own AddDevice and Plug and Play dispatch land.
#include "sim/world/bringup.h"

#include "driver/driver.h"
#include "driver/port_defaults.h"
#include "datapath/read_queue.h"
#include "usb/status_poll.h"
#include "usb/submit.h"

namespace sim {
namespace world {

namespace {

void InitializeRecord(PDEVICE_EXTENSION ext, PDEVICE_OBJECT fdo) {
  KeInitializeSpinLock(&ext->RingLock);
  KeInitializeSpinLock(&ext->IoCountLock);
  KeInitializeSpinLock(&ext->WaitIrpLock);
  ext->OutstandingIo = 1;
  IoInitializeTimer(fdo, StatusPollTimer, NULL);
  ext->IoTimerRunning = FALSE;
  ext->DeviceState = NotStarted;
  ext->OpenCount = 0;
  ext->ReaderThread = NULL;
  KeInitializeEvent(&ext->RemoveEvent, SynchronizationEvent, FALSE);
  KeInitializeEvent(&ext->NoPendingIoEvent, SynchronizationEvent, FALSE);
  KeInitializeEvent(&ext->StopReaderEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&ext->BulkInDoneEvent, NotificationEvent, FALSE);
  KeInitializeSpinLock(&ext->ReadQueue.Lock);
  InitializeListHead(&ext->ReadQueue.Head);
  ext->ReadQueue.Count = 0;
  KeInitializeTimerEx(&ext->ReadTimer, NotificationTimer);
  KeInitializeDpc(&ext->ReadTimerDpc, ReadTimerDpc, ext);
}

NTSTATUS GetDescriptor(PDEVICE_OBJECT fdo, UCHAR type, PVOID buffer, ULONG length) {
  URB urb;
  RtlZeroMemory(&urb, sizeof(urb));
  UsbBuildGetDescriptorRequest(&urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0, buffer,
                               NULL, length, NULL);
  return SubmitUrbSynchronous(fdo, &urb);
}

bool IsBulkEndpoint(const USB_ENDPOINT_DESCRIPTOR *e, UCHAR address) {
  return e->bEndpointAddress == address && e->bmAttributes == USB_ENDPOINT_TYPE_BULK && e->wMaxPacketSize == 64;
}

// The modem's one shape: the first interface with bulk OUT 0x01 directly
// followed by bulk IN 0x81, 64-byte packets; every read stays inside the
// descriptor.
bool HasModemShape(PUSB_CONFIGURATION_DESCRIPTOR config, PUSB_INTERFACE_DESCRIPTOR iface) {
  if (iface == NULL || iface->bNumEndpoints != 2) return false;
  PUCHAR end = reinterpret_cast<PUCHAR>(config) + config->wTotalLength;
  PUSB_COMMON_DESCRIPTOR first =
      USBD_ParseDescriptors(config, config->wTotalLength, iface, USB_ENDPOINT_DESCRIPTOR_TYPE);
  if (first == NULL) return false;
  PUCHAR second = reinterpret_cast<PUCHAR>(first) + sizeof(USB_ENDPOINT_DESCRIPTOR);
  if (second + sizeof(USB_ENDPOINT_DESCRIPTOR) > end) return false;
  return IsBulkEndpoint(reinterpret_cast<USB_ENDPOINT_DESCRIPTOR *>(first), 0x01) &&
         IsBulkEndpoint(reinterpret_cast<USB_ENDPOINT_DESCRIPTOR *>(second), 0x81);
}

// Selects the first interface with both pipes at the driver's transfer size
// and records the pipe handles the bus gives.
NTSTATUS SelectConfiguration(PDEVICE_OBJECT fdo, PUSB_CONFIGURATION_DESCRIPTOR config) {
  PDEVICE_EXTENSION ext = GetExtension(fdo);
  PUSB_INTERFACE_DESCRIPTOR iface = USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1);
  if (!HasModemShape(config, iface)) return STATUS_DEVICE_CONFIGURATION_ERROR;
  USBD_INTERFACE_LIST_ENTRY list[2];
  RtlZeroMemory(list, sizeof(list));
  list[0].InterfaceDescriptor = iface;
  PURB request = USBD_CreateConfigurationRequestEx(config, list);
  if (request == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  PUSBD_INTERFACE_INFORMATION info = list[0].Interface;
  info->Pipes[0].MaximumTransferSize = MAX_TRANSFER_SIZE;
  info->Pipes[1].MaximumTransferSize = MAX_TRANSFER_SIZE;
  NTSTATUS status = SubmitUrbSynchronous(fdo, request);
  if (NT_SUCCESS(status)) {
    ext->BulkOutPipe = info->Pipes[0].PipeHandle;
    ext->BulkInPipe = info->Pipes[1].PipeHandle;
  }
  ExFreePool(request);
  return status;
}

NTSTATUS Configure(PDEVICE_OBJECT fdo) {
  UCHAR deviceDescriptor[sizeof(USB_DEVICE_DESCRIPTOR)];
  NTSTATUS status = GetDescriptor(fdo, USB_DEVICE_DESCRIPTOR_TYPE, deviceDescriptor, sizeof(deviceDescriptor));
  if (!NT_SUCCESS(status)) return status;
  USB_CONFIGURATION_DESCRIPTOR header;
  status = GetDescriptor(fdo, USB_CONFIGURATION_DESCRIPTOR_TYPE, &header, sizeof(header));
  if (!NT_SUCCESS(status)) return status;
  ULONG total = header.wTotalLength;
  if (total < sizeof(header)) return STATUS_DEVICE_CONFIGURATION_ERROR;
  PUSB_CONFIGURATION_DESCRIPTOR config =
      static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(ExAllocatePoolWithTag(NonPagedPool, total, USBMODEM_POOL_TAG));
  if (config == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  status = GetDescriptor(fdo, USB_CONFIGURATION_DESCRIPTOR_TYPE, config, total);
  if (NT_SUCCESS(status)) {
    GetExtension(fdo)->WakeSupported = (config->bmAttributes & USB_CONFIG_REMOTE_WAKEUP) ? 1 : 0;
    status = SelectConfiguration(fdo, config);
  }
  ExFreePool(config);
  return status;
}

NTSTATUS Unconfigure(PDEVICE_OBJECT fdo) {
  URB urb;
  RtlZeroMemory(&urb, sizeof(urb));
  urb.UrbHeader.Length = (USHORT)sizeof(struct _URB_SELECT_CONFIGURATION);
  urb.UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb.UrbSelectConfiguration.ConfigurationDescriptor = NULL;
  return SubmitUrbSynchronous(fdo, &urb);
}

}  // namespace

NTSTATUS InterimAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, PDEVICE_OBJECT *fdoOut) {
  PDEVICE_OBJECT fdo = NULL;
  NTSTATUS status = IoCreateDevice(driver, sizeof(DEVICE_EXTENSION), NULL, FILE_DEVICE_UNKNOWN,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  fdo->Flags |= DO_BUFFERED_IO;
  PDEVICE_EXTENSION ext = GetExtension(fdo);
  ext->FunctionalDeviceObject = fdo;
  ext->PhysicalDeviceObject = pdo;
  InitializePortDefaults(ext);
  ext->LowerDeviceObject = IoAttachDeviceToDeviceStack(fdo, pdo);
  if (ext->LowerDeviceObject == NULL) {
    IoDeleteDevice(fdo);
    return STATUS_UNSUCCESSFUL;
  }
  InitializeRecord(ext, fdo);
  if (pdo->Flags & DO_POWER_PAGABLE) fdo->Flags |= DO_POWER_PAGABLE;
  ext->DevicePowerState = PowerDeviceD0;
  ext->SystemPowerState = PowerSystemWorking;
  POWER_STATE state;
  state.DeviceState = PowerDeviceD0;
  PoSetPowerState(fdo, DevicePowerState, state);
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  *fdoOut = fdo;
  return STATUS_SUCCESS;
}

NTSTATUS InterimStartDevice(PDEVICE_OBJECT fdo) {
  PDEVICE_EXTENSION ext = GetExtension(fdo);
  // The bus finishes its own start first, as the forwarded start would.
  NTSTATUS status = SendPnp(ext->LowerDeviceObject, IRP_MN_START_DEVICE);
  if (!NT_SUCCESS(status)) return status;
  status = Configure(fdo);
  if (NT_SUCCESS(status)) ext->DeviceState = Working;
  return status;
}

void InterimRemoveDevice(PDEVICE_OBJECT fdo) {
  PDEVICE_EXTENSION ext = GetExtension(fdo);
  ext->DeviceState = Removed;
  Unconfigure(fdo);
  SendPnp(ext->LowerDeviceObject, IRP_MN_REMOVE_DEVICE);
  IoDetachDevice(ext->LowerDeviceObject);
  IoDeleteDevice(fdo);
}

}  // namespace world
}  // namespace sim
