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

// The path DriverEntry gets from PathEntry below: not terminated, in a
// buffer longer than the path, whatever follows it garbage.
const WCHAR kPathBody[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\usbmodem";
constexpr size_t kPathChars = sizeof(kPathBody) / sizeof(WCHAR) - 1;
WCHAR g_callersPath[kPathChars + 16];
UNICODE_STRING g_callersString;

NTSTATUS NTAPI PathEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (size_t i = 0; i < sizeof(g_callersPath) / sizeof(WCHAR); ++i) g_callersPath[i] = L'X';
  memcpy(g_callersPath, kPathBody, kPathChars * sizeof(WCHAR));
  g_callersString.Buffer = g_callersPath;
  g_callersString.Length = USHORT(kPathChars * sizeof(WCHAR));
  g_callersString.MaximumLength = USHORT(sizeof(g_callersPath));
  NTSTATUS status = DriverEntry(driver, &g_callersString);
  // The caller's string is the caller's again.
  for (WCHAR &c : g_callersPath) c = L'Z';
  return status;
}

// A request of an unlisted major function built by hand, as a component
// above might send it; the status block starts out as nobody would leave it.
struct UnlistedResult {
  NTSTATUS returned;
  NTSTATUS status;
  ULONG_PTR information;
};

NTSTATUS NTAPI KeepIrp(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

UnlistedResult SendUnlisted(PDEVICE_OBJECT dev, UCHAR major) {
  PIRP irp = IoAllocateIrp(dev->StackSize, FALSE);
  if (irp == nullptr) return {STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES, 0};
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0x5A5A;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = major;
  if (major == IRP_MJ_INTERNAL_DEVICE_CONTROL)
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  IoSetCompletionRoutine(irp, KeepIrp, nullptr, TRUE, TRUE, TRUE);
  UnlistedResult r;
  r.returned = IofCallDriver(dev, irp);
  r.status = irp->IoStatus.Status;
  r.information = irp->IoStatus.Information;
  IoFreeIrp(irp);
  return r;
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

TEST(DriverEntry, CopiesExactlyThePathsLengthIntoABufferOfItsOwn) {
  RunOnMachine([] {
    PDRIVER_OBJECT driver = nullptr;
    size_t before = sim::pool::Outstanding(USBMODEM_POOL_TAG);
    ASSERT_EQ(STATUS_SUCCESS, sim::internal::LoadDriver(L"\\Driver\\usbmodem", PathEntry, kServiceKey, &driver));
    const USHORT length = USHORT(kPathChars * sizeof(WCHAR));
    EXPECT_EQ(length, DriverRegistryPath.Length);
    EXPECT_EQ(length + sizeof(WCHAR), DriverRegistryPath.MaximumLength) << "sized by Length, not by the caller's buffer";
    ASSERT_NE(nullptr, DriverRegistryPath.Buffer);
    EXPECT_NE(g_callersPath, DriverRegistryPath.Buffer) << "the caller's buffer is not the driver's to keep";
    EXPECT_EQ(0, memcmp(DriverRegistryPath.Buffer, kPathBody, length)) << "the path survives its caller";
    EXPECT_EQ(0, DriverRegistryPath.Buffer[kPathChars]) << "terminated after Length, not copied to MaximumLength";
    EXPECT_EQ(before + 1, sim::pool::Outstanding(USBMODEM_POOL_TAG));
    sim::internal::UnloadDriver(driver);
    EXPECT_EQ(before, sim::pool::Outstanding(USBMODEM_POOL_TAG));
  });
}

TEST(DriverEntry, FailedCopyLeavesNothingBehindAndALaterLoadWorks) {
  RunOnMachine([] {
    size_t before = sim::pool::OutstandingTotal();
    DriverRegistryPath = {0, 0, nullptr};  // as a freshly loaded image holds it
    PDRIVER_OBJECT failed = nullptr;
    sim::pool::FailNth(1);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
              sim::internal::LoadDriver(L"\\Driver\\usbmodem", DriverEntry, kServiceKey, &failed));
    sim::pool::Clear();
    EXPECT_EQ(1u, sim::pool::InjectedFailures()) << "the copy is the only allocation";
    EXPECT_EQ(before, sim::pool::OutstandingTotal()) << "nothing allocated is left over";
    EXPECT_EQ(nullptr, DriverRegistryPath.Buffer);
    EXPECT_EQ(0, DriverRegistryPath.Length);
    EXPECT_EQ(0, DriverRegistryPath.MaximumLength);
    sim::internal::UnloadDriver(failed);

    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, sim::internal::LoadDriver(L"\\Driver\\usbmodem", DriverEntry, kServiceKey, &driver));
    ASSERT_NE(nullptr, DriverRegistryPath.Buffer);
    EXPECT_EQ(0, memcmp(DriverRegistryPath.Buffer, kServiceKey, DriverRegistryPath.Length));
    sim::internal::UnloadDriver(driver);
    EXPECT_EQ(before, sim::pool::OutstandingTotal());
  });
}

TEST(DriverEntry, EveryUnlistedMajorFunctionFailsAtOnceInEveryState) {
  for (ULONG state : {ULONG(NotStarted), ULONG(Working), ULONG(PendingStop), ULONG(PendingRemove),
                      ULONG(SurpriseRemoved)}) {
    RunOnMachine([state] {
      TestDevice dev(state);
      for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        if (Handled(major)) continue;
        SCOPED_TRACE("major " + std::to_string(major) + " in state " + std::to_string(state));
        UnlistedResult r = SendUnlisted(dev.Fdo(), UCHAR(major));
        EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, r.returned);
        EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, r.status);
        EXPECT_EQ(0u, r.information);
      }
      EXPECT_EQ(0u, dev.Lower().Count()) << "nothing was passed down to the bus";
      EXPECT_EQ(1, dev.Ext()->OutstandingIo);
      EXPECT_EQ(state, dev.Ext()->DeviceState);
    });
  }
}
