// The bulk-in reader: one transfer always outstanding, what a completed
// transfer stores, and stopping and restarting the reader with the timers
// that belong to it.
#include <gtest/gtest.h>

#include <usbdi.h>

#include "datapath/reader.h"
#include "datapath/ring.h"
#include "sim/kernel/ntapi.h"
#include "sim/kernel/sim.h"
#include "sim/usb/device.h"
#include "sim/world/world.h"
#include "support/driver_fixture.h"
#include "support/driver_irp.h"
#include "support/reader_lower.h"
#include "support/seeds.h"

using namespace testing_support;

namespace {

void SetWaitMask(TestDevice &dev, ULONG mask) {
  ASSERT_EQ(dev.IoctlUlong(IOCTL_SERIAL_SET_WAIT_MASK, mask).status, STATUS_SUCCESS);
}

// A device whose bulk-in transfers stay pending until the test answers them,
// with received characters as the events to wait for.
struct ReceivingDevice : TestDevice {
  ReceivingDevice() {
    Lower().SetPolicy(PendBulkIn());
    SetWaitMask(*this, SERIAL_EV_RXCHAR);
  }
};

}  // namespace

TEST(Reader, StopWhileATransferIsPendingCancelsItStoresNothingAndFreesEverything) {
  RunOnDevice([](TestDevice &dev) {
    PDEVICE_EXTENSION ext = dev.Ext();
    dev.Lower().SetPolicy(PendBulkIn());
    size_t blocksBefore = DriverBlocks();
    dev.StartReader();
    size_t i = WaitBulkIn(dev.Lower(), 1);
    ASSERT_NE(i, kNone);
    dev.WaitStatusPollsIdle();  // the I/O timer's poll holds blocks of its own while it runs
    EXPECT_EQ(DriverBlocks(), blocksBefore + 4) << "wait array, URB, buffer and context";
    const UrbSeen &seen = dev.Lower().Seen(i);
    EXPECT_EQ(seen.pipe, kBulkInPipe);
    EXPECT_EQ(seen.transferFlags, ULONG(USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK));
    EXPECT_EQ(seen.transferLength, READER_TRANSFER_SIZE);
    EXPECT_NE(ext->ReaderThread, nullptr);
    EXPECT_TRUE(ext->IoTimerRunning);
    EXPECT_TRUE(TimerSet(&ext->ReadTimer));

    dev.StopReader();
    // Everything below holds the moment StopReader returns.
    EXPECT_TRUE(seen.answered);
    EXPECT_TRUE(seen.cancelRoutineRan);
    EXPECT_EQ(seen.answer, STATUS_CANCELLED);
    // The cancelled URB still reads 1024 bytes: only the cancel decides.
    EXPECT_EQ(ext->RingCount, 0);
    EXPECT_EQ(DriverBlocks(), blocksBefore);
    EXPECT_EQ(ext->ReaderThread, nullptr);
    EXPECT_FALSE(ext->IoTimerRunning);
    EXPECT_FALSE(TimerSet(&ext->ReadTimer));
    EXPECT_FALSE(DpcQueued(&ext->ReadTimerDpc));

    size_t count = dev.Lower().Count();
    SleepMs(3000);
    EXPECT_EQ(dev.Lower().Count(), count) << "no transfer and no status poll after the stop";
  });
}

TEST(Reader, StopCoincidingWithACompletionStoresNothing) {
  RunOnDevice([](TestDevice &dev) {
    dev.Lower().SetPolicy(PendBulkIn(UrbReply::NotCancelable));
    dev.StartReader();
    size_t i = WaitBulkIn(dev.Lower(), 1);
    ASSERT_NE(i, kNone);
    TestThread stopper("stopper", [&] { dev.StopReader(); });
    SleepMs(5);
    EXPECT_FALSE(stopper.Finished()) << "StopReader returned before its transfer ended";
    ASSERT_TRUE(dev.Lower().Answer(i, STATUS_SUCCESS, Bytes(10)));
    stopper.Join();
    EXPECT_TRUE(dev.Lower().Seen(i).cancelFlagAtAnswer);
    EXPECT_EQ(dev.Ext()->RingCount, 0) << "a cancelled transfer's data was stored";
    EXPECT_EQ(dev.Ext()->ReaderThread, nullptr);
  });
}

TEST(Reader, StopWithoutAThreadStopsOnlyWhatItStarted) {
  RunOnDevice([](TestDevice &dev) {
    PDEVICE_EXTENSION ext = dev.Ext();
    LARGE_INTEGER due;
    due.QuadPart = -10000000LL;
    KeSetTimerEx(&ext->ReadTimer, due, 1000, &ext->ReadTimerDpc);
    // Someone else's I/O timer on the same device: IoTimerRunning is FALSE,
    // so StopReader must leave it alone.
    IoStartTimer(dev.Fdo());
    StopReader(ext);
    EXPECT_EQ(ext->ReaderThread, nullptr);
    EXPECT_FALSE(TimerSet(&ext->ReadTimer));
    size_t polls = CountStatusPolls(dev.Lower());
    SleepMs(2500);
    EXPECT_GE(CountStatusPolls(dev.Lower()), polls + 2) << "IoStopTimer was called with IoTimerRunning FALSE";
    IoStopTimer(dev.Fdo());
    SleepMs(500);  // the last poll's worker
  });
}

TEST(Reader, ZeroByteTransferStoresNothingChecksNoEventAndIsFollowedAtOnce) {
  RunOnMachine([] {
    ReceivingDevice dev;
    PDEVICE_EXTENSION ext = dev.Ext();
    AsyncIoctl wait;
    ASSERT_EQ(wait.StartWaitOnMask(dev.Fdo()), STATUS_PENDING);
    ASSERT_FALSE(wait.Done());
    // Bytes that any event check would report, put there without one.
    std::vector<uint8_t> old = Bytes(5);
    RingAppend(ext, old.data(), 5);

    dev.StartReader();
    size_t first = WaitBulkIn(dev.Lower(), 1);
    ASSERT_NE(first, kNone);
    ASSERT_TRUE(dev.Lower().Answer(first, STATUS_SUCCESS, {}));
    size_t second = WaitBulkIn(dev.Lower(), 2);
    ASSERT_NE(second, kNone);
    // At once: within the millisecond, as a few steps of time may cross its boundary.
    EXPECT_LE(dev.Lower().Seen(second).arrivedMs - dev.Lower().Seen(first).answeredMs, 1u);
    EXPECT_EQ(ext->RingCount, 5);
    // A check would have found RXCHAR with bytes in the ring.
    EXPECT_FALSE(wait.Done()) << "the event check ran for a transfer with no data";

    ASSERT_TRUE(dev.Lower().Answer(second, STATUS_SUCCESS, {0x41}));
    ASSERT_TRUE(WaitEndsWith(wait, 100, ULONG(SERIAL_EV_RXCHAR)));
    EXPECT_EQ(ext->RingCount, 6);
    dev.StopReader();
  });
}

// A transfer the stack fails without touching its URB (a bad parameter)
// still reads the 1024 bytes it was sent with; none of them arrived.
TEST(Reader, FailedTransferWithItsLengthUntouchedStoresNothingAndChecksNoEvent) {
  RunOnMachine([] {
    ReceivingDevice dev;
    PDEVICE_EXTENSION ext = dev.Ext();
    AsyncIoctl wait;
    ASSERT_EQ(wait.StartWaitOnMask(dev.Fdo()), STATUS_PENDING);

    dev.StartReader();
    size_t first = WaitBulkIn(dev.Lower(), 1);
    ASSERT_NE(first, kNone);
    ASSERT_TRUE(dev.Lower().Answer(first, STATUS_INVALID_PARAMETER, {}));
    size_t second = WaitBulkIn(dev.Lower(), 2);
    ASSERT_NE(second, kNone) << "the next transfer follows a failed one";
    EXPECT_EQ(ext->RingCount, 0) << "a failed transfer's stale length was stored";
    EXPECT_FALSE(wait.Done()) << "a failed transfer raised a receive event";

    ASSERT_TRUE(dev.Lower().Answer(second, STATUS_SUCCESS, {0x41, 0x42}));
    ASSERT_TRUE(wait.Wait(100));
    EXPECT_EQ(ext->RingCount, 2);
    dev.StopReader();
  });
}

// Takes up to `count` bytes out of the ring, as a read does.
static ULONG DrainRing(PDEVICE_EXTENSION ext, ULONG count) {
  std::vector<uint8_t> sink(count);
  IRP irp = {};
  irp.AssociatedIrp.SystemBuffer = sink.data();
  KIRQL old;
  KeAcquireSpinLock(&ext->RingLock, &old);
  ULONG n = RingTake(ext, &irp, count);
  KeReleaseSpinLock(&ext->RingLock, old);
  return n;
}

// The ring fills while a transfer is out: what fits is stored, the events
// are checked. With no room for a whole transfer the reader sends none (the
// device keeps its data) until reads have made room.
TEST(Reader, FullRingStoresWhatFitsAndHoldsTheNextTransferUntilThereIsRoom) {
  RunOnMachine([] {
    ReceivingDevice dev;
    PDEVICE_EXTENSION ext = dev.Ext();
    AsyncIoctl wait;
    ASSERT_EQ(wait.StartWaitOnMask(dev.Fdo()), STATUS_PENDING);
    ASSERT_FALSE(wait.Done());

    dev.StartReader();
    size_t i = WaitBulkIn(dev.Lower(), 1);
    ASSERT_NE(i, kNone);
    std::vector<uint8_t> filler(RING_SIZE - 100, 0x11);
    RingAppend(ext, filler.data(), static_cast<ULONG>(filler.size()));
    std::vector<uint8_t> data = Bytes(1024, 3);
    ASSERT_TRUE(dev.Lower().Answer(i, STATUS_SUCCESS, data));
    ASSERT_TRUE(wait.Wait(100)) << "no event check after a transfer that delivered data";
    EXPECT_EQ(wait.OutUlong(), ULONG(SERIAL_EV_RXCHAR));
    EXPECT_EQ(ext->RingCount, LONG(RING_SIZE));
    ASSERT_EQ(RingSnapshot(ext), RING_SIZE);
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 100, ext->ScanBuffer + RING_SIZE - 100))
        << "the first 100 bytes of the transfer are the ones stored";

    SleepMs(100);
    EXPECT_EQ(WaitBulkIn(dev.Lower(), 2, 0), kNone) << "a transfer was sent with no room for its data";
    EXPECT_EQ(DrainRing(ext, 1000), 1000u);
    EXPECT_EQ(WaitBulkIn(dev.Lower(), 2, 0), kNone) << "not yet room for a whole transfer";
    EXPECT_EQ(DrainRing(ext, 24), 24u);
    size_t next = WaitBulkIn(dev.Lower(), 2);
    ASSERT_NE(next, kNone) << "room for a transfer, and none was sent";

    // The ring full again while that transfer is out: nothing is stored, the
    // check still runs. The wait is set up on a mask the full ring does not
    // satisfy, so that it stays pending.
    RingAppend(ext, filler.data(), 1024);
    ASSERT_NE(ext->SpecialChars.EventChar, 0x11);
    SetWaitMask(dev, SERIAL_EV_RXFLAG);
    AsyncIoctl again;
    ASSERT_EQ(again.StartWaitOnMask(dev.Fdo()), STATUS_PENDING);
    ASSERT_FALSE(again.Done());
    ext->WaitMask = SERIAL_EV_RXCHAR;  // as the settings request stores it, without its side effects
    ASSERT_TRUE(dev.Lower().Answer(next, STATUS_SUCCESS, Bytes(10)));
    ASSERT_TRUE(WaitEndsWith(again, 100, ULONG(SERIAL_EV_RXCHAR)));
    EXPECT_EQ(ext->RingCount, LONG(RING_SIZE));
    DrainRing(ext, RING_SIZE);
    dev.StopReader();
  });
}

TEST(Reader, StartAfterStopRunsAFreshThreadAndTimers) {
  RunOnDevice([](TestDevice &dev) {
    PDEVICE_EXTENSION ext = dev.Ext();
    dev.Lower().SetPolicy(PendBulkIn());
    dev.StartReader();
    ASSERT_NE(WaitBulkIn(dev.Lower(), 1), kNone);
    dev.StopReader();
    SleepMs(100);

    size_t blocksBefore = DriverBlocks();
    dev.StartReader();
    EXPECT_NE(ext->ReaderThread, nullptr);
    EXPECT_EQ(KeReadStateEvent(&ext->StopReaderEvent), 0) << "the stop event of the last run is still set";
    ASSERT_TRUE(TimerSet(&ext->ReadTimer));
    EXPECT_EQ(ext->ReadTimer.Period, 1000);
    EXPECT_NEAR(double(ext->ReadTimer.DueTime.QuadPart - sim::Now100ns()), 10000000.0, 156250.0)
        << "the read timer is first due about a second after the start";
    size_t i = WaitBulkIn(dev.Lower(), 2);
    ASSERT_NE(i, kNone) << "the new thread sends no transfer";
    EXPECT_EQ(DriverBlocks(), blocksBefore + 4);
    ASSERT_TRUE(dev.Lower().Answer(i, STATUS_SUCCESS, Bytes(3)));
    ASSERT_NE(WaitBulkIn(dev.Lower(), 3), kNone);
    EXPECT_EQ(ext->RingCount, 3);
    size_t polls = CountStatusPolls(dev.Lower());
    SleepMs(2100);
    // Once a second, at the I/O timer's own phase: two or three in 2.1 s.
    EXPECT_GE(CountStatusPolls(dev.Lower()), polls + 2) << "the status poll runs once a second again";
    EXPECT_LE(CountStatusPolls(dev.Lower()), polls + 3);
    dev.StopReader();
  });
}

// On the simulated bus a stall halts the pipe, and the stack then refuses
// every transfer at once until the pipe is reset: the reader resets it and
// goes on after a pause, receiving what comes next.
TEST(Reader, StalledTransferHaltsThePipeAndTheReaderResetsItAndGoesOn) {
  sim::WorldOptions options;
  options.seed = Seeds().front();
  options.model = "scriptable";
  sim::World world(options);
  world.Run([&] {
    sim::usb::Device *modem = world.Modem();
    auto *model = static_cast<sim::usb::ScriptedModel *>(world.ModemModel());
    HANDLE port;
    IO_STATUS_BLOCK iosb;
    ASSERT_EQ(sim::NtCreateFile(&port, GENERIC_READ | GENERIC_WRITE, L"\\??\\COM7", &iosb, false), STATUS_SUCCESS);
    for (int guard = 0; guard < 100 && modem->Count(sim::usb::RequestKind::BulkIn) == 0; ++guard) SleepMs(1);
    ASSERT_EQ(modem->Count(sim::usb::RequestKind::BulkIn), 1u);
    uint32_t resetsAtOpen = modem->Count(sim::usb::RequestKind::ResetPipe);
    // The transfer after the pending one stalls.
    modem->FailNth(sim::usb::RequestKind::BulkIn, 1, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    model->PushIn(std::string("abc"));
    SleepMs(50);
    model->PushIn(std::string("def"));
    SleepMs(50);
    EXPECT_EQ(world.Extension()->RingCount, 6);
    std::vector<sim::usb::LogEntry> ins;
    for (const sim::usb::LogEntry &e : modem->Log())
      if (e.kind == sim::usb::RequestKind::BulkIn) ins.push_back(e);
    if (ins.size() < 4u) {  // the third has data, the fourth is pending
      ADD_FAILURE() << "only " << ins.size() << " bulk-in transfers";
      sim::NtClose(port);
      return;
    }
    EXPECT_EQ(ins[0].transferred, 3u);
    EXPECT_EQ(ins[1].usbdStatus, USBD_STATUS_STALL_PID);
    EXPECT_EQ(ins[1].transferred, 0u);
    EXPECT_EQ(ins[2].transferred, 3u);
    EXPECT_EQ(ins[2].status, STATUS_SUCCESS) << "the pipe was not reset";
    EXPECT_EQ(modem->Count(sim::usb::RequestKind::ResetPipe), resetsAtOpen + 1);
    EXPECT_EQ(sim::NtClose(port), STATUS_SUCCESS);
  });
  for (const std::string &fault : world.Close()) ADD_FAILURE() << fault;
}

// After an unplug every transfer fails inside IofCallDriver until the
// surprise removal comes. The reader must not spin on them: once the stack
// says the device is gone it sends nothing more and waits to be stopped.
TEST(Reader, DoesNotSpinOnTransfersThatFailAtOnceAfterAnUnplug) {
  for (uint64_t seed : Seeds()) {
    sim::WorldOptions options;
    options.seed = seed;
    options.model = "scriptable";
    sim::World world(options);
    uint32_t beforeUnplug = 0;
    world.Run([&] {
      sim::usb::Device *modem = world.Modem();
      HANDLE port;
      IO_STATUS_BLOCK iosb;
      ASSERT_EQ(sim::NtCreateFile(&port, GENERIC_READ | GENERIC_WRITE, L"\\??\\COM7", &iosb, false),
                STATUS_SUCCESS);
      for (int guard = 0; guard < 100 && modem->Count(sim::usb::RequestKind::BulkIn) == 0; ++guard) SleepMs(1);
      beforeUnplug = modem->Count(sim::usb::RequestKind::BulkIn);
      modem->SetPendOnUnplug(false);
      modem->Unplug();
      SleepMs(50);  // the transfer in flight fails, then one that is refused as gone
      uint32_t afterFailures = modem->Count(sim::usb::RequestKind::BulkIn);
      SleepMs(200);
      EXPECT_EQ(modem->Count(sim::usb::RequestKind::BulkIn), afterFailures)
          << "seed " << seed << ": the reader went on sending to a device that is gone";
      EXPECT_LE(afterFailures, beforeUnplug + 2) << "seed " << seed;
      EXPECT_EQ(sim::NtClose(port), STATUS_SUCCESS);
    });
    for (const std::string &fault : world.Close()) ADD_FAILURE() << "seed " << seed << ": " << fault;
  }
}

// A pipe the stack keeps refusing at once with a status that is not "gone":
// the reader pauses a frame between tries rather than looping.
TEST(Reader, PausesBetweenTransfersThatKeepFailingAtOnce) {
  sim::WorldOptions options;
  options.seed = Seeds().front();
  options.model = "scriptable";
  sim::World world(options);
  world.Run([&] {
    sim::usb::Device *modem = world.Modem();
    HANDLE port;
    IO_STATUS_BLOCK iosb;
    ASSERT_EQ(sim::NtCreateFile(&port, GENERIC_READ | GENERIC_WRITE, L"\\??\\COM7", &iosb, false), STATUS_SUCCESS);
    for (int guard = 0; guard < 100 && modem->Count(sim::usb::RequestKind::BulkIn) == 0; ++guard) SleepMs(1);
    // Every pipe reset and every transfer from now on fails.
    for (uint32_t n = 1; n <= 400; ++n) {
      modem->FailNth(sim::usb::RequestKind::ResetPipe, n, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    }
    modem->StallPipe(0x81);
    auto *model = static_cast<sim::usb::ScriptedModel *>(world.ModemModel());
    model->PushIn(std::string("x"));
    uint32_t start = modem->Count(sim::usb::RequestKind::BulkIn);
    SleepMs(1000);
    uint32_t tries = modem->Count(sim::usb::RequestKind::BulkIn) - start;
    EXPECT_GE(tries, 5u) << "the reader gave up on a pipe that is not gone";
    EXPECT_LE(tries, 200u) << "the reader spins on a pipe that fails at once";
    EXPECT_EQ(sim::NtClose(port), STATUS_SUCCESS);
  });
  for (const std::string &fault : world.Close()) ADD_FAILURE() << fault;
}
