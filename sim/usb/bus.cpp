// The bus driver of the simulated machine: its driver object, the devices
// plugged into it, and their end when the kernel shuts down.
#include "sim/kernel/internal.h"
#include "sim/kernel/sim.h"
#include "sim/usb/descriptors.h"
#include "sim/usb/device_impl.h"

namespace sim {
namespace usb {

namespace {

struct BusState {
  PDRIVER_OBJECT driver = nullptr;
  int nextIndex = 0;
  std::vector<std::unique_ptr<Device>> devices;
};

BusState &Bus() {
  static BusState state;
  return state;
}

NTSTATUS NTAPI DispatchInternalControl(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  return ImplOf(pdo)->SubmitUrb(irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT pdo, PIRP irp) { return ImplOf(pdo)->Pnp(irp); }

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT pdo, PIRP irp) { return ImplOf(pdo)->Power(irp); }

// WMI requests that reach a PDO belong to nobody below: they end as they came.
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT pdo, PIRP irp) {
  NTSTATUS status = irp->IoStatus.Status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

PDRIVER_OBJECT BusDriver() {
  BusState &bus = Bus();
  if (bus.driver == nullptr) {
    bus.driver = internal::CreateDriverObject(L"\\Driver\\usbhub");
    bus.driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalControl;
    bus.driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    bus.driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    bus.driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
  }
  return bus.driver;
}

// A new kernel starts with an empty bus; what the last one left is dropped
// without touching kernel objects that no longer exist.
void ResetBus() {
  BusState &bus = Bus();
  for (auto &device : bus.devices) device->Impl()->detached_ = true;
  bus.devices.clear();
  bus.driver = nullptr;
  bus.nextIndex = 0;
  SetGoneReporter(nullptr);
}

void TeardownBus() {
  BusState &bus = Bus();
  for (auto &device : bus.devices) {
    device->Impl()->EndDeferredAnswers();
    device->Impl()->Detach();
  }
  bus.devices.clear();
  if (bus.driver != nullptr) internal::UnloadDriver(bus.driver);
  bus.driver = nullptr;
  bus.nextIndex = 0;
}

const bool registered = RegisterSubsystem({"usb", ResetBus, TeardownBus});

}  // namespace

Device *Plug(std::unique_ptr<Model> model, const DeviceConfig &config) {
  BusState &bus = Bus();
  if (!model) model.reset(new LoopbackModel);
  DeviceConfig effective = config;
  if (effective.deviceDescriptor.empty()) effective.deviceDescriptor = ModemDeviceDescriptor();
  if (effective.configurationDescriptor.empty()) effective.configurationDescriptor = ModemConfiguration();
  std::unique_ptr<Device> device(new Device);
  device->impl_.reset(new DeviceImpl(device.get(), std::move(model), effective, bus.nextIndex++));
  NTSTATUS status = device->impl_->CreatePdo(BusDriver());
  if (!NT_SUCCESS(status)) {
    device->impl_->detached_ = true;
    ReportFault(Fault::InvalidParameter, "sim::usb::Plug", "IoCreateDevice failed: " + Hex(status));
    return nullptr;
  }
  device->impl_->TraceLine("plugged");
  bus.devices.push_back(std::move(device));
  return bus.devices.back().get();
}

Device *FromPdo(PDEVICE_OBJECT pdo) {
  for (auto &device : Bus().devices) {
    if (device->Pdo() == pdo && pdo != nullptr) return device.get();
  }
  return nullptr;
}

std::vector<Device *> Devices() {
  std::vector<Device *> all;
  for (auto &device : Bus().devices) all.push_back(device.get());
  return all;
}

}  // namespace usb
}  // namespace sim
