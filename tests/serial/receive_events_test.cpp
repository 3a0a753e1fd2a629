// Received data, carried by the reader thread's bulk-in transfer into the
// ring, completes waits on data, on the event character and on a full ring.
#include <gtest/gtest.h>

#include "datapath/ring.h"
#include "sim/usb/device.h"
#include "sim/usb/model.h"
#include "support/driver_fixture.h"

using namespace testing_support;

namespace {

bool IsBulkIn(const UrbSeen &u) {
  return u.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && u.pipe == kBulkInPipe;
}

// The device holds every bulk-in transfer until the test answers it.
void HoldBulkIn(TestDevice &dev) {
  dev.Lower().SetPolicy([](const UrbSeen &u) {
    if (IsBulkIn(u)) return UrbReply::Pending(UrbReply::CancelAtOnce);
    return UrbReply::Now(STATUS_SUCCESS);
  });
}

// Index of the bulk-in transfer now outstanding.
size_t OutstandingBulkIn(TestDevice &dev) {
  EXPECT_TRUE(dev.Lower().WaitForCount(1, 100));
  for (int attempt = 0; attempt < 3; ++attempt) {
    for (size_t i = dev.Lower().Count(); i-- > 0;) {
      const UrbSeen &u = dev.Lower().Seen(i);
      if (IsBulkIn(u) && !u.answered) return i;
    }
    dev.Lower().WaitForCount(dev.Lower().Count() + 1, 50);
  }
  ADD_FAILURE() << "no bulk-in transfer outstanding";
  return 0;
}

void Deliver(TestDevice &dev, const std::vector<uint8_t> &bytes) {
  size_t i = OutstandingBulkIn(dev);
  ASSERT_TRUE(dev.Lower().Answer(i, STATUS_SUCCESS, bytes));
  // The reader sends its next transfer once the completion is through.
  ASSERT_TRUE(dev.Lower().WaitForCount(i + 2, 100));
}

void SetMask(TestDevice &dev, ULONG mask) {
  ASSERT_EQ(dev.IoctlUlong(IOCTL_SERIAL_SET_WAIT_MASK, mask).status, STATUS_SUCCESS);
}

}  // namespace

TEST(ReceiveEvents, TransferFormatAndDataIntoTheRing) {
  RunOnDevice([](TestDevice &dev) {
    HoldBulkIn(dev);
    dev.StartReader();
    size_t i = OutstandingBulkIn(dev);
    const UrbSeen &u = dev.Lower().Seen(i);
    EXPECT_EQ(u.transferFlags, 3u);
    EXPECT_EQ(u.transferLength, 1024u);
    Deliver(dev, {'h', 'e', 'l', 'l', 'o'});
    EXPECT_EQ(dev.Ext()->RingCount, 5);
    EXPECT_EQ(std::vector<uint8_t>(dev.Ext()->ReadRing, dev.Ext()->ReadRing + 5),
              (std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'}));
    dev.StopReader();
    EXPECT_EQ(dev.Lower().PendingCount(), 0u) << "stopping the reader cancels its transfer";
  });
}

TEST(ReceiveEvents, ArrivingDataCompletesAnRxcharWait) {
  RunOnDevice([](TestDevice &dev) {
    HoldBulkIn(dev);
    SetMask(dev, SERIAL_EV_RXCHAR);
    dev.StartReader();
    AsyncIoctl wait;
    ASSERT_EQ(wait.StartWaitOnMask(dev.Fdo()), STATUS_PENDING);
    EXPECT_FALSE(wait.Done());
    Deliver(dev, {'A', 'T'});
    ASSERT_TRUE(wait.Wait(0));
    EXPECT_TRUE(CompletedWith(wait, STATUS_SUCCESS, 4u));
    EXPECT_EQ(wait.OutUlong(), ULONG(SERIAL_EV_RXCHAR));
    dev.StopReader();
  });
}

TEST(ReceiveEvents, EventCharacterAnywhereInTheRingCompletesAnRxflagWaitWhenDataArrives) {
  RunOnDevice([](TestDevice &dev) {
    HoldBulkIn(dev);
    SERIAL_CHARS chars = {0, 0, 0, 0x0D, 0x11, 0x13};
    ASSERT_EQ(dev.Ioctl(IOCTL_SERIAL_SET_CHARS, &chars, sizeof(chars), 0).status, STATUS_SUCCESS);
    dev.StartReader();
    Deliver(dev, {'A', 'T', 0x0D});  // nobody waits yet
    SetMask(dev, SERIAL_EV_RXFLAG);
    AsyncIoctl wait;
    ASSERT_EQ(wait.StartWaitOnMask(dev.Fdo()), STATUS_PENDING);
    EXPECT_FALSE(wait.Done()) << "no search for the event character when the wait starts";
    Deliver(dev, {'O', 'K'});  // no 0x0D in this transfer, but one is in the ring
    ASSERT_TRUE(WaitEndsWith(wait, 0, ULONG(SERIAL_EV_RXFLAG)));
    dev.StopReader();
  });
}

TEST(ReceiveEvents, RxflagWaitIgnoresDataWithoutTheEventCharacter) {
  RunOnDevice([](TestDevice &dev) {
    HoldBulkIn(dev);
    dev.Ext()->SpecialChars.EventChar = 0x0D;
    SetMask(dev, SERIAL_EV_RXFLAG);
    dev.StartReader();
    AsyncIoctl wait;
    ASSERT_EQ(wait.StartWaitOnMask(dev.Fdo()), STATUS_PENDING);
    Deliver(dev, {'x', 'y', 'z'});
    EXPECT_FALSE(wait.Done());
    Deliver(dev, {'1', 0x0D, '2'});
    ASSERT_TRUE(WaitEndsWith(wait, 0, ULONG(SERIAL_EV_RXFLAG)));
    dev.StopReader();
  });
}

TEST(ReceiveEvents, RingPassing32768BytesCompletesAnRx80FullWait) {
  RunOnDevice([](TestDevice &dev) {
    HoldBulkIn(dev);
    std::vector<uint8_t> filler(32768 - 1024, 0x55);
    RingAppend(dev.Ext(), filler.data(), static_cast<ULONG>(filler.size()));
    SetMask(dev, SERIAL_EV_RX80FULL);
    dev.StartReader();
    AsyncIoctl wait;
    ASSERT_EQ(wait.StartWaitOnMask(dev.Fdo()), STATUS_PENDING);
    Deliver(dev, std::vector<uint8_t>(1024, 0x66));  // exactly 32768 held
    EXPECT_EQ(dev.Ext()->RingCount, 32768);
    EXPECT_FALSE(wait.Done());
    Deliver(dev, {0x77});
    ASSERT_TRUE(WaitEndsWith(wait, 0, ULONG(SERIAL_EV_RX80FULL)));
    dev.StopReader();
  });
}

// Over the simulated USB bus: bytes the modem sends reach the ring through the
// reader thread and complete waits on data and on the event character.
TEST(ReceiveEvents, BusModemDataCompletesRxcharAndRxflagWaits) {
  RunOnMachine([] {
    auto *model = new sim::usb::ScriptedModel;
    sim::usb::Device *bus = sim::usb::Plug(std::unique_ptr<sim::usb::Model>(model));
    TestDevice dev(bus);
    dev.Ext()->SpecialChars.EventChar = '\n';
    SetMask(dev, SERIAL_EV_RXCHAR);
    dev.StartReader();
    AsyncIoctl data;
    ASSERT_EQ(data.StartWaitOnMask(dev.Fdo()), STATUS_PENDING);
    SleepMs(100);
    EXPECT_FALSE(data.Done());
    model->PushIn("OK");
    ASSERT_TRUE(WaitEndsWith(data, 100, ULONG(SERIAL_EV_RXCHAR)));

    SetMask(dev, SERIAL_EV_RXFLAG);
    AsyncIoctl flag;
    ASSERT_EQ(flag.StartWaitOnMask(dev.Fdo()), STATUS_PENDING);
    model->PushIn("\r");
    SleepMs(100);
    EXPECT_FALSE(flag.Done());
    model->PushIn("\nRING");
    ASSERT_TRUE(WaitEndsWith(flag, 100, ULONG(SERIAL_EV_RXFLAG)));
    SleepMs(100);
    EXPECT_EQ(dev.Ext()->RingCount, 8);
    dev.StopReader();
  });
}
