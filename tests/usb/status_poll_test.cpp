// The once-a-second status poll: which status bytes change which lines, what
// a silent device or an empty reply does, and the whole road from the
// device's status byte to a completed wait-on-mask request.
#include <gtest/gtest.h>

#include "sim/kernel/pool.h"
#include "sim/kernel/sim.h"
#include "sim/usb/device.h"
#include "sim/usb/model.h"
#include "support/driver_fixture.h"
#include "usb/status_poll.h"

using namespace testing_support;

namespace {

const ULONG kLineEvents = SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD;

bool IsStatusRequest(const UrbSeen &u) { return u.function == URB_FUNCTION_VENDOR_DEVICE && u.request == 2; }

// The device answers every status request with *byte; everything else succeeds.
void AnswerStatusWith(TestDevice &dev, const UCHAR *byte) {
  dev.Lower().SetPolicy([byte](const UrbSeen &u) {
    if (IsStatusRequest(u)) return UrbReply::Now(STATUS_SUCCESS, {*byte});
    return UrbReply::Now(STATUS_SUCCESS);
  });
}

void ExpectLines(TestDevice &dev, USHORT state) {
  EXPECT_EQ(dev.Ext()->LineState, state);
  ULONG image = ((state & 0x08) ? 0x10u : 0u) | ((state & 0x10) ? 0x20u : 0u) | ((state & 0x20) ? 0x80u : 0u);
  EXPECT_EQ(dev.Ext()->ModemStatus, image);
  EXPECT_EQ(dev.Ext()->ModemControl & 0xB0u, image);
}

void ClearChangeFlags(TestDevice &dev) {
  ASSERT_EQ(dev.IoctlUlong(IOCTL_SERIAL_SET_WAIT_MASK, kLineEvents).status, STATUS_SUCCESS);
}

// The wait has ended, successfully, reporting these events.
void ExpectWaitEnded(AsyncIoctl &wait, ULONG events) {
  ASSERT_TRUE(wait.Wait(0));
  EXPECT_EQ(wait.Status(), STATUS_SUCCESS);
  EXPECT_EQ(wait.OutUlong(), events);
}

void ExpectStatusBits(TestDevice &dev, int bit0, int bit1) {
  EXPECT_EQ(dev.Ext()->LastStatusBit0, bit0);
  EXPECT_EQ(dev.Ext()->LastStatusBit1, bit1);
}

void ExpectNoChangeLatched(TestDevice &dev) {
  EXPECT_EQ(dev.Ext()->CtsChanged, 0);
  EXPECT_EQ(dev.Ext()->DsrChanged, 0);
  EXPECT_EQ(dev.Ext()->RlsdChanged, 0);
}

// A scripted device whose status requests are answered with `byte`, which a
// test changes between polls.
struct StatusDevice : TestDevice {
  explicit StatusDevice(UCHAR first) : byte(first) { AnswerStatusWith(*this, &byte); }
  UCHAR byte;

  void PollWith(UCHAR next) {
    byte = next;
    PollStatusOnce();
  }
};

}  // namespace

TEST(StatusPoll, RequestFormat) {
  RunOnMachine([] {
    StatusDevice dev(0x00);
    dev.PollStatusOnce();
    ASSERT_EQ(dev.Lower().Count(), 1u);
    const UrbSeen &u = dev.Lower().Seen(0);
    EXPECT_EQ(u.function, URB_FUNCTION_VENDOR_DEVICE);
    EXPECT_EQ(u.requestTypeBits, 0x40);
    EXPECT_EQ(u.request, 2);
    EXPECT_EQ(u.value, 0);
    EXPECT_EQ(u.index, 0);
    EXPECT_EQ(u.transferFlags, 3u);
    EXPECT_EQ(u.transferLength, 1u);
    EXPECT_EQ(dev.Ext()->OutstandingIo, 1);
  });
}

TEST(StatusPoll, Bit0RaisesAllThreeLinesAndCompletesTheLineWait) {
  RunOnMachine([] {
    StatusDevice dev(0x01);
    ClearChangeFlags(dev);
    AsyncIoctl wait;
    ASSERT_EQ(wait.StartWaitOnMask(dev.Fdo()), STATUS_PENDING);
    dev.PollStatusOnce();
    ExpectLines(dev, 0x38);
    ExpectStatusBits(dev, 1, 0);
    ASSERT_NO_FATAL_FAILURE(ExpectWaitEnded(wait, kLineEvents));
    EXPECT_EQ(dev.Ext()->OutstandingIo, 1);
  });
}

TEST(StatusPoll, Bit1RaisesDsrAndCarrierOnly) {
  RunOnMachine([] {
    StatusDevice dev(0x02);
    dev.PollStatusOnce();
    ExpectLines(dev, 0x30);
    EXPECT_EQ(dev.Ext()->LastStatusBit1, 1);
  });
}

TEST(StatusPoll, BothBitsRaiseAllLinesAndTheSecondUpdateRaisesNoEvent) {
  RunOnMachine([] {
    StatusDevice dev(0x03);
    ClearChangeFlags(dev);
    AsyncIoctl wait;
    ASSERT_EQ(wait.StartWaitOnMask(dev.Fdo()), STATUS_PENDING);
    dev.PollStatusOnce();
    ExpectLines(dev, 0x38);
    ASSERT_NO_FATAL_FAILURE(ExpectWaitEnded(wait, kLineEvents));
    // Had the bit-1 update changed anything, its flags would be latched again.
    ExpectNoChangeLatched(dev);
  });
}

TEST(StatusPoll, Bit0DroppingTakesAllLinesDownAndTheyStayDown) {
  RunOnMachine([] {
    StatusDevice dev(0x03);
    dev.PollStatusOnce();
    ExpectLines(dev, 0x38);
    dev.PollWith(0x02);
    ExpectLines(dev, 0x00);
    ExpectStatusBits(dev, 0, 1);
    dev.PollStatusOnce();
    dev.PollStatusOnce();
    ExpectLines(dev, 0x00);
  });
}

TEST(StatusPoll, Bit1DroppingTakesDsrAndCarrierDownAndKeepsCts) {
  RunOnMachine([] {
    StatusDevice dev(0x03);
    dev.PollStatusOnce();
    dev.PollWith(0x01);
    ExpectLines(dev, 0x08);
  });
}

TEST(StatusPoll, SilentDeviceChangesNothing) {
  RunOnMachine([] {
    StatusDevice dev(0x03);
    dev.PollStatusOnce();
    dev.Lower().SetPolicy([](const UrbSeen &) { return UrbReply::Pending(UrbReply::CancelAtOnce); });
    for (int i = 0; i < 2; ++i) {
      size_t index = dev.Lower().Count();
      uint64_t start = sim::NowMs();
      dev.PollStatusOnce();
      ASSERT_EQ(dev.Lower().Count(), index + 1);
      EXPECT_EQ(dev.Lower().Seen(index).answer, STATUS_CANCELLED);
      EXPECT_GE(dev.Lower().Seen(index).answeredMs - start, 200u);
      ExpectLines(dev, 0x38);
      ExpectStatusBits(dev, 1, 1);
    }
    EXPECT_EQ(dev.Ext()->OutstandingIo, 1);
  });
}

TEST(StatusPoll, SameByteEveryPollRaisesNothingAfterTheFirst) {
  RunOnMachine([] {
    StatusDevice dev(0x01);
    dev.PollStatusOnce();
    ClearChangeFlags(dev);
    AsyncIoctl wait;
    ASSERT_EQ(wait.StartWaitOnMask(dev.Fdo()), STATUS_PENDING);
    for (int i = 0; i < 3; ++i) dev.PollStatusOnce();
    EXPECT_FALSE(wait.Done());
    ExpectLines(dev, 0x38);
    ClearChangeFlags(dev);  // ends the wait with 0
    ASSERT_NO_FATAL_FAILURE(ExpectWaitEnded(wait, 0u));
  });
}

TEST(StatusPoll, BitsTwoToSevenAreIgnored) {
  RunOnMachine([] {
    StatusDevice dev(0xFC);
    dev.PollStatusOnce();
    ExpectLines(dev, 0x00);
    ExpectNoChangeLatched(dev);
    dev.PollWith(0x05);
    ExpectLines(dev, 0x38);
    ClearChangeFlags(dev);
    dev.PollWith(0x01);
    ExpectLines(dev, 0x38);
    ExpectNoChangeLatched(dev);
  });
}

TEST(StatusPoll, EmptyReplyLeavesTheLinesAlone) {
  RunOnMachine([] {
    StatusDevice dev(0x02);
    dev.PollStatusOnce();
    ExpectLines(dev, 0x30);
    dev.Lower().SetPolicy([](const UrbSeen &) { return UrbReply::Now(STATUS_SUCCESS); });  // no data
    for (int i = 0; i < 3; ++i) dev.PollStatusOnce();
    ExpectLines(dev, 0x30);
    ExpectStatusBits(dev, 0, 1);
  });
}

TEST(StatusPoll, TickWithoutPoolPollsNothingAndLeaksNothing) {
  RunOnMachine([] {
    StatusDevice dev(0x01);
    for (uint64_t nth : {1u, 2u}) {
      SCOPED_TRACE(nth);
      size_t blocks = sim::pool::OutstandingTotal();
      sim::pool::FailNth(nth);
      dev.PollStatusOnce();
      sim::pool::Clear();
      EXPECT_EQ(dev.Lower().Count(), 0u);
      EXPECT_EQ(sim::pool::OutstandingTotal(), blocks);
      EXPECT_EQ(dev.Ext()->OutstandingIo, 1);
    }
    dev.PollStatusOnce();
    ExpectLines(dev, 0x38);
  });
}

// Open-port machinery running: the I/O timer polls once a second and the
// device's status byte ends up as a completed wait-on-mask request.
TEST(StatusPoll, DeviceStatusReachesAWaitingApplication) {
  RunOnDevice([](TestDevice &dev) {
    UCHAR byte = 0x00;
    dev.Lower().SetPolicy([&byte](const UrbSeen &u) {
      if (u.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) return UrbReply::Pending(UrbReply::CancelAtOnce);
      if (IsStatusRequest(u)) return UrbReply::After(5, STATUS_SUCCESS, {byte});
      return UrbReply::Now(STATUS_SUCCESS);
    });
    ClearChangeFlags(dev);
    dev.StartReader();
    SleepMs(2500);
    ExpectLines(dev, 0x00);

    AsyncIoctl up;
    ASSERT_EQ(up.StartWaitOnMask(dev.Fdo()), STATUS_PENDING);
    uint64_t start = sim::NowMs();
    byte = 0x01;
    ASSERT_TRUE(up.Wait(1500)) << "no poll within a second and a half";
    dev.WaitStatusPollsIdle();
    EXPECT_LE(sim::NowMs() - start, 1100u);
    EXPECT_TRUE(CompletedWith(up, STATUS_SUCCESS, 4u));
    EXPECT_EQ(up.OutUlong(), kLineEvents);
    ExpectLines(dev, 0x38);

    AsyncIoctl down;
    ASSERT_EQ(down.StartWaitOnMask(dev.Fdo()), STATUS_PENDING);
    byte = 0x01 | 0x40;  // an ignored bit changes nothing
    SleepMs(2100);
    EXPECT_FALSE(down.Done());
    byte = 0x02;  // CTS off; DSR and carrier go off with bit 0, then on again with bit 1
    ASSERT_TRUE(down.Wait(1500));
    EXPECT_EQ(down.OutUlong(), kLineEvents);  // completed by the bit-0 update
    dev.WaitStatusPollsIdle();
    ExpectLines(dev, 0x30);
    dev.StopReader();
    size_t polls = 0;
    for (size_t i = 0; i < dev.Lower().Count(); ++i) polls += IsStatusRequest(dev.Lower().Seen(i));
    EXPECT_GE(polls, 5u);
  });
}

// The same road over the simulated USB bus: the modem's status byte, polled
// once a second, completes the wait; a modem that stops answering changes nothing.
TEST(StatusPoll, BusModemStatusReachesAWaitingApplication) {
  RunOnMachine([] {
    auto *model = new sim::usb::ScriptedModel;
    sim::usb::Device *bus = sim::usb::Plug(std::unique_ptr<sim::usb::Model>(model));
    TestDevice dev(bus);
    ClearChangeFlags(dev);
    dev.StartReader();
    AsyncIoctl up;
    ASSERT_EQ(up.StartWaitOnMask(dev.Fdo()), STATUS_PENDING);
    model->SetStatus(sim::usb::STATUS_READY);
    ASSERT_TRUE(up.Wait(1500));
    EXPECT_EQ(up.OutUlong(), kLineEvents);
    dev.WaitStatusPollsIdle();
    ExpectLines(dev, 0x38);

    bus->SetNoAnswer(sim::usb::RequestKind::GetStatus, true);
    model->SetStatus(0);
    uint32_t before = bus->Count(sim::usb::RequestKind::GetStatus);
    SleepMs(3000);
    dev.WaitStatusPollsIdle();
    EXPECT_GE(bus->Count(sim::usb::RequestKind::GetStatus) - before, 2u);
    ExpectLines(dev, 0x38);
    EXPECT_EQ(bus->PendingCount(), 1u) << "only the reader's transfer is held";
    dev.StopReader();
  });
}

// A queued poll holds a reference until its worker ends, so a drain waits for it.
TEST(StatusPoll, QueuedPollHoldsAReferenceUntilItsWorkerEnds) {
  RunOnDevice([](TestDevice &dev) {
    dev.Lower().SetPolicy([](const UrbSeen &) { return UrbReply::After(50, STATUS_SUCCESS, {0x01}); });
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    StatusPollTimer(dev.Fdo(), nullptr);
    KeLowerIrql(old);
    // The worker may already be in its request (another reference) on another CPU.
    EXPECT_GE(dev.Ext()->OutstandingIo, 2) << "taken by the timer routine";
    LARGE_INTEGER limit;
    limit.QuadPart = -1000 * 10000LL;
    EXPECT_EQ(KeWaitForSingleObject(&dev.Ext()->NoPendingIoEvent, Executive, KernelMode, FALSE, &limit),
              STATUS_SUCCESS);
    EXPECT_EQ(dev.Ext()->LineState, 0x38) << "the drain ended only after the poll applied its byte";
    dev.WaitStatusPollsIdle();
    EXPECT_EQ(dev.Ext()->OutstandingIo, 1);
  });
}
