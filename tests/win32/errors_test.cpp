// NT status to Win32 error, as kernel32 maps it, and the errors serial
// programs see from the driver.
#include <gtest/gtest.h>

#include "sim/win32/src/last_error.h"
#include "sim/world/world.h"
#include "support/win32_machine.h"
#include "support/win32_port.h"
#include "win32/device_probe.h"

using namespace testing_support;

TEST(Errors, StatusMapsAsOnWindows) {
  const std::pair<uint32_t, DWORD> rows[] = {
      {0xC0000022, ERROR_ACCESS_DENIED},       {0xC000000D, ERROR_INVALID_PARAMETER},
      {0xC0000120, ERROR_OPERATION_ABORTED},   {0x00000103, ERROR_IO_PENDING},
      {0xC0000023, ERROR_INSUFFICIENT_BUFFER}, {0xC0000001, ERROR_GEN_FAILURE},
      {0xC000009A, ERROR_NO_SYSTEM_RESOURCES}, {0xC0000010, ERROR_INVALID_FUNCTION},
      {0xC000009D, ERROR_DEVICE_NOT_CONNECTED}, {0xC0000034, ERROR_FILE_NOT_FOUND},
      {0xC0000008, ERROR_INVALID_HANDLE},      {0xC0000056, ERROR_ACCESS_DENIED},
      {0x00000000, ERROR_SUCCESS},             {0xC0DEC0DE, ERROR_MR_MID_NOT_FOUND},
  };
  for (const auto &row : rows) {
    EXPECT_EQ(sim::win32::Win32ErrorFromNtStatus(static_cast<int32_t>(row.first)), row.second)
        << std::hex << row.first;
  }
}

TEST(Errors, DriverRefusalsReachTheProgram) {
  RunOnOneMachine([&](sim::World &world) {
    HANDLE port = OpenCom7();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);

    EXPECT_EQ(OpenCom7(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);

    DWORD mask;
    ASSERT_TRUE(SetCommMask(port, 0));
    EXPECT_FALSE(WaitCommEvent(port, &mask, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    EXPECT_FALSE(PurgeComm(port, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(PurgeComm(port, 0x10));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    char small[3];
    DWORD returned = 99;
    EXPECT_FALSE(DeviceIoControl(port, IOCTL_SERIAL_GET_BAUD_RATE, NULL, 0, small, 3, &returned, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(returned, 0u);

    EXPECT_FALSE(DeviceIoControl(port, IOCTL_SERIAL_IMMEDIATE_CHAR, NULL, 0, NULL, 0, &returned, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_SYSTEM_RESOURCES);

    // A request while the device is not working: the driver's
    // STATUS_UNSUCCESSFUL is ERROR_GEN_FAILURE.
    uint32_t state = probe::DeviceState(world);
    probe::SetDeviceState(world, 2);  // PendingStop
    DWORD modem;
    EXPECT_FALSE(GetCommModemStatus(port, &modem));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_GEN_FAILURE);
    probe::SetDeviceState(world, state);
    EXPECT_TRUE(GetCommModemStatus(port, &modem));

    ASSERT_TRUE(CloseHandle(port));
    EXPECT_FALSE(CloseHandle(port));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(GetCommModemStatus(port, &modem));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
  });
}

TEST(Errors, NamesThatLeadNowhere) {
  RunOnOneMachine([&](sim::World &) {
    EXPECT_EQ(CreateFileW(L"\\\\.\\COM9", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(CreateFileA("C:\\data.txt", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    // The DOS device name works without the \\.\ prefix, as on Windows.
    HANDLE port = CreateFileA("COM7", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    EXPECT_NE(port, INVALID_HANDLE_VALUE);
    CloseHandle(port);
  });
}

TEST(Errors, UnpluggedModemFailsTransfers) {
  OnOneMachine([&](sim::World &world) {
    HANDLE port = INVALID_HANDLE_VALUE;
    world.Run([&] { port = OpenCom7(); });
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    world.Unplug();
    world.Run([&] {
      DWORD written = 5;
      EXPECT_FALSE(WriteFile(port, "abc", 3, &written, NULL));
      EXPECT_EQ(GetLastError(), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
      EXPECT_EQ(written, 0u);
      CloseHandle(port);
    });
  });
}
