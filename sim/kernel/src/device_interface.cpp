// Device interfaces: registered on a bus's PDO, named as Windows names them
// (\??\ plus the instance path with '#' for '\', plus the class GUID and any
// reference string), and while enabled a symbolic link to the PDO.
#include <cstdio>
#include <map>

#include "io_private.h"

namespace sim {
namespace io {
namespace {

struct Interface {
  PDEVICE_OBJECT pdo = nullptr;
  GUID classGuid{};
  std::u16string reference;
  std::u16string link;
  bool enabled = false;
};

struct PnpState {
  std::map<const DEVICE_OBJECT *, std::string> pdos;
  std::vector<Interface> interfaces;
};

PnpState &State() {
  static auto *state = new PnpState;
  return *state;
}

void Reset() {
  State().pdos.clear();
  State().interfaces.clear();
}

const bool registered = RegisterSubsystem({"device interfaces", Reset, nullptr});

bool SameGuid(const GUID &a, const GUID &b) { return memcmp(&a, &b, sizeof(GUID)) == 0; }

// Link names carry the GUID in lower case, braced.
std::u16string GuidText(const GUID &g) {
  char buf[40];
  snprintf(buf, sizeof buf, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", (unsigned)g.Data1,
           (unsigned)g.Data2, (unsigned)g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
           g.Data4[5], g.Data4[6], g.Data4[7]);
  return std::u16string(buf, buf + strlen(buf));
}

std::u16string LinkName(const std::string &instance, const GUID &g, const std::u16string &reference) {
  std::u16string name = u"\\??\\";
  for (char c : instance) name += c == '\\' ? u'#' : (char16_t)c;
  name += u"#" + GuidText(g);
  if (!reference.empty()) name += u"\\" + reference;
  return name;
}

UNICODE_STRING Counted(const std::u16string &s) {
  UNICODE_STRING u;
  u.Buffer = const_cast<PWCHAR>(reinterpret_cast<const WCHAR *>(s.c_str()));
  u.Length = u.MaximumLength = (USHORT)(s.size() * sizeof(WCHAR));
  return u;
}

Interface *FindByLink(const std::u16string &link) {
  for (Interface &i : State().interfaces) {
    if (i.link.size() != link.size()) continue;
    bool same = true;
    for (size_t k = 0; k < link.size() && same; ++k) {
      char16_t a = i.link[k], b = link[k];
      if (a >= 'a' && a <= 'z') a = (char16_t)(a - 32);
      if (b >= 'a' && b <= 'z') b = (char16_t)(b - 32);
      same = a == b;
    }
    if (same) return &i;
  }
  return nullptr;
}

// The link goes to the PDO's own name, as the I/O manager makes it.
NTSTATUS Enable(Interface &i) {
  DeviceRecord *rec = FindDevice(i.pdo);
  if (!rec || rec->nsName.empty()) return STATUS_INVALID_DEVICE_REQUEST;
  UNICODE_STRING link = Counted(i.link), target = Counted(rec->nsName);
  NTSTATUS status = IoCreateSymbolicLink(&link, &target);
  if (NT_SUCCESS(status)) i.enabled = true;
  return status;
}

void Disable(Interface &i) {
  UNICODE_STRING link = Counted(i.link);
  IoDeleteSymbolicLink(&link);
  i.enabled = false;
}

bool ValidReference(const UNICODE_STRING *reference) {
  for (size_t k = 0; k < reference->Length / sizeof(WCHAR); ++k)
    if (reference->Buffer[k] == L'\\' || reference->Buffer[k] == L'/') return false;
  return reference->Length != 0;
}

}  // namespace

const std::string *PhysicalDeviceInstance(const DEVICE_OBJECT *device) {
  auto it = State().pdos.find(device);
  return it == State().pdos.end() ? nullptr : &it->second;
}

// The PnP manager disables what the driver left enabled when the device goes.
void PhysicalDeviceDeleted(PDEVICE_OBJECT device) {
  if (!State().pdos.erase(device)) return;
  auto &all = State().interfaces;
  for (Interface &i : all)
    if (i.pdo == device && i.enabled) Disable(i);
  for (size_t k = all.size(); k-- > 0;)
    if (all[k].pdo == device) all.erase(all.begin() + k);
}

}  // namespace io

void RegisterPhysicalDevice(PDEVICE_OBJECT pdo, const std::string &instancePath) {
  io::State().pdos[pdo] = instancePath;
}

std::vector<std::u16string> EnabledDeviceInterfaces(const GUID &interfaceClass) {
  std::vector<std::u16string> names;
  for (const io::Interface &i : io::State().interfaces)
    if (i.enabled && io::SameGuid(i.classGuid, interfaceClass)) names.push_back(i.link);
  return names;
}

}  // namespace sim

using namespace sim;
using namespace sim::io;

NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID *InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
  if (!CheckIrqlAtMost(PASSIVE_LEVEL, "IoRegisterDeviceInterface")) return STATUS_INVALID_DEVICE_REQUEST;
  MaybeSchedule();
  if (!InterfaceClassGuid || !SymbolicLinkName) {
    ReportFault(Fault::InvalidParameter, "IoRegisterDeviceInterface", "no interface class or no SymbolicLinkName");
    return STATUS_INVALID_PARAMETER;
  }
  const std::string *instance = PhysicalDeviceInstance(PhysicalDeviceObject);
  if (!instance) return STATUS_INVALID_DEVICE_REQUEST;
  if (ReferenceString && !ValidReference(ReferenceString)) return STATUS_INVALID_DEVICE_REQUEST;
  std::u16string reference = ReferenceString ? ToU16(ReferenceString) : std::u16string();
  std::u16string link = LinkName(*instance, *InterfaceClassGuid, reference);
  // The driver owns the returned string: one it never frees is its leak.
  SIZE_T bytes = (link.size() + 1) * sizeof(WCHAR);
  auto buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, bytes, MakeTag("IoDi")));
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  memcpy(buffer, link.c_str(), bytes);
  SymbolicLinkName->Buffer = buffer;
  SymbolicLinkName->Length = (USHORT)(bytes - sizeof(WCHAR));
  SymbolicLinkName->MaximumLength = (USHORT)bytes;
  // Registering again hands back the same instance.
  if (!FindByLink(link)) {
    Interface i;
    i.pdo = PhysicalDeviceObject;
    i.classGuid = *InterfaceClassGuid;
    i.reference = reference;
    i.link = link;
    State().interfaces.push_back(i);
  }
  if (TraceEnabled()) Trace("interface registered " + Narrow(SymbolicLinkName));
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
  if (!CheckIrqlAtMost(PASSIVE_LEVEL, "IoSetDeviceInterfaceState")) return STATUS_INVALID_DEVICE_REQUEST;
  MaybeSchedule();
  if (!SymbolicLinkName || !SymbolicLinkName->Buffer) return STATUS_OBJECT_NAME_NOT_FOUND;
  Interface *i = FindByLink(ToU16(SymbolicLinkName));
  if (!i) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (Enable) {
    if (i->enabled) return STATUS_OBJECT_NAME_EXISTS;
    NTSTATUS status = io::Enable(*i);
    if (TraceEnabled() && NT_SUCCESS(status)) Trace("interface enabled " + Narrow(SymbolicLinkName));
    return status;
  }
  if (!i->enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
  Disable(*i);
  if (TraceEnabled()) Trace("interface disabled " + Narrow(SymbolicLinkName));
  return STATUS_SUCCESS;
}
