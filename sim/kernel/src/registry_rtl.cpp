// RtlWriteRegistryValue and RtlDeleteRegistryValue: a path relative to one
// of the well-known keys, opened (and for a write, its last key created)
// with the Zw routines, as the run-time library does.
#include "io_private.h"
#include "sim/kernel/src/registry_key.h"

namespace sim {
namespace registry {
namespace {

const char16_t *const kRelativeRoots[] = {
    u"",                                                              // RTL_REGISTRY_ABSOLUTE
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services",      // RTL_REGISTRY_SERVICES
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control",       // RTL_REGISTRY_CONTROL
    u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",  // RTL_REGISTRY_WINDOWS_NT
    u"\\Registry\\Machine\\Hardware\\DeviceMap",                      // RTL_REGISTRY_DEVICEMAP
    u"\\Registry\\User\\.Default",                                    // RTL_REGISTRY_USER (system process)
};

// An open handle on the key RelativeTo and Path name; with `create`, the
// key is created when missing (its parent must exist). *close says whether
// the handle is ours to close (not one the caller passed).
NTSTATUS OpenPathKey(ULONG relativeTo, PCWSTR path, bool create, const char *routine, HANDLE *key, bool *close) {
  if (relativeTo & RTL_REGISTRY_HANDLE) {
    *key = (HANDLE)path;
    *close = false;
    return STATUS_SUCCESS;
  }
  ULONG base = relativeTo & ~RTL_REGISTRY_OPTIONAL;
  if (base >= RTL_REGISTRY_MAXIMUM) return STATUS_INVALID_PARAMETER;
  if (!path) {
    ReportFault(Fault::InvalidParameter, routine, "Path is NULL");
    return STATUS_INVALID_PARAMETER;
  }
  std::u16string full = kRelativeRoots[base];
  std::u16string rest = io::ToU16(path);
  if (base != RTL_REGISTRY_ABSOLUTE && !rest.empty() && rest[0] != u'\\') full += u'\\';
  full += rest;
  UNICODE_STRING name;
  name.Buffer = reinterpret_cast<WCHAR *>(const_cast<char16_t *>(full.c_str()));
  name.Length = name.MaximumLength = (USHORT)(full.size() * sizeof(WCHAR));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  *close = true;
  return OpenOrCreate(key, KEY_ALL_ACCESS, &attributes, create, REG_OPTION_NON_VOLATILE, nullptr, routine);
}

UNICODE_STRING Counted(PCWSTR s) {
  UNICODE_STRING u;
  RtlInitUnicodeString(&u, s);
  return u;
}

}  // namespace
}  // namespace registry
}  // namespace sim

using namespace sim;
using namespace sim::registry;

NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType, PVOID ValueData,
                               ULONG ValueLength) {
  if (!io::CheckIrqlAtMost(PASSIVE_LEVEL, "RtlWriteRegistryValue")) return STATUS_INVALID_DEVICE_REQUEST;
  HANDLE key = nullptr;
  bool close = false;
  NTSTATUS status = OpenPathKey(RelativeTo, Path, true, "RtlWriteRegistryValue", &key, &close);
  if (!NT_SUCCESS(status)) return status;
  UNICODE_STRING name = Counted(ValueName);
  status = ZwSetValueKey(key, &name, 0, ValueType, ValueData, ValueLength);
  if (close) ZwClose(key);
  return status;
}

NTSTATUS NTAPI RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
  if (!io::CheckIrqlAtMost(PASSIVE_LEVEL, "RtlDeleteRegistryValue")) return STATUS_INVALID_DEVICE_REQUEST;
  HANDLE key = nullptr;
  bool close = false;
  NTSTATUS status = OpenPathKey(RelativeTo, Path, false, "RtlDeleteRegistryValue", &key, &close);
  if (!NT_SUCCESS(status)) return status;
  UNICODE_STRING name = Counted(ValueName);
  status = ZwDeleteValueKey(key, &name);
  if (close) ZwClose(key);
  return status;
}
