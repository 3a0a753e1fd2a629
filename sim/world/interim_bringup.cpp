// Interim: what the driver's AddDevice and removal will do (the start's
// configuration is the driver's own), minus the COM name and WMI (the world publishes \DosDevices\COM7 itself). Delete this
// file when the driver's own AddDevice and Plug and Play dispatch land.
#include "sim/world/bringup.h"

#include "driver/driver.h"
#include "driver/port_defaults.h"
#include "datapath/read_queue.h"
#include "usb/configuration.h"
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
  status = ConfigureDevice(fdo);
  if (NT_SUCCESS(status)) ext->DeviceState = Working;
  return status;
}

void InterimRemoveDevice(PDEVICE_OBJECT fdo) {
  PDEVICE_EXTENSION ext = GetExtension(fdo);
  ext->DeviceState = Removed;
  ReleaseConfiguration(fdo);
  if (ext->InterfaceInfo != NULL) {
    ExFreePool(ext->InterfaceInfo);
    ext->InterfaceInfo = NULL;
  }
  SendPnp(ext->LowerDeviceObject, IRP_MN_REMOVE_DEVICE);
  IoDetachDevice(ext->LowerDeviceObject);
  IoDeleteDevice(fdo);
}

}  // namespace world
}  // namespace sim
