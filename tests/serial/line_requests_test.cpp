// DTR and RTS requests: what reaches the device, how the emulated lines and
// the two images follow, and which line events they raise.
#include <gtest/gtest.h>

#include "serial/lines.h"
#include "support/driver_fixture.h"

using namespace testing_support;

namespace {

void ExpectDtrRequest(const UrbSeen &u, USHORT value) {
  EXPECT_EQ(u.function, URB_FUNCTION_VENDOR_DEVICE);
  EXPECT_EQ(u.length, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
  EXPECT_EQ(u.requestTypeBits, 0x40);
  EXPECT_EQ(u.request, 1);
  EXPECT_EQ(u.value, value);
  EXPECT_EQ(u.index, 0);
  EXPECT_EQ(u.transferFlags, 0u);
  EXPECT_EQ(u.transferLength, 0u);
}

}  // namespace

TEST(LineRequests, SetAndClearDtrDriveCtsAndDsrAndReachTheDevice) {
  RunOnDevice([](TestDevice &dev) {
    PDEVICE_EXTENSION ext = dev.Ext();
    IoctlResult set = dev.Ioctl(IOCTL_SERIAL_SET_DTR);
    EXPECT_TRUE(CompletedWith(set, STATUS_SUCCESS, 0u));
    ASSERT_EQ(dev.Lower().Count(), 1u);
    ExpectDtrRequest(dev.Lower().Seen(0), 1);
    EXPECT_EQ(ext->LineState, 0x18);
    EXPECT_EQ(ext->ModemStatus, 0x30u);
    EXPECT_EQ(ext->ModemControl, 0x30u);
    EXPECT_EQ(ext->CtsChanged, 1);  // no wait mask: latched, not consumed
    EXPECT_EQ(ext->DsrChanged, 1);
    EXPECT_EQ(ext->RlsdChanged, 0);
    EXPECT_EQ(dev.Ioctl(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, 4).OutUlong(), 0x30u);

    IoctlResult clr = dev.Ioctl(IOCTL_SERIAL_CLR_DTR);
    EXPECT_EQ(clr.status, STATUS_SUCCESS);
    ASSERT_EQ(dev.Lower().Count(), 2u);
    ExpectDtrRequest(dev.Lower().Seen(1), 0);
    EXPECT_EQ(ext->LineState, 0);
    EXPECT_EQ(ext->ModemStatus, 0u);
    EXPECT_EQ(ext->ModemControl, 0u);
    EXPECT_EQ(ext->OutstandingIo, 1);
  });
}

TEST(LineRequests, ClearingDtrLeavesCarrierToTheDevice) {
  RunOnDevice([](TestDevice &dev) {
    PDEVICE_EXTENSION ext = dev.Ext();
    ASSERT_EQ(dev.Ioctl(IOCTL_SERIAL_SET_DTR).status, STATUS_SUCCESS);
    UpdateLineState(ext, LINE_RLSD, LINE_RLSD);  // the status poll saw carrier
    ASSERT_EQ(ext->ModemStatus, 0xB0u);
    ASSERT_EQ(dev.IoctlUlong(IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_RLSD).status, STATUS_SUCCESS);
    AsyncIoctl wait;
    ASSERT_EQ(wait.StartWaitOnMask(dev.Fdo()), STATUS_PENDING);

    EXPECT_TRUE(CompletedWith(dev.Ioctl(IOCTL_SERIAL_CLR_DTR), STATUS_SUCCESS, 0u));
    // Only the device's status reports a carrier loss; dropping DTR is not one.
    EXPECT_EQ(ext->LineState, LINE_RLSD);
    EXPECT_EQ(ext->ModemStatus, 0x80u);
    EXPECT_EQ(ext->ModemControl, 0x80u);
    EXPECT_EQ(ext->RlsdChanged, 0);
    EXPECT_EQ(dev.Ioctl(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, 4).OutUlong(), 0x80u);
    EXPECT_FALSE(wait.Wait(50)) << "no carrier event from a DTR request";

    ASSERT_EQ(dev.IoctlUlong(IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_RLSD).status, STATUS_SUCCESS);
    EXPECT_TRUE(WaitEndsWith(wait, 100, 0));
  });
}

TEST(LineRequests, RtsDrivesCtsOnlyAndSendsNothing) {
  RunOnDevice([](TestDevice &dev) {
    PDEVICE_EXTENSION ext = dev.Ext();
    ext->ModemControl = 0x03;  // DTR/RTS bits set by SET_MODEM_CONTROL stay
    EXPECT_EQ(dev.Ioctl(IOCTL_SERIAL_SET_RTS).status, STATUS_SUCCESS);
    EXPECT_EQ(ext->LineState, 0x08);
    EXPECT_EQ(ext->ModemStatus, 0x10u);
    EXPECT_EQ(ext->ModemControl, 0x13u);
    EXPECT_EQ(dev.Ioctl(IOCTL_SERIAL_CLR_RTS).status, STATUS_SUCCESS);
    EXPECT_EQ(ext->LineState, 0);
    EXPECT_EQ(ext->ModemControl, 0x03u);
    EXPECT_EQ(dev.Lower().Count(), 0u);
  });
}

TEST(LineRequests, SecondSetDtrChangesNothingAndRaisesNoEvent) {
  RunOnDevice([](TestDevice &dev) {
    ASSERT_EQ(dev.IoctlUlong(IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_CTS | SERIAL_EV_DSR).status, STATUS_SUCCESS);
    ASSERT_EQ(dev.Ioctl(IOCTL_SERIAL_SET_DTR).status, STATUS_SUCCESS);  // consumed: nobody waits
    AsyncIoctl wait;
    EXPECT_EQ(wait.StartWaitOnMask(dev.Fdo()), STATUS_PENDING);
    EXPECT_FALSE(wait.Done());
    EXPECT_EQ(dev.Ioctl(IOCTL_SERIAL_SET_DTR).status, STATUS_SUCCESS);
    EXPECT_EQ(dev.Ext()->LineState, 0x18);
    EXPECT_FALSE(wait.Done()) << "an unchanged line is no event";
    EXPECT_EQ(dev.Ext()->OutstandingIo, 2) << "the pending wait holds its reference";
    EXPECT_EQ(dev.Ioctl(IOCTL_SERIAL_CLR_RTS).status, STATUS_SUCCESS);
    ASSERT_TRUE(wait.Wait(0));
    EXPECT_TRUE(CompletedWith(wait, STATUS_SUCCESS, 4u));
    EXPECT_EQ(wait.OutUlong(), ULONG(SERIAL_EV_CTS));
  });
}

TEST(LineRequests, DeviceFailingTheDtrRequestStillChangesTheLines) {
  RunOnDevice([](TestDevice &dev) {
    dev.Lower().SetPolicy([](const UrbSeen &) { return UrbReply::Now(STATUS_UNSUCCESSFUL); });
    IoctlResult r = dev.Ioctl(IOCTL_SERIAL_SET_DTR);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(dev.Lower().Count(), 1u) << "one attempt: a request to the device reports success";
    EXPECT_EQ(dev.Ext()->LineState, 0x18);
  });
}
