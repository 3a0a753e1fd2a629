// Vendor requests, DTR with its retries, pipe resets and the unlimited
// synchronous submission, against devices that answer, fail, stall or stay
// silent, and with pool that runs out.
#include <gtest/gtest.h>

#include <cstring>

#include "sim/kernel/pool.h"
#include "sim/kernel/sim.h"
#include "support/driver_fixture.h"
#include "usb/submit.h"
#include "usb/urb.h"

using namespace testing_support;

namespace {

const ULONG kDriverTag = 0x206D6457;  // "Wdm "

uint64_t Elapsed(uint64_t start) { return sim::NowMs() - start; }

}  // namespace

TEST(VendorRequests, FromTheDeviceNotAnsweredIn200msIsCancelled) {
  RunOnDevice([](TestDevice &dev) {
    const size_t base = sim::pool::Outstanding(kDriverTag);  // blocks the device holds for good
    dev.Lower().SetPolicy([](const UrbSeen &) { return UrbReply::Pending(UrbReply::CancelAtOnce); });
    UCHAR byte = 0;
    uint64_t start = sim::NowMs();
    NTSTATUS s = SendVendorRequest(dev.Fdo(), TRUE, 0x40, 2, 0, &byte, 1);
    EXPECT_EQ(s, STATUS_CANCELLED);
    EXPECT_GE(Elapsed(start), 200u);
    EXPECT_LT(Elapsed(start), 216u);
    ASSERT_EQ(dev.Lower().Count(), 1u);
    const UrbSeen &u = dev.Lower().Seen(0);
    EXPECT_TRUE(u.answered);
    EXPECT_EQ(u.function, URB_FUNCTION_VENDOR_DEVICE);
    EXPECT_EQ(u.transferFlags, 3u);
    EXPECT_EQ(u.transferLength, 1u);
    EXPECT_EQ(u.request, 2);
    EXPECT_EQ(u.value, 0);
    EXPECT_EQ(u.requestTypeBits, 0x40);
    EXPECT_EQ(sim::pool::Outstanding(kDriverTag), base) << "the URB is freed";
    EXPECT_EQ(dev.Ext()->OutstandingIo, 1);
  });
}

TEST(VendorRequests, FromTheDeviceFailureIsPassedOn) {
  RunOnDevice([](TestDevice &dev) {
    dev.Lower().SetPolicy([](const UrbSeen &) { return UrbReply::Now(STATUS_UNSUCCESSFUL); });
    UCHAR byte = 0;
    EXPECT_EQ(SendVendorRequest(dev.Fdo(), TRUE, 0x40, 2, 0, &byte, 1), STATUS_UNSUCCESSFUL);
  });
}

TEST(VendorRequests, ToTheDeviceSucceedsWhenSilentFor100msOrStalled) {
  RunOnDevice([](TestDevice &dev) {
    const size_t base = sim::pool::Outstanding(kDriverTag);  // blocks the device holds for good
    dev.Lower().SetPolicy([](const UrbSeen &) { return UrbReply::Pending(UrbReply::CancelAtOnce); });
    uint64_t start = sim::NowMs();
    EXPECT_EQ(SendVendorRequest(dev.Fdo(), FALSE, 0x40, 1, 1, nullptr, 0), STATUS_SUCCESS);
    EXPECT_GE(Elapsed(start), 100u);
    EXPECT_LT(Elapsed(start), 116u);
    EXPECT_TRUE(dev.Lower().Seen(0).answered);

    dev.Lower().SetPolicy([](const UrbSeen &) { return UrbReply::Now(STATUS_UNSUCCESSFUL); });
    EXPECT_EQ(SendVendorRequest(dev.Fdo(), FALSE, 0x40, 1, 1, nullptr, 0), STATUS_SUCCESS);
    EXPECT_EQ(dev.Lower().Count(), 2u);
    EXPECT_EQ(sim::pool::Outstanding(kDriverTag), base);
    EXPECT_EQ(dev.Ext()->OutstandingIo, 1);
  });
}

TEST(Dtr, DeviceFailingEveryRequestGetsOneAttempt) {
  RunOnDevice([](TestDevice &dev) {
    dev.Lower().SetPolicy([](const UrbSeen &) { return UrbReply::Now(STATUS_UNSUCCESSFUL); });
    EXPECT_EQ(SetDtr(dev.Fdo()), STATUS_SUCCESS);
    ASSERT_EQ(dev.Lower().Count(), 1u);
    EXPECT_EQ(dev.Lower().Seen(0).value, 1);
    EXPECT_EQ(ClearDtr(dev.Fdo()), STATUS_SUCCESS);
    ASSERT_EQ(dev.Lower().Count(), 2u);
    EXPECT_EQ(dev.Lower().Seen(1).value, 0);
  });
}

TEST(Dtr, UrbThatCannotBeAllocatedIsTriedAgain) {
  RunOnDevice([](TestDevice &dev) {
    sim::pool::FailNth(1);  // only the first attempt's URB
    NTSTATUS s = SetDtr(dev.Fdo());
    uint64_t injected = sim::pool::InjectedFailures();
    sim::pool::Clear();
    EXPECT_EQ(s, STATUS_SUCCESS);
    EXPECT_EQ(injected, 1u);
    EXPECT_EQ(dev.Lower().Count(), 1u);
  });
}

TEST(Dtr, ThreeAttemptsWithoutPoolReportTheFailure) {
  RunOnDevice([](TestDevice &dev) {
    sim::pool::FailTag(kDriverTag);
    NTSTATUS set = SetDtr(dev.Fdo());
    uint64_t afterSet = sim::pool::InjectedFailures();
    NTSTATUS clr = ClearDtr(dev.Fdo());
    uint64_t afterClear = sim::pool::InjectedFailures();
    sim::pool::Clear();
    EXPECT_EQ(set, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(clr, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(afterSet, 3u);
    EXPECT_EQ(afterClear, 6u);
    EXPECT_EQ(dev.Lower().Count(), 0u);
    EXPECT_EQ(dev.Ext()->OutstandingIo, 1);
  });
}

TEST(Dtr, ControlRequestReportsTheAllocationFailureAndLeavesTheLines) {
  RunOnDevice([](TestDevice &dev) {
    dev.Ext()->WaitMask = SERIAL_EV_CTS;
    sim::pool::FailTag(kDriverTag);
    IoctlResult set = dev.Ioctl(IOCTL_SERIAL_SET_DTR);
    sim::pool::Clear();
    EXPECT_TRUE(CompletedWith(set, STATUS_INSUFFICIENT_RESOURCES, 0u));
    EXPECT_EQ(dev.Ext()->LineState, 0);
    EXPECT_EQ(dev.Ext()->CtsChanged, 0);
    EXPECT_EQ(dev.Ext()->OutstandingIo, 1);

    ASSERT_EQ(dev.Ioctl(IOCTL_SERIAL_SET_DTR).status, STATUS_SUCCESS);
    sim::pool::FailTag(kDriverTag);
    IoctlResult clr = dev.Ioctl(IOCTL_SERIAL_CLR_DTR);
    sim::pool::Clear();
    EXPECT_EQ(clr.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(dev.Ext()->LineState, 0x18);
  });
}

TEST(ResetPipe, NullHandleOrDeviceIsRefusedWithoutAllocating) {
  RunOnDevice([](TestDevice &dev) {
    sim::pool::FailNth(1);  // any allocation would be refused and counted
    NTSTATUS noPipe = ResetPipe(dev.Fdo(), nullptr);
    NTSTATUS noDevice = ResetPipe(nullptr, kBulkInPipe);
    uint64_t injected = sim::pool::InjectedFailures();
    sim::pool::Clear();
    EXPECT_EQ(noPipe, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(noDevice, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(injected, 0u);
    EXPECT_EQ(dev.Lower().Count(), 0u);
    EXPECT_EQ(dev.Ext()->OutstandingIo, 1);
  });
}

TEST(ResetPipe, WaitsUpToItsLimitAndPassesTheOutcomeOn) {
  RunOnDevice([](TestDevice &dev) {
    const size_t base = sim::pool::Outstanding(kDriverTag);  // blocks the device holds for good
    dev.Lower().SetPolicy([](const UrbSeen &) { return UrbReply::After(400, STATUS_SUCCESS); });
    uint64_t start = sim::NowMs();
    EXPECT_EQ(ResetPipe(dev.Fdo(), kBulkOutPipe), STATUS_SUCCESS);
    EXPECT_GE(Elapsed(start), 400u);
    ASSERT_EQ(dev.Lower().Count(), 1u);
    const UrbSeen &u = dev.Lower().Seen(0);
    EXPECT_EQ(u.function, URB_FUNCTION_RESET_PIPE);
    EXPECT_EQ(u.length, sizeof(struct _URB_PIPE_REQUEST));
    EXPECT_EQ(u.pipe, kBulkOutPipe);
    EXPECT_FALSE(u.cancelFlagAtAnswer);

    dev.Lower().SetPolicy([](const UrbSeen &) { return UrbReply::After(10, STATUS_DEVICE_NOT_CONNECTED); });
    EXPECT_EQ(ResetPipe(dev.Fdo(), kBulkInPipe), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(sim::pool::Outstanding(kDriverTag), base);
    EXPECT_EQ(dev.Ext()->OutstandingIo, 1);

    // A device that does not answer in time: cancelled, and a time-out.
    dev.Lower().SetPolicy([](const UrbSeen &) { return UrbReply::After(5000, STATUS_SUCCESS); });
    start = sim::NowMs();
    EXPECT_EQ(ResetPipe(dev.Fdo(), kBulkInPipe), STATUS_IO_TIMEOUT);
    EXPECT_LT(Elapsed(start), 1000u);
    EXPECT_EQ(sim::pool::Outstanding(kDriverTag), base);
    EXPECT_EQ(dev.Ext()->OutstandingIo, 1);
  });
}

TEST(SubmitSynchronous, WaitsForTheAnswerHoldingAReference) {
  RunOnDevice([](TestDevice &dev) {
    PDEVICE_EXTENSION ext = dev.Ext();
    std::vector<LONG> refs;
    dev.Lower().SetPolicy([ext, &refs](const UrbSeen &) {
      refs.push_back(ext->OutstandingIo);
      return UrbReply::After(1500, STATUS_SUCCESS, {0x09});
    });
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST block;
    memset(&block, 0, sizeof(block));
    UCHAR byte = 0;
    BuildVendorRequestUrb(reinterpret_cast<PURB>(&block), TRUE, 0x40, 2, 0, &byte, 1);
    uint64_t start = sim::NowMs();
    EXPECT_EQ(SubmitUrbSynchronous(dev.Fdo(), reinterpret_cast<PURB>(&block)), STATUS_SUCCESS);
    EXPECT_GE(Elapsed(start), 1500u);
    EXPECT_EQ(byte, 0x09);
    EXPECT_EQ(refs, std::vector<LONG>{2});
    EXPECT_EQ(ext->OutstandingIo, 1);

    dev.Lower().SetPolicy([](const UrbSeen &) { return UrbReply::Now(STATUS_UNSUCCESSFUL); });
    EXPECT_EQ(SubmitUrbSynchronous(dev.Fdo(), reinterpret_cast<PURB>(&block)), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ext->OutstandingIo, 1);
  });
}
