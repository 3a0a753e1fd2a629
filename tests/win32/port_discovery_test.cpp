// An application finds our port as terminal programs do, through the serial
// device map and through the COM-port interfaces, under the name the modem's
// hardware key gives it, and opens it by that name.
#include <gtest/gtest.h>

#include "sim/win32/include/ntddser.h"  // the Win32 one; the kernel's comes first on the tests' path
#include <setupapi.h>

#include <string>
#include <vector>

#include "sim/world/world.h"
#include "support/seeds.h"

namespace {

std::vector<std::string> DeviceMapPorts() {
  std::vector<std::string> ports;
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
    return ports;
  for (DWORD i = 0;; ++i) {
    char name[256], data[256];
    DWORD nameLength = sizeof name, dataLength = sizeof data, type = 0;
    if (RegEnumValueA(key, i, name, &nameLength, NULL, &type, (LPBYTE)data, &dataLength) != ERROR_SUCCESS) break;
    EXPECT_EQ((DWORD)REG_SZ, type);
    ports.emplace_back(data);
  }
  RegCloseKey(key);
  return ports;
}

size_t ComPortInterfaces() {
  HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_COMPORT, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return 0;
  SP_DEVICE_INTERFACE_DATA data = {};
  data.cbSize = sizeof data;
  size_t count = 0;
  while (SetupDiEnumDeviceInterfaces(set, NULL, &GUID_DEVINTERFACE_COMPORT, DWORD(count), &data)) ++count;
  SetupDiDestroyDeviceInfoList(set);
  return count;
}

bool Opens(const std::string &port) {
  HANDLE h = CreateFileA(("\\\\.\\" + port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  return true;
}

void FindAndOpen(const std::string &configured, const std::string &expected, const std::string &other) {
  sim::WorldOptions options;
  options.seed = testing_support::Seeds().front();
  options.portName = configured;
  sim::World world(options);
  world.Run([&] {
    EXPECT_EQ(std::vector<std::string>{expected}, DeviceMapPorts());
    EXPECT_EQ(1u, ComPortInterfaces());
    EXPECT_TRUE(Opens(expected));
    EXPECT_FALSE(Opens(other));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
  });
  for (const std::string &fault : world.Close()) ADD_FAILURE() << fault;
}

}  // namespace

TEST(PortDiscovery, ThePortIsCom7ByDefault) { FindAndOpen("", "COM7", "COM3"); }

TEST(PortDiscovery, TheHardwareKeysPortNameIsThePortsName) { FindAndOpen("COM3", "COM3", "COM7"); }
