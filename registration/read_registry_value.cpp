#include "registration/port_name.h"

// Room for the fixed part of KEY_VALUE_FULL_INFORMATION, whatever the build.
const ULONG FULL_INFORMATION_FIXED_SIZE = 24;

PAGED_CODE_SEG NTSTATUS ReadRegistryValue(HANDLE KeyHandle, PCWSTR ValueName, ULONG ValueNameSize,
                                          PVOID Data, ULONG DataSize)
{
    PAGED_CODE();
    NTSTATUS status = STATUS_NO_MEMORY;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ValueName);
    ULONG size = ValueNameSize + DataSize + FULL_INFORMATION_FIXED_SIZE;
    PKEY_VALUE_FULL_INFORMATION record = static_cast<PKEY_VALUE_FULL_INFORMATION>(
        ExAllocatePoolWithTag(NonPagedPool, size, USBMODEM_POOL_TAG));
    if (record == NULL) {
        return status;
    }
    ULONG resultLength = 0;
    status = ZwQueryValueKey(KeyHandle, &name, KeyValueFullInformation, record, size, &resultLength);
    // The data must lie inside the record as well as fit the caller's buffer.
    if (NT_SUCCESS(status) && record->DataLength <= DataSize && record->DataOffset <= size &&
        record->DataLength <= size - record->DataOffset) {
        RtlCopyMemory(Data, reinterpret_cast<PUCHAR>(record) + record->DataOffset, record->DataLength);
    }
    ExFreePool(record);
    return status;
}
