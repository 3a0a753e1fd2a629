// Loading the driver: the copy of its registry path, the entry points it
// fills, the I/O manager's default for the rest, and unloading.
#include <gtest/gtest.h>

#include <cstring>

#include "driver/entry.h"
#include "sim/kernel/internal.h"
#include "sim/kernel/pool.h"
#include "support/driver_fixture.h"

using namespace testing_support;

namespace {

const WCHAR kServiceKey[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\usbmodem";

const UCHAR kHandledMajors[] = {IRP_MJ_CREATE,         IRP_MJ_CLOSE,  IRP_MJ_READ,           IRP_MJ_WRITE,
                                IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLEANUP, IRP_MJ_POWER,         IRP_MJ_SYSTEM_CONTROL,
                                IRP_MJ_PNP};

bool Handled(int major) {
  for (UCHAR m : kHandledMajors)
    if (m == major) return true;
  return false;
}

// One request of this major function straight to the device, as another
// component would send it; returns its final status.
NTSTATUS SendMajor(PDEVICE_OBJECT dev, UCHAR major) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb = {};
  PIRP irp = IoBuildSynchronousFsdRequest(major, dev, nullptr, 0, nullptr, &done, &iosb);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  if (IofCallDriver(dev, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return iosb.Status;
}

}  // namespace

TEST(DriverEntry, KeepsATerminatedCopyOfThePathAndFillsTheTable) {
  RunOnMachine([] {
    PDRIVER_OBJECT driver = nullptr;
    size_t before = sim::pool::Outstanding(USBMODEM_POOL_TAG);
    ASSERT_EQ(STATUS_SUCCESS, sim::internal::LoadDriver(L"\\Driver\\usbmodem", DriverEntry, kServiceKey, &driver));

    const USHORT length = USHORT(wcslen(kServiceKey) * sizeof(WCHAR));
    EXPECT_EQ(length, DriverRegistryPath.Length);
    EXPECT_EQ(length + 2, DriverRegistryPath.MaximumLength);
    ASSERT_NE(nullptr, DriverRegistryPath.Buffer);
    EXPECT_EQ(0, memcmp(DriverRegistryPath.Buffer, kServiceKey, length));
    EXPECT_EQ(0, DriverRegistryPath.Buffer[length / sizeof(WCHAR)]) << "the copy ends with a zero WCHAR";
    EXPECT_EQ(before + 1, sim::pool::Outstanding(USBMODEM_POOL_TAG));

    EXPECT_NE(nullptr, driver->DriverExtension->AddDevice);
    EXPECT_NE(nullptr, driver->DriverUnload);
    EXPECT_NE(nullptr, driver->DriverStartIo);
    // Every other entry keeps the I/O manager's default, which IRP_MJ_QUERY_EA holds.
    PDRIVER_DISPATCH fallback = driver->MajorFunction[IRP_MJ_QUERY_EA];
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
      if (Handled(major))
        EXPECT_NE(fallback, driver->MajorFunction[major]) << "major " << major;
      else
        EXPECT_EQ(fallback, driver->MajorFunction[major]) << "major " << major;
    }
    EXPECT_EQ(nullptr, driver->FastIoDispatch);

    sim::internal::UnloadDriver(driver);
    EXPECT_EQ(nullptr, DriverRegistryPath.Buffer);
    EXPECT_EQ(before, sim::pool::Outstanding(USBMODEM_POOL_TAG));
  });
}

TEST(DriverEntry, WithoutPoolTheLoadFailsAndNothingIsSet) {
  RunOnMachine([] {
    PDRIVER_OBJECT driver = nullptr;
    sim::pool::FailNth(1);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
              sim::internal::LoadDriver(L"\\Driver\\usbmodem", DriverEntry, kServiceKey, &driver));
    sim::pool::Clear();
    ASSERT_NE(nullptr, driver);
    EXPECT_EQ(nullptr, driver->DriverExtension->AddDevice);
    EXPECT_EQ(nullptr, driver->DriverUnload);
    EXPECT_EQ(nullptr, driver->DriverStartIo);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_QUERY_EA], driver->MajorFunction[IRP_MJ_CREATE]);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_QUERY_EA], driver->MajorFunction[IRP_MJ_PNP]);
    EXPECT_EQ(0u, sim::pool::Outstanding(USBMODEM_POOL_TAG));
    sim::internal::UnloadDriver(driver);
  });
}

TEST(DriverEntry, UnhandledMajorFunctionsFailWhateverTheState) {
  for (ULONG state : {ULONG(NotStarted), ULONG(Working), ULONG(PendingRemove)}) {
    RunOnMachine([state] {
      TestDevice dev(state);
      for (UCHAR major : {UCHAR(IRP_MJ_FLUSH_BUFFERS), UCHAR(IRP_MJ_SHUTDOWN)}) {
        EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, SendMajor(dev.Fdo(), major))
            << "major " << int(major) << " in state " << state;
      }
      EXPECT_EQ(1, dev.Ext()->OutstandingIo);
    });
  }
}
