// Opening and creating registry keys: ZwOpenKey, ZwCreateKey and the
// object attributes that name a key, absolutely or below an open one.
#include "sim/kernel/src/registry_key.h"

#include "io_private.h"

namespace sim {
namespace registry {

NTSTATUS ResolveName(POBJECT_ATTRIBUTES attributes, const char *routine, Key **base,
                     std::vector<std::u16string> *parts) {
  if (!attributes || !attributes->ObjectName) {
    ReportFault(Fault::InvalidParameter, routine, "ObjectAttributes names no key");
    return STATUS_INVALID_PARAMETER;
  }
  std::u16string name = io::ToU16(attributes->ObjectName);
  if (attributes->RootDirectory) {
    OpenKey *root = FromHandle(attributes->RootDirectory, routine);
    if (!root) return STATUS_INVALID_HANDLE;
    if (root->key->deleted) return STATUS_KEY_DELETED;
    if (!name.empty() && name[0] == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    *base = root->key;
    *parts = Components(name);
    return STATUS_SUCCESS;
  }
  if (name.empty() || name[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  *parts = Components(name);
  if (parts->empty() || Fold((*parts)[0]) != u"REGISTRY") return STATUS_OBJECT_NAME_NOT_FOUND;
  parts->erase(parts->begin());
  *base = Root();
  return STATUS_SUCCESS;
}

Key *Walk(Key *from, const std::vector<std::u16string> &parts, size_t count) {
  Key *k = from;
  for (size_t i = 0; i < count && k; ++i) {
    auto it = k->subkeys.find(Fold(parts[i]));
    k = it == k->subkeys.end() ? nullptr : it->second.get();
  }
  return k;
}

NTSTATUS OpenOrCreate(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, bool create,
                      ULONG options, PULONG disposition, const char *routine) {
  if (!io::CheckIrqlAtMost(PASSIVE_LEVEL, routine)) return STATUS_INVALID_DEVICE_REQUEST;
  io::MaybeSchedule();
  if (!handle) {
    ReportFault(Fault::InvalidParameter, routine, "KeyHandle is NULL");
    return STATUS_INVALID_PARAMETER;
  }
  Key *base = nullptr;
  std::vector<std::u16string> parts;
  NTSTATUS status = ResolveName(attributes, routine, &base, &parts);
  if (!NT_SUCCESS(status)) return status;
  Key *key = nullptr;
  if (!create || parts.empty()) {
    key = Walk(base, parts, parts.size());
    if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (disposition) *disposition = REG_OPENED_EXISTING_KEY;
  } else {
    // Only the last component is created: a missing key above it fails.
    Key *parent = Walk(base, parts, parts.size() - 1);
    if (!parent) return STATUS_OBJECT_NAME_NOT_FOUND;
    bool created = false;
    status = CreateSubkey(parent, parts.back(), (options & REG_OPTION_VOLATILE) != 0, &key, &created);
    if (!NT_SUCCESS(status)) return status;
    if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  }
  *handle = NewHandle(key, MapAccess(access));
  return STATUS_SUCCESS;
}

}  // namespace registry
}  // namespace sim

using namespace sim;
using namespace sim::registry;

NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
  return OpenOrCreate(KeyHandle, DesiredAccess, ObjectAttributes, false, 0, nullptr, "ZwOpenKey");
}

NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes, ULONG,
                     PUNICODE_STRING, ULONG CreateOptions, PULONG Disposition) {
  return OpenOrCreate(KeyHandle, DesiredAccess, ObjectAttributes, true, CreateOptions, Disposition, "ZwCreateKey");
}
