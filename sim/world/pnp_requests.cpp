// Single Plug and Play IRPs sent as the Plug and Play manager sends them.
#include "sim/world/bringup.h"

#include <cstring>

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

// Every PnP IRP starts as STATUS_NOT_SUPPORTED, as the PnP manager sends it.
NTSTATUS SendPnpWith(PDEVICE_OBJECT device, UCHAR minor, DEVICE_CAPABILITIES *caps) {
  PDEVICE_OBJECT target = TopOfStack(device);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
  if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_PNP;
  stack->MinorFunction = minor;
  if (caps != NULL) stack->Parameters.DeviceCapabilities.Capabilities = caps;
  IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
  IofCallDriver(target, irp);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
  NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return status;
}

}  // namespace

NTSTATUS SendPnp(PDEVICE_OBJECT device, UCHAR minor) { return SendPnpWith(device, minor, NULL); }

NTSTATUS QueryCapabilities(PDEVICE_OBJECT device, DEVICE_CAPABILITIES *caps) {
  memset(caps, 0, sizeof *caps);
  caps->Size = sizeof *caps;
  caps->Version = 1;
  caps->Address = ULONG(-1);
  caps->UINumber = ULONG(-1);
  return SendPnpWith(device, IRP_MN_QUERY_CAPABILITIES, caps);
}

}  // namespace world
}  // namespace sim
