// The registry half of the bridge: what advapi32 asks of the kernel's key
// routines, each value fetched with the two-call protocol (size, then data).
#include "sim/win32/src/nt_bridge.h"

#include <sim/kernel/ntapi.h>

#include <cstddef>
#include <cstring>

namespace sim {
namespace win32 {
namespace {

UNICODE_STRING Counted(const std::u16string &s) {
  UNICODE_STRING u;
  u.Buffer = reinterpret_cast<WCHAR *>(const_cast<char16_t *>(s.c_str()));
  u.Length = u.MaximumLength = static_cast<USHORT>(s.size() * sizeof(WCHAR));
  return u;
}

// Calls `query(buffer, length, &needed)` until the buffer is large enough.
template <typename Query>
NTSTATUS Fetch(std::vector<UCHAR> *buffer, Query query) {
  ULONG needed = 0;
  NTSTATUS status = query(nullptr, 0, &needed);
  while (status == STATUS_BUFFER_TOO_SMALL || status == STATUS_BUFFER_OVERFLOW) {
    buffer->assign(needed, 0);
    status = query(buffer->data(), needed, &needed);
  }
  return status;
}

}  // namespace

NtStatus OpenKey(void *root, const std::u16string &path, uint32_t access, void **key) {
  UNICODE_STRING name = Counted(path);
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, static_cast<HANDLE>(root), nullptr);
  HANDLE h = nullptr;
  NTSTATUS status = ZwOpenKey(&h, access, &oa);
  if (NT_SUCCESS(status)) *key = h;
  return status;
}

NtStatus CloseKey(void *key) { return ZwClose(static_cast<HANDLE>(key)); }

NtStatus QueryValue(void *key, const std::u16string &name, uint32_t *type, std::vector<uint8_t> *data) {
  UNICODE_STRING n = Counted(name);
  std::vector<UCHAR> buffer;
  NTSTATUS status = Fetch(&buffer, [&](PVOID b, ULONG length, PULONG needed) {
    return NtQueryValueKey(static_cast<HANDLE>(key), &n, KeyValuePartialInformation, b, length, needed);
  });
  if (!NT_SUCCESS(status)) return status;
  auto *info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer.data());
  *type = info->Type;
  data->assign(info->Data, info->Data + info->DataLength);
  return status;
}

NtStatus EnumValue(void *key, uint32_t index, std::u16string *name, uint32_t *type, std::vector<uint8_t> *data) {
  std::vector<UCHAR> buffer;
  NTSTATUS status = Fetch(&buffer, [&](PVOID b, ULONG length, PULONG needed) {
    return NtEnumerateValueKey(static_cast<HANDLE>(key), index, KeyValueFullInformation, b, length, needed);
  });
  if (!NT_SUCCESS(status)) return status;
  auto *info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer.data());
  name->assign(reinterpret_cast<const char16_t *>(info->Name), info->NameLength / sizeof(WCHAR));
  *type = info->Type;
  data->assign(buffer.data() + info->DataOffset, buffer.data() + info->DataOffset + info->DataLength);
  return status;
}

NtStatus QueryKey(void *key, KeyCounts *counts) {
  std::vector<UCHAR> buffer;
  NTSTATUS status = Fetch(&buffer, [&](PVOID b, ULONG length, PULONG needed) {
    return NtQueryKey(static_cast<HANDLE>(key), KeyFullInformation, b, length, needed);
  });
  if (!NT_SUCCESS(status)) return status;
  auto *info = reinterpret_cast<PKEY_FULL_INFORMATION>(buffer.data());
  counts->subKeys = info->SubKeys;
  counts->maxSubKeyNameBytes = info->MaxNameLen;
  counts->values = info->Values;
  counts->maxValueNameBytes = info->MaxValueNameLen;
  counts->maxValueDataBytes = info->MaxValueDataLen;
  counts->lastWrite = static_cast<uint64_t>(info->LastWriteTime.QuadPart);
  return status;
}

}  // namespace win32
}  // namespace sim
