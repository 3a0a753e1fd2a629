// SetupAPI against the COM-port interface our driver enabled at AddDevice:
// the set, its enumeration, the two-call detail protocol, and the
// DevicePath CreateFile opens.
#include <gtest/gtest.h>

#include "sim/win32/include/ntddser.h"  // the Win32 one; the kernel's comes first on the tests' path
#include <setupapi.h>

#include <string>

#include "sim/world/world.h"
#include "support/win32_machine.h"
#include "win32/interface_helper.h"

using namespace testing_support;

namespace {

const GUID kNoSuchClass = {0x12345678, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};

// The one COM port interface's DevicePath, through the W detail call. In
// 16-bit units: the C++ library's wide strings assume another wchar_t.
std::u16string OnlyComPortPath() {
  HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_COMPORT, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  EXPECT_NE(INVALID_HANDLE_VALUE, set);
  SP_DEVICE_INTERFACE_DATA data = {};
  data.cbSize = sizeof data;
  if (!SetupDiEnumDeviceInterfaces(set, NULL, &GUID_DEVINTERFACE_COMPORT, 0, &data)) {
    SetupDiDestroyDeviceInfoList(set);
    return std::u16string();
  }
  DWORD needed = 0;
  SetupDiGetDeviceInterfaceDetailW(set, &data, NULL, 0, &needed, NULL);
  std::vector<char> buffer(needed);
  auto *detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(buffer.data());
  detail->cbSize = sizeof *detail;
  EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, needed, NULL, NULL));
  std::u16string path(detail->DevicePath, detail->DevicePath + wcslen(detail->DevicePath));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
  return path;
}

TEST(SetupApi, TheEnabledInterfaceIsFoundAndItsPathOpensThePort) {
  RunOnOneMachine([](sim::World &world) {

    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_COMPORT, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(INVALID_HANDLE_VALUE, set);
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data - 1;
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, NULL, &GUID_DEVINTERFACE_COMPORT, 0, &data));
    EXPECT_EQ((DWORD)ERROR_INVALID_USER_BUFFER, GetLastError());
    data.cbSize = sizeof data;
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, NULL, &kNoSuchClass, 0, &data));
    EXPECT_EQ((DWORD)ERROR_NO_MORE_ITEMS, GetLastError());
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, NULL, &GUID_DEVINTERFACE_COMPORT, 0, &data));
    EXPECT_EQ(0, memcmp(&data.InterfaceClassGuid, &GUID_DEVINTERFACE_COMPORT, sizeof(GUID)));
    EXPECT_EQ((DWORD)SPINT_ACTIVE, data.Flags);
    SP_DEVICE_INTERFACE_DATA past = {};
    past.cbSize = sizeof past;
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, NULL, &GUID_DEVINTERFACE_COMPORT, 1, &past));
    EXPECT_EQ((DWORD)ERROR_NO_MORE_ITEMS, GetLastError());

    // The two calls: the size, then the path.
    DWORD needed = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, NULL, 0, &needed, NULL));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    const std::string expected = "\\\\?\\usb#vid_1234&pid_5678#5&0&0&1#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
    EXPECT_EQ(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + expected.size() + 1, needed);
    std::vector<char> buffer(needed);
    auto *detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
    detail->cbSize = needed;  // the common mistake: the buffer's size, not the structure's
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, needed, NULL, NULL));
    EXPECT_EQ((DWORD)ERROR_INVALID_USER_BUFFER, GetLastError());
    detail->cbSize = sizeof *detail;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, needed - 1, NULL, NULL));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, needed, NULL, NULL));
    EXPECT_EQ(expected, std::string(detail->DevicePath));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());

    // The path leads through the link to the port: it answers as COM7 does.
    HANDLE port = CreateFileA(expected.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, port);
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    EXPECT_TRUE(GetCommState(port, &dcb));
    EXPECT_NE(0u, dcb.BaudRate);
    EXPECT_TRUE(CloseHandle(port));
    EXPECT_EQ(std::u16string(expected.begin(), expected.end()), OnlyComPortPath());

    // Disabled: gone from new sets, and the path opens nothing.
    ASSERT_EQ(0, probe::EnableInterface(world, &GUID_DEVINTERFACE_COMPORT, false));
    EXPECT_EQ(std::u16string(), OnlyComPortPath());
    EXPECT_EQ(INVALID_HANDLE_VALUE,
              CreateFileA(expected.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
  });
}

TEST(SetupApi, SetsOfSetupClassesAndMissingClassesAreRefused) {
  RunOnOneMachine([](sim::World &) {
    EXPECT_EQ(INVALID_HANDLE_VALUE, SetupDiGetClassDevsW(&GUID_DEVINTERFACE_COMPORT, NULL, NULL, DIGCF_PRESENT));
    EXPECT_EQ((DWORD)ERROR_INVALID_FLAGS, GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, SetupDiGetClassDevsW(NULL, NULL, NULL, DIGCF_DEVICEINTERFACE));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data;
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces((HDEVINFO)&data, NULL, &GUID_DEVINTERFACE_COMPORT, 0, &data));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
  });
}

}  // namespace
