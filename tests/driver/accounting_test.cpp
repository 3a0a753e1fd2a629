// Request references and the two events that report the device idle or gone.
#include <gtest/gtest.h>

#include "driver/accounting.h"
#include "support/driver_fixture.h"

using namespace testing_support;

namespace {

bool Signalled(KEVENT &e) { return KeReadStateEvent(&e) != 0; }

NTSTATUS NTAPI KeepIrp(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto *seen = static_cast<IO_STATUS_BLOCK *>(context);
  *seen = irp->IoStatus;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

TEST(Accounting, FirstDecrementToOneSignalsNoPendingIo) {
  RunOnDevice([](TestDevice &dev) {
    PDEVICE_EXTENSION ext = dev.Ext();
    EXPECT_EQ(ext->OutstandingIo, 1);
    EXPECT_FALSE(Signalled(ext->NoPendingIoEvent));

    IoIncrement(ext);
    IoIncrement(ext);
    EXPECT_EQ(ext->OutstandingIo, 3);
    IoDecrement(ext);  // 3 -> 2: not idle yet
    EXPECT_FALSE(Signalled(ext->NoPendingIoEvent));
    IoDecrement(ext);  // 2 -> 1
    EXPECT_EQ(ext->OutstandingIo, 1);
    EXPECT_TRUE(Signalled(ext->NoPendingIoEvent));
    EXPECT_FALSE(Signalled(ext->RemoveEvent));

    // A synchronization event: the drain's wait consumes the signal.
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&ext->NoPendingIoEvent, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_FALSE(Signalled(ext->NoPendingIoEvent));
  });
}

TEST(Accounting, IncrementToTwoClearsAnUnconsumedSignal) {
  RunOnDevice([](TestDevice &dev) {
    PDEVICE_EXTENSION ext = dev.Ext();
    IoIncrement(ext);
    IoDecrement(ext);
    ASSERT_TRUE(Signalled(ext->NoPendingIoEvent));
    IoIncrement(ext);  // 1 -> 2 while still signalled
    EXPECT_FALSE(Signalled(ext->NoPendingIoEvent));
    IoIncrement(ext);  // 2 -> 3 leaves it alone
    KeSetEvent(&ext->NoPendingIoEvent, IO_NO_INCREMENT, FALSE);
    IoIncrement(ext);
    EXPECT_TRUE(Signalled(ext->NoPendingIoEvent)) << "only the 1 -> 2 step clears the event";
    IoDecrement(ext);
    IoDecrement(ext);
    IoDecrement(ext);
    EXPECT_EQ(ext->OutstandingIo, 1);
  });
}

TEST(Accounting, LastReferenceSignalsRemoveEventOnly) {
  RunOnDevice([](TestDevice &dev) {
    PDEVICE_EXTENSION ext = dev.Ext();
    ASSERT_FALSE(Signalled(ext->NoPendingIoEvent));
    IoDecrement(ext);  // the device's own reference: 1 -> 0
    EXPECT_EQ(ext->OutstandingIo, 0);
    EXPECT_TRUE(Signalled(ext->RemoveEvent));
    EXPECT_FALSE(Signalled(ext->NoPendingIoEvent));
    IoIncrement(ext);  // back to the device's own reference for teardown
    EXPECT_FALSE(Signalled(ext->NoPendingIoEvent));
  });
}

TEST(Accounting, CompleteRequestStoresAndReturnsTheStatus) {
  RunOnDevice([](TestDevice &dev) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    ASSERT_NE(irp, nullptr);
    IO_STATUS_BLOCK seen;
    seen.Status = STATUS_PENDING;
    seen.Information = 0;
    IoSetCompletionRoutine(irp, KeepIrp, &seen, TRUE, TRUE, TRUE);
    IoSetNextIrpStackLocation(irp);  // the IRP is now ours to complete
    irp->IoStatus.Information = 999;
    EXPECT_EQ(CompleteRequest(irp, STATUS_DEVICE_NOT_CONNECTED, 7), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(seen.Status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(seen.Information, 7u);
    IoFreeIrp(irp);
  });
}
