// The kernel side of the device map for tests written with <windows.h>: a
// driver's SERIALCOMM entries written and deleted as a port driver does,
// and the registry's own view of the key.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace probe {

// RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", device, REG_SZ,
// port): run inside World::Run. Returns the NTSTATUS.
int WriteSerialComm(const std::u16string &device, const std::u16string &port);
int DeleteSerialComm(const std::u16string &device);
// The values of HARDWARE\DEVICEMAP\SERIALCOMM as the registry holds them:
// device name and port name (without its terminator).
std::vector<std::pair<std::u16string, std::u16string>> SerialCommEntries();

}  // namespace probe
