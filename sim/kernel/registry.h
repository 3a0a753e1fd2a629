// The simulated machine's registry as tests and the simulated bus see it:
// values preset before a driver reads them, and any key read back after.
// Host only; drivers use the Zw*/Rtl*/IoOpenDeviceRegistryKey routines.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <wdm.h>

namespace sim {
namespace registry {

struct Value {
  ULONG type = REG_NONE;
  std::vector<uint8_t> data;
};

// Writes a value into the PDO's hardware key (the "Device Parameters" key
// IoOpenDeviceRegistryKey(PLUGPLAY_REGKEY_DEVICE) opens), creating the key.
// False when pdo is not a PDO of the bus.
bool SetDeviceValue(PDEVICE_OBJECT pdo, const std::u16string &name, ULONG type, const void *data, ULONG length);
bool SetDeviceValue(PDEVICE_OBJECT pdo, const WCHAR *name, ULONG type, const void *data, ULONG length);
// The absolute path of that key (\Registry\Machine\SYSTEM\...\Device Parameters).
std::u16string DeviceKeyPath(PDEVICE_OBJECT pdo);

// Absolute paths (\Registry\Machine\...), case-insensitive as Windows' are.
bool KeyExists(const std::u16string &path);
bool KeyIsVolatile(const std::u16string &path);
// False when the key or the value is missing.
bool QueryValue(const std::u16string &path, const std::u16string &name, Value *value);
// The key's values in the registry's order; empty when the key is missing.
std::vector<std::pair<std::u16string, Value>> Values(const std::u16string &path);
// Writes a value, creating the key and any missing keys above it (persistent).
void SetValue(const std::u16string &path, const std::u16string &name, ULONG type, const void *data, ULONG length);

// What a restart of the machine keeps: volatile keys (the hardware hive,
// REG_OPTION_VOLATILE keys) go, persistent ones stay. Open handles on a key
// that went answer STATUS_KEY_DELETED.
void DiscardVolatileKeys();

}  // namespace registry
}  // namespace sim
