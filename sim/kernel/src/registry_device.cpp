// The Plug and Play keys of a bus's PDO: its hardware key (Enum\<instance>,
// whose "Device Parameters" subkey a driver opens) and its software key under
// the device class, named by the instance key's "Driver" value.
#include <cstdio>

#include "io_private.h"
#include "sim/kernel/src/registry_store.h"

namespace sim {
namespace registry {
namespace {

const char16_t kCurrentControlSet[] = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet";
const char16_t kCurrentProfile[] =
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current\\System\\CurrentControlSet";
// The modem class: where a modem's software key goes.
const char16_t kDeviceClass[] = u"{4D36E96D-E325-11CE-BFC1-08002BE10318}";

std::u16string Wide(const std::string &s) { return std::u16string(s.begin(), s.end()); }

std::u16string InstanceKeyPath(const std::string &instance) {
  return std::u16string(kCurrentControlSet) + u"\\Enum\\" + Wide(instance);
}

// The software key's name below Control\Class: the "Driver" value the
// instance key carries, given (the next free number) on first use.
std::u16string DriverKeyName(const std::string &instance) {
  Key *instanceKey = CreateAbsolute(InstanceKeyPath(instance));
  if (NamedValue *v = FindValue(instanceKey, u"Driver"))
    return std::u16string(reinterpret_cast<const char16_t *>(v->value.data.data()),
                          v->value.data.size() / sizeof(char16_t) - 1);
  Key *classKey = CreateAbsolute(std::u16string(kCurrentControlSet) + u"\\Control\\Class\\" + kDeviceClass);
  char number[8];
  snprintf(number, sizeof number, "%04u", (unsigned)classKey->subkeys.size());
  std::u16string name = std::u16string(kDeviceClass) + u"\\" + Wide(number);
  std::u16string stored = name + u'\0';
  SetValue(instanceKey, u"Driver", REG_SZ, stored.data(), (ULONG)(stored.size() * sizeof(char16_t)));
  return name;
}

std::u16string KeyPathFor(const std::string &instance, ULONG type) {
  std::u16string base = (type & PLUGPLAY_REGKEY_CURRENT_HWPROFILE) ? kCurrentProfile : kCurrentControlSet;
  if (type & PLUGPLAY_REGKEY_DEVICE)
    return (type & PLUGPLAY_REGKEY_CURRENT_HWPROFILE) ? base + u"\\Enum\\" + Wide(instance)
                                                      : InstanceKeyPath(instance) + u"\\Device Parameters";
  return base + u"\\Control\\Class\\" + DriverKeyName(instance);
}

}  // namespace

std::u16string DeviceKeyPath(PDEVICE_OBJECT pdo) {
  const std::string *instance = io::PhysicalDeviceInstance(pdo);
  return instance ? KeyPathFor(*instance, PLUGPLAY_REGKEY_DEVICE) : std::u16string();
}

bool SetDeviceValue(PDEVICE_OBJECT pdo, const std::u16string &name, ULONG type, const void *data, ULONG length) {
  std::u16string path = DeviceKeyPath(pdo);
  if (path.empty()) return false;
  SetValue(CreateAbsolute(path), name, type, data, length);
  return true;
}

bool SetDeviceValue(PDEVICE_OBJECT pdo, const WCHAR *name, ULONG type, const void *data, ULONG length) {
  return SetDeviceValue(pdo, io::ToU16(name), type, data, length);
}

}  // namespace registry
}  // namespace sim

using namespace sim;
using namespace sim::registry;

NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DevInstRegKey) {
  if (!io::CheckIrqlAtMost(PASSIVE_LEVEL, "IoOpenDeviceRegistryKey")) return STATUS_INVALID_DEVICE_REQUEST;
  io::MaybeSchedule();
  if (!DevInstRegKey) {
    ReportFault(Fault::InvalidParameter, "IoOpenDeviceRegistryKey", "DevInstRegKey is NULL");
    return STATUS_INVALID_PARAMETER;
  }
  ULONG which = DevInstKeyType & (PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_DRIVER);
  if ((DevInstKeyType & ~(PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_DRIVER | PLUGPLAY_REGKEY_CURRENT_HWPROFILE)) ||
      (which != PLUGPLAY_REGKEY_DEVICE && which != PLUGPLAY_REGKEY_DRIVER))
    return STATUS_INVALID_PARAMETER;
  // Only the PnP manager's device nodes have keys: an FDO or filter has none.
  const std::string *instance = io::PhysicalDeviceInstance(DeviceObject);
  if (!instance) return STATUS_INVALID_DEVICE_REQUEST;
  Key *key = CreateAbsolute(KeyPathFor(*instance, DevInstKeyType));
  *DevInstRegKey = NewHandle(key, MapAccess(DesiredAccess));
  return STATUS_SUCCESS;
}
