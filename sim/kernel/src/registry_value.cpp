// Values of an open key: ZwQueryValueKey and ZwEnumerateValueKey with the
// three information layouts and their buffer rules, ZwSetValueKey,
// ZwDeleteValueKey, and ZwQueryKey's counts and maxima.
#include <cstddef>
#include <cstring>

#include "io_private.h"
#include "sim/kernel/src/registry_store.h"

namespace sim {
namespace registry {
namespace {

ULONG AlignUlong(ULONG offset) { return (offset + sizeof(ULONG) - 1) & ~(ULONG)(sizeof(ULONG) - 1); }

// The value in the caller's layout. Not even the fixed part fits:
// STATUS_BUFFER_TOO_SMALL; the fixed part but not all that follows:
// STATUS_BUFFER_OVERFLOW with the fixed part and as much of the rest as fits
// (the whole data or none, in the full layout). *result is always the need.
NTSTATUS FillValue(const NamedValue &v, KEY_VALUE_INFORMATION_CLASS cls, PVOID buffer, ULONG length,
                   PULONG result, const char *routine) {
  ULONG nameBytes = (ULONG)(v.name.size() * sizeof(WCHAR));
  ULONG dataBytes = (ULONG)v.value.data.size();
  auto *out = static_cast<UCHAR *>(buffer);
  ULONG fixed, needed;
  switch (cls) {
    case KeyValueBasicInformation: {
      fixed = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
      needed = fixed + nameBytes;
      *result = needed;
      if (length < fixed || !buffer) return STATUS_BUFFER_TOO_SMALL;
      auto *info = static_cast<PKEY_VALUE_BASIC_INFORMATION>(buffer);
      info->TitleIndex = 0;
      info->Type = v.value.type;
      info->NameLength = nameBytes;
      memcpy(out + fixed, v.name.data(), std::min(nameBytes, length - fixed));
      return length < needed ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }
    case KeyValueFullInformation: {
      fixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
      ULONG dataOffset = AlignUlong(fixed + nameBytes);
      needed = dataOffset + dataBytes;
      *result = needed;
      if (length < fixed || !buffer) return STATUS_BUFFER_TOO_SMALL;
      auto *info = static_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);
      info->TitleIndex = 0;
      info->Type = v.value.type;
      info->DataOffset = dataOffset;
      info->DataLength = dataBytes;
      info->NameLength = nameBytes;
      memcpy(out + fixed, v.name.data(), std::min(nameBytes, length - fixed));
      if (length < needed) return STATUS_BUFFER_OVERFLOW;
      if (dataBytes != 0) memcpy(out + dataOffset, v.value.data.data(), dataBytes);  // empty: no data pointer
      return STATUS_SUCCESS;
    }
    case KeyValuePartialInformation: {
      fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
      needed = fixed + dataBytes;
      *result = needed;
      if (length < fixed || !buffer) return STATUS_BUFFER_TOO_SMALL;
      auto *info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
      info->TitleIndex = 0;
      info->Type = v.value.type;
      info->DataLength = dataBytes;
      if (dataBytes != 0) memcpy(out + fixed, v.value.data.data(), std::min(dataBytes, length - fixed));
      return length < needed ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }
    default:
      ReportFault(Fault::InvalidParameter, routine, "unknown KeyValueInformationClass " + std::to_string(cls));
      return STATUS_INVALID_PARAMETER;
  }
}

// Set by the Nt* entries just before they call the Zw* routine, which takes
// it back before its first schedule point: the call comes from user mode.
bool g_callFromUserMode = false;

// The key behind a handle; the status when there is none. As the object
// manager does, only a user-mode caller is held to the access the handle
// was opened with: a kernel-mode caller (every Zw* call) is trusted.
NTSTATUS Usable(HANDLE handle, ACCESS_MASK access, const char *routine, Key **key) {
  bool fromUserMode = g_callFromUserMode;
  g_callFromUserMode = false;
  if (!io::CheckIrqlAtMost(PASSIVE_LEVEL, routine)) return STATUS_INVALID_DEVICE_REQUEST;
  io::MaybeSchedule();
  OpenKey *open = FromHandle(handle, routine);
  if (!open) return STATUS_INVALID_HANDLE;
  if (fromUserMode && (open->access & access) != access) return STATUS_ACCESS_DENIED;
  if (open->key->deleted) return STATUS_KEY_DELETED;
  *key = open->key;
  return STATUS_SUCCESS;
}

bool CheckResultLength(PULONG resultLength, const char *routine) {
  if (resultLength) return true;
  ReportFault(Fault::InvalidParameter, routine, "ResultLength is NULL");
  return false;
}

}  // namespace
}  // namespace registry
}  // namespace sim

using namespace sim;
using namespace sim::registry;

NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength) {
  Key *key = nullptr;
  NTSTATUS status = Usable(KeyHandle, KEY_QUERY_VALUE, "ZwQueryValueKey", &key);
  if (!NT_SUCCESS(status)) return status;
  if (!CheckResultLength(ResultLength, "ZwQueryValueKey")) return STATUS_INVALID_PARAMETER;
  NamedValue *v = FindValue(key, io::ToU16(ValueName));
  if (!v) return STATUS_OBJECT_NAME_NOT_FOUND;
  return FillValue(*v, KeyValueInformationClass, KeyValueInformation, Length, ResultLength, "ZwQueryValueKey");
}

NTSTATUS NTAPI ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                             PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
  Key *key = nullptr;
  NTSTATUS status = Usable(KeyHandle, KEY_QUERY_VALUE, "ZwEnumerateValueKey", &key);
  if (!NT_SUCCESS(status)) return status;
  if (!CheckResultLength(ResultLength, "ZwEnumerateValueKey")) return STATUS_INVALID_PARAMETER;
  if (Index >= key->values.size()) return STATUS_NO_MORE_ENTRIES;
  return FillValue(key->values[Index], KeyValueInformationClass, KeyValueInformation, Length, ResultLength,
                   "ZwEnumerateValueKey");
}

NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG, ULONG Type, PVOID Data, ULONG DataSize) {
  Key *key = nullptr;
  NTSTATUS status = Usable(KeyHandle, KEY_SET_VALUE, "ZwSetValueKey", &key);
  if (!NT_SUCCESS(status)) return status;
  if (!Data && DataSize) {
    ReportFault(Fault::InvalidParameter, "ZwSetValueKey", "Data is NULL with DataSize " + std::to_string(DataSize));
    return STATUS_INVALID_PARAMETER;
  }
  SetValue(key, io::ToU16(ValueName), Type, Data, DataSize);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
  Key *key = nullptr;
  NTSTATUS status = Usable(KeyHandle, KEY_SET_VALUE, "ZwDeleteValueKey", &key);
  if (!NT_SUCCESS(status)) return status;
  return DeleteValue(key, io::ToU16(ValueName)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS NTAPI ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation, ULONG Length,
                    PULONG ResultLength) {
  Key *key = nullptr;
  // The name alone asks for no right; the counts need KEY_QUERY_VALUE.
  ACCESS_MASK access = KeyInformationClass == KeyBasicInformation ? 0 : KEY_QUERY_VALUE;
  NTSTATUS status = Usable(KeyHandle, access, "ZwQueryKey", &key);
  if (!NT_SUCCESS(status)) return status;
  if (!CheckResultLength(ResultLength, "ZwQueryKey")) return STATUS_INVALID_PARAMETER;
  auto *out = static_cast<UCHAR *>(KeyInformation);
  if (KeyInformationClass == KeyBasicInformation) {
    ULONG fixed = offsetof(KEY_BASIC_INFORMATION, Name);
    ULONG nameBytes = (ULONG)(key->name.size() * sizeof(WCHAR));
    *ResultLength = fixed + nameBytes;
    if (Length < fixed || !KeyInformation) return STATUS_BUFFER_TOO_SMALL;
    auto *info = static_cast<PKEY_BASIC_INFORMATION>(KeyInformation);
    info->LastWriteTime = key->lastWrite;
    info->TitleIndex = 0;
    info->NameLength = nameBytes;
    memcpy(out + fixed, key->name.data(), std::min(nameBytes, Length - fixed));
    return Length < *ResultLength ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
  }
  if (KeyInformationClass != KeyFullInformation) {
    ReportFault(Fault::InvalidParameter, "ZwQueryKey",
                "KeyInformationClass " + std::to_string(KeyInformationClass) + " is not one the machine answers");
    return STATUS_INVALID_PARAMETER;
  }
  // Keys carry no class string here: the layout is its fixed part.
  *ResultLength = offsetof(KEY_FULL_INFORMATION, Class);
  if (Length < *ResultLength || !KeyInformation) return STATUS_BUFFER_TOO_SMALL;
  auto *info = static_cast<PKEY_FULL_INFORMATION>(KeyInformation);
  memset(info, 0, *ResultLength);
  info->LastWriteTime = key->lastWrite;
  info->ClassOffset = 0xFFFFFFFF;
  info->SubKeys = (ULONG)key->subkeys.size();
  for (const auto &sub : key->subkeys)
    info->MaxNameLen = std::max(info->MaxNameLen, (ULONG)(sub.second->name.size() * sizeof(WCHAR)));
  info->Values = (ULONG)key->values.size();
  for (const NamedValue &v : key->values) {
    info->MaxValueNameLen = std::max(info->MaxValueNameLen, (ULONG)(v.name.size() * sizeof(WCHAR)));
    info->MaxValueDataLen = std::max(info->MaxValueDataLen, (ULONG)v.value.data.size());
  }
  return STATUS_SUCCESS;
}

namespace sim {

NTSTATUS NtQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength) {
  registry::g_callFromUserMode = true;
  return ::ZwQueryValueKey(KeyHandle, ValueName, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
}

NTSTATUS NtEnumerateValueKey(HANDLE KeyHandle, ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                             PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
  registry::g_callFromUserMode = true;
  return ::ZwEnumerateValueKey(KeyHandle, Index, KeyValueInformationClass, KeyValueInformation, Length,
                             ResultLength);
}

NTSTATUS NtQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation, ULONG Length,
                    PULONG ResultLength) {
  registry::g_callFromUserMode = true;
  return ::ZwQueryKey(KeyHandle, KeyInformationClass, KeyInformation, Length, ResultLength);
}

}  // namespace sim
