// The port's names in the system: the DOS link, the COM-port device
// interface and the SERIALCOMM device-map value.
#pragma once

#include "driver/driver.h"

PAGED_CODE_SEG NTSTATUS ReadRegistryValue(HANDLE KeyHandle, PCWSTR ValueName, ULONG ValueNameSize,
                                          PVOID Data, ULONG DataSize);
// InterfaceName receives the device interface's symbolic name.
PAGED_CODE_SEG NTSTATUS CreatePortName(PDEVICE_OBJECT Pdo, PUNICODE_STRING InterfaceName);
PAGED_CODE_SEG NTSTATUS RemovePortName(PDEVICE_OBJECT Pdo);
// Disables the interface and frees its name (safe on an empty name).
PAGED_CODE_SEG void WithdrawInterface(PUNICODE_STRING InterfaceName);
