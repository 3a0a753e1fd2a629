// Driver objects: made for each driver of the machine, loaded through the
// driver's entry, unloaded through DriverUnload.
#include "io_private.h"

namespace sim {
namespace io {
namespace {

constexpr CSHORT kIoTypeDriver = 4;

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  Irp->IoStatus.Information = 0;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

// A counted string in pool, as the object manager keeps names.
bool MakeString(UNICODE_STRING *out, const std::u16string &s) {
  USHORT bytes = (USHORT)(s.size() * sizeof(WCHAR));
  out->Buffer = static_cast<PWSTR>(SystemAllocate(NonPagedPool, bytes + sizeof(WCHAR), kTagName));
  if (!out->Buffer) return false;
  for (size_t i = 0; i < s.size(); ++i) out->Buffer[i] = (WCHAR)s[i];
  out->Buffer[s.size()] = 0;
  out->Length = bytes;
  out->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
  return true;
}

}  // namespace
}  // namespace io

namespace internal {

using namespace io;

PDRIVER_OBJECT CreateDriverObject(const WCHAR *name) {
  SIZE_T size = sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION);
  auto driver = static_cast<PDRIVER_OBJECT>(SystemAllocate(NonPagedPool, size, kTagDriver));
  if (!driver) return nullptr;
  memset(driver, 0, size);
  driver->Type = kIoTypeDriver;
  driver->Size = (CSHORT)sizeof(DRIVER_OBJECT);
  driver->DriverExtension = reinterpret_cast<PDRIVER_EXTENSION>(driver + 1);
  driver->DriverExtension->DriverObject = driver;
  std::u16string n = ToU16(name);
  if (n.empty() || n[0] != u'\\') n = u"\\Driver\\" + n;
  if (!MakeString(&driver->DriverName, n)) {
    PoolFree(driver, "IoCreateDriver");
    return nullptr;
  }
  for (auto &f : driver->MajorFunction) f = InvalidDeviceRequest;
  return driver;
}

NTSTATUS LoadDriver(const WCHAR *name, PDRIVER_INITIALIZE entry, const WCHAR *registryPath,
                    PDRIVER_OBJECT *driverObject) {
  PDRIVER_OBJECT driver = CreateDriverObject(name);
  *driverObject = driver;
  if (!driver) return STATUS_INSUFFICIENT_RESOURCES;
  driver->DriverInit = entry;
  UNICODE_STRING path{};
  std::u16string p = ToU16(registryPath);
  if (!MakeString(&path, p) || !MakeString(&driver->DriverExtension->ServiceKeyName, p.substr(p.rfind(u'\\') + 1)))
    return STATUS_INSUFFICIENT_RESOURCES;
  if (TraceEnabled()) Trace("driver " + Narrow(&driver->DriverName) + " loading");
  NTSTATUS status = CallDriverRoutine(entry, driver, &path);
  // The path is the caller's only for the call: a driver keeping the pointer is caught.
  PoolFree(path.Buffer, "IoLoadDriver");
  if (TraceEnabled()) Trace("driver " + Narrow(&driver->DriverName) + " entry returned " + Hex((uint32_t)status));
  return status;
}

void UnloadDriver(PDRIVER_OBJECT driverObject) {
  if (!driverObject) return;
  if (driverObject->DriverUnload) CallDriverRoutine(driverObject->DriverUnload, driverObject);
  bool devicesLeft = driverObject->DeviceObject != nullptr;
  for (PDEVICE_OBJECT d = driverObject->DeviceObject; d; d = d->NextDevice)
    ReportFault(Fault::PoolLeak, "DriverUnload",
                Narrow(&driverObject->DriverName) + " unloaded with device object " + DeviceName(d) + " not deleted");
  if (TraceEnabled()) Trace("driver " + Narrow(&driverObject->DriverName) + " unloaded");
  // Devices left behind still point at the object; it stays until the kernel goes.
  if (devicesLeft) return;
  ReleaseDriverCode(driverObject);  // its image goes with it
  if (driverObject->DriverExtension->ServiceKeyName.Buffer)
    PoolFree(driverObject->DriverExtension->ServiceKeyName.Buffer, "IoUnloadDriver");
  PoolFree(driverObject->DriverName.Buffer, "IoUnloadDriver");
  PoolFree(driverObject, "IoUnloadDriver");
}

}  // namespace internal
}  // namespace sim
