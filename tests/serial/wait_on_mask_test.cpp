// The one pending wait-on-mask request: when it is refused, when it completes
// at once, what completes it later, and what line changes are lost.
#include <gtest/gtest.h>

#include "datapath/ring.h"
#include "serial/lines.h"
#include "support/driver_fixture.h"
#include "support/driver_irp.h"

using namespace testing_support;

namespace {

void SetMask(TestDevice &dev, ULONG mask) {
  IoctlResult r = dev.IoctlUlong(IOCTL_SERIAL_SET_WAIT_MASK, mask);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  ASSERT_EQ(r.information, 0u);
}

void Fill(TestDevice &dev, ULONG n, uint8_t byte = 0x41) {
  std::vector<uint8_t> data(n, byte);
  RingAppend(dev.Ext(), data.data(), n);
}

}  // namespace

TEST(WaitOnMask, CtsWaitIsCompletedBySetRts) {
  RunOnDevice([](TestDevice &dev) {
    SetMask(dev, SERIAL_EV_CTS);
    AsyncIoctl wait;
    EXPECT_EQ(wait.StartWaitOnMask(dev.Fdo()), STATUS_PENDING);
    EXPECT_FALSE(wait.Done());
    EXPECT_EQ(dev.Ext()->OutstandingIo, 2);
    EXPECT_EQ(dev.Ioctl(IOCTL_SERIAL_SET_RTS).status, STATUS_SUCCESS);
    ASSERT_TRUE(wait.Wait(0));
    EXPECT_TRUE(CompletedWith(wait, STATUS_SUCCESS, 4u));
    EXPECT_EQ(wait.OutUlong(), 0x0008u);
    EXPECT_EQ(dev.Ext()->OutstandingIo, 1);
    EXPECT_EQ(dev.Ext()->CtsChanged, 0);
  });
}

TEST(WaitOnMask, DsrChangeWithNoWaitPendingIsConsumedAndLost) {
  RunOnDevice([](TestDevice &dev) {
    SetMask(dev, SERIAL_EV_DSR);
    ASSERT_EQ(dev.Ioctl(IOCTL_SERIAL_SET_DTR).status, STATUS_SUCCESS);
    EXPECT_EQ(dev.Ext()->DsrChanged, 0) << "reported to nobody, but consumed";
    AsyncIoctl wait;
    EXPECT_EQ(wait.StartWaitOnMask(dev.Fdo()), STATUS_PENDING);
    EXPECT_FALSE(wait.Done());
    ASSERT_EQ(dev.Ioctl(IOCTL_SERIAL_CLR_DTR).status, STATUS_SUCCESS);
    ASSERT_TRUE(WaitEndsWith(wait, 0, ULONG(SERIAL_EV_DSR)));
  });
}

TEST(WaitOnMask, ChangeOutsideTheMaskStaysLatchedUntilTheMaskIsSet) {
  RunOnDevice([](TestDevice &dev) {
    SetMask(dev, SERIAL_EV_CTS);
    UpdateLineState(dev.Ext(), 0x30, 0x30);  // DSR and carrier on, as a status poll does
    EXPECT_EQ(dev.Ext()->DsrChanged, 1);
    EXPECT_EQ(dev.Ext()->RlsdChanged, 1);
    SetMask(dev, SERIAL_EV_DSR | SERIAL_EV_RLSD);
    EXPECT_EQ(dev.Ext()->DsrChanged, 0);
    EXPECT_EQ(dev.Ext()->RlsdChanged, 0);
    AsyncIoctl wait;
    EXPECT_EQ(wait.StartWaitOnMask(dev.Fdo()), STATUS_PENDING);
    EXPECT_FALSE(wait.Done()) << "the cleared change is never reported";
    SetMask(dev, 0);
    ASSERT_TRUE(WaitEndsWith(wait, 0, 0u));
  });
}

TEST(WaitOnMask, SecondWaitIsRefusedAndTheFirstStaysPending) {
  RunOnDevice([](TestDevice &dev) {
    SetMask(dev, SERIAL_EV_CTS);
    AsyncIoctl first;
    EXPECT_EQ(first.StartWaitOnMask(dev.Fdo()), STATUS_PENDING);
    IoctlResult second = dev.Ioctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4);
    EXPECT_TRUE(CompletedWith(second, STATUS_INVALID_PARAMETER, 0u));
    EXPECT_FALSE(first.Done());
    EXPECT_EQ(dev.Ext()->OutstandingIo, 2);
    ASSERT_EQ(dev.Ioctl(IOCTL_SERIAL_SET_RTS).status, STATUS_SUCCESS);
    ASSERT_TRUE(WaitEndsWith(first, 0, ULONG(SERIAL_EV_CTS)));
  });
}

TEST(WaitOnMask, WaitWithEmptyMaskIsRefused) {
  RunOnDevice([](TestDevice &dev) {
    IoctlResult r = dev.Ioctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4);
    EXPECT_TRUE(CompletedWith(r, STATUS_INVALID_PARAMETER, 0u));
    EXPECT_EQ(dev.Ext()->OutstandingIo, 1);
    EXPECT_EQ(dev.Ext()->PendingWaitIrp, nullptr);
  });
}

TEST(WaitOnMask, DataAlreadyInTheRingCompletesRxcharAtOnce) {
  RunOnDevice([](TestDevice &dev) {
    Fill(dev, 5);
    SetMask(dev, SERIAL_EV_RXCHAR | SERIAL_EV_CTS);
    AsyncIoctl wait;
    // Accepted requests are always pending to the caller, even when already done.
    EXPECT_EQ(wait.StartWaitOnMask(dev.Fdo()), STATUS_PENDING);
    EXPECT_TRUE(wait.Done());
    EXPECT_TRUE(CompletedWith(wait, STATUS_SUCCESS, 4u));
    EXPECT_EQ(wait.OutUlong(), ULONG(SERIAL_EV_RXCHAR));
    EXPECT_EQ(dev.Ext()->OutstandingIo, 1);
    EXPECT_EQ(dev.Ext()->PendingWaitIrp, nullptr);
  });
}

TEST(WaitOnMask, EventCharacterIsNotSearchedForWhenTheWaitStarts) {
  RunOnDevice([](TestDevice &dev) {
    dev.Ext()->SpecialChars.EventChar = 0x0D;
    Fill(dev, 3, 0x0D);
    SetMask(dev, SERIAL_EV_RXFLAG);
    AsyncIoctl wait;
    EXPECT_EQ(wait.StartWaitOnMask(dev.Fdo()), STATUS_PENDING);
    EXPECT_FALSE(wait.Done());
    SetMask(dev, 0);
    ASSERT_TRUE(WaitEndsWith(wait, 0, 0u));
  });
}

TEST(WaitOnMask, Rx80FullNeedsMoreThan32768Bytes) {
  RunOnDevice([](TestDevice &dev) {
    Fill(dev, 32768);
    SetMask(dev, SERIAL_EV_RX80FULL);
    AsyncIoctl atLimit;
    EXPECT_EQ(atLimit.StartWaitOnMask(dev.Fdo()), STATUS_PENDING);
    EXPECT_FALSE(atLimit.Done());
    SetMask(dev, SERIAL_EV_RX80FULL);  // ends the first wait with 0
    ASSERT_TRUE(WaitEndsWith(atLimit, 0, 0u));

    Fill(dev, 1);
    AsyncIoctl above;
    EXPECT_EQ(above.StartWaitOnMask(dev.Fdo()), STATUS_PENDING);
    ASSERT_TRUE(above.Done());
    EXPECT_EQ(above.OutUlong(), ULONG(SERIAL_EV_RX80FULL));
  });
}

TEST(WaitOnMask, SetWaitMaskCompletesThePendingWaitWithZero) {
  RunOnDevice([](TestDevice &dev) {
    SetMask(dev, SERIAL_EV_DSR);
    AsyncIoctl wait;
    EXPECT_EQ(wait.StartWaitOnMask(dev.Fdo()), STATUS_PENDING);
    EXPECT_EQ(dev.Ext()->OutstandingIo, 2);
    SetMask(dev, SERIAL_EV_CTS);
    ASSERT_TRUE(wait.Wait(0));
    EXPECT_TRUE(CompletedWith(wait, STATUS_SUCCESS, 4u));
    EXPECT_EQ(wait.OutUlong(), 0u);
    EXPECT_EQ(dev.Ext()->OutstandingIo, 1);
    EXPECT_EQ(dev.Ioctl(IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, 4).OutUlong(), ULONG(SERIAL_EV_CTS));
  });
}

// A pending wait the caller cancels (CancelIo, or its thread ending) ends
// STATUS_CANCELLED with its reference dropped, and the slot takes a new wait.
TEST(WaitOnMask, CancelledWaitEndsCancelledAndFreesTheSlot) {
  RunOnDevice([](TestDevice &dev) {
    SetMask(dev, SERIAL_EV_CTS);
    DriverIrp wait;
    EXPECT_EQ(wait.Ioctl(dev.Fdo(), IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4), STATUS_PENDING);
    EXPECT_FALSE(wait.Wait(5));
    wait.Cancel();
    ASSERT_TRUE(wait.Wait(0));
    EXPECT_TRUE(CompletedWith(wait, STATUS_CANCELLED, 0));
    EXPECT_EQ(dev.Ext()->OutstandingIo, 1);
    EXPECT_EQ(dev.Ext()->PendingWaitIrp, nullptr);
    AsyncIoctl next;
    EXPECT_EQ(next.StartWaitOnMask(dev.Fdo()), STATUS_PENDING);
    EXPECT_EQ(dev.Ioctl(IOCTL_SERIAL_SET_RTS).status, STATUS_SUCCESS);
    ASSERT_TRUE(next.Wait(0));
    EXPECT_TRUE(CompletedWith(next, STATUS_SUCCESS, 4u));
  });
}

// Cancel and an event completing the wait on other processors at once: the
// request ends exactly once, one way or the other, its reference dropped once.
TEST(WaitOnMask, CancelRacingTheEventEndsTheWaitOnce) {
  RunOnMachineForEachSeed([](uint64_t seed) {
    TestDevice dev;
    SetMask(dev, SERIAL_EV_CTS);
    DriverIrp wait;
    EXPECT_EQ(wait.Ioctl(dev.Fdo(), IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4), STATUS_PENDING);
    TestThread canceller("canceller", [&] {
      SleepMs(seed % 2);
      wait.Cancel();
    });
    EXPECT_EQ(dev.Ioctl(IOCTL_SERIAL_SET_RTS).status, STATUS_SUCCESS);
    canceller.Join();
    ASSERT_TRUE(wait.Wait(10));
    if (wait.Status() == STATUS_SUCCESS) {
      EXPECT_TRUE(CompletedWith(wait, STATUS_SUCCESS, 4u));
    } else {
      EXPECT_TRUE(CompletedWith(wait, STATUS_CANCELLED, 0));
    }
    EXPECT_EQ(dev.Ext()->OutstandingIo, 1);
    EXPECT_EQ(dev.Ext()->PendingWaitIrp, nullptr);
  });
}
