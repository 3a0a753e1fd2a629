// The Plug and Play manager's side of our device's life: AddDevice, start,
// surprise removal and removal, through the driver where it has the entry
// points and through the interim stand-ins where it has not yet.
#include "sim/world/bringup.h"

namespace sim {
namespace world {

namespace {

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) {
  while (device->AttachedDevice != NULL) device = device->AttachedDevice;
  return device;
}

}  // namespace

bool DriverHandlesPnp(PDRIVER_OBJECT driver) {
  // IRP_MJ_QUERY_EA is never handled by a serial driver: it holds the I/O
  // manager's default, which an unhandled IRP_MJ_PNP would hold too.
  return driver->MajorFunction[IRP_MJ_PNP] != driver->MajorFunction[IRP_MJ_QUERY_EA];
}

NTSTATUS SendPnp(PDEVICE_OBJECT target, UCHAR minor) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
  if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_PNP;
  stack->MinorFunction = minor;
  IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
  IofCallDriver(target, irp);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
  NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return status;
}

NTSTATUS AddOurDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, PDEVICE_OBJECT *fdo) {
  *fdo = NULL;
  if (driver->DriverExtension == NULL || driver->DriverExtension->AddDevice == NULL) {
    return InterimAddDevice(driver, pdo, fdo);
  }
  NTSTATUS status = driver->DriverExtension->AddDevice(driver, pdo);
  if (NT_SUCCESS(status)) {
    PDEVICE_OBJECT top = TopOfStack(pdo);
    *fdo = top != pdo ? top : NULL;
    if (*fdo == NULL) status = STATUS_UNSUCCESSFUL;
  }
  return status;
}

NTSTATUS StartOurDevice(PDEVICE_OBJECT fdo) {
  if (!DriverHandlesPnp(fdo->DriverObject)) return InterimStartDevice(fdo);
  return SendPnp(TopOfStack(fdo), IRP_MN_START_DEVICE);
}

void SurpriseRemoveOurDevice(PDEVICE_OBJECT fdo) {
  if (DriverHandlesPnp(fdo->DriverObject)) SendPnp(TopOfStack(fdo), IRP_MN_SURPRISE_REMOVAL);
}

void RemoveOurDevice(PDEVICE_OBJECT fdo, bool surpriseRemoved) {
  if (!DriverHandlesPnp(fdo->DriverObject)) {
    InterimRemoveDevice(fdo);
    return;
  }
  PDEVICE_OBJECT top = TopOfStack(fdo);
  if (!surpriseRemoved) SendPnp(top, IRP_MN_QUERY_REMOVE_DEVICE);
  SendPnp(top, IRP_MN_REMOVE_DEVICE);
}

}  // namespace world
}  // namespace sim
