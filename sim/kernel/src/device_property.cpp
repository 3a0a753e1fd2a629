// IoGetDeviceProperty for the properties the bus's records answer: the PDO's
// name, the enumerator and the hardware ID (the instance path's first two
// components). Properties the machine keeps no record of are not found.
#include "io_private.h"

namespace sim {
namespace io {
namespace {

std::u16string Wide(const std::string &s) { return std::u16string(s.begin(), s.end()); }

// The property's bytes, terminators included; false when it has none here.
bool PropertyValue(PDEVICE_OBJECT pdo, const std::string &instance, DEVICE_REGISTRY_PROPERTY property,
                   std::u16string *value) {
  size_t first = instance.find('\\');
  size_t second = first == std::string::npos ? std::string::npos : instance.find('\\', first + 1);
  switch (property) {
    case DevicePropertyPhysicalDeviceObjectName:
      *value = FindDevice(pdo)->nsName;
      value->push_back(0);
      return true;
    case DevicePropertyEnumeratorName:
      *value = Wide(instance.substr(0, first));
      value->push_back(0);
      return true;
    case DevicePropertyHardwareID:  // REG_MULTI_SZ: one ID, then the empty string
      *value = Wide(instance.substr(0, second));
      value->push_back(0);
      value->push_back(0);
      return true;
    default:
      return false;
  }
}

}  // namespace
}  // namespace io
}  // namespace sim

using namespace sim;
using namespace sim::io;

NTSTATUS NTAPI IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                             ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength) {
  if (!CheckIrqlAtMost(PASSIVE_LEVEL, "IoGetDeviceProperty")) return STATUS_INVALID_DEVICE_REQUEST;
  MaybeSchedule();
  if (!ResultLength) {
    ReportFault(Fault::InvalidParameter, "IoGetDeviceProperty", "ResultLength is NULL");
    return STATUS_INVALID_PARAMETER;
  }
  *ResultLength = 0;
  const std::string *instance = PhysicalDeviceInstance(DeviceObject);
  if (!instance) return STATUS_INVALID_DEVICE_REQUEST;
  if (DeviceProperty < DevicePropertyDeviceDescription || DeviceProperty > DevicePropertyRemovalPolicy)
    return STATUS_INVALID_PARAMETER_2;
  std::u16string value;
  if (!PropertyValue(DeviceObject, *instance, DeviceProperty, &value)) return STATUS_OBJECT_NAME_NOT_FOUND;
  ULONG bytes = (ULONG)(value.size() * sizeof(WCHAR));
  *ResultLength = bytes;
  if (BufferLength < bytes || !PropertyBuffer) return STATUS_BUFFER_TOO_SMALL;
  memcpy(PropertyBuffer, value.data(), bytes);
  return STATUS_SUCCESS;
}
