// Opening, cleaning up and closing the port: one handle at a time, what the
// device sees and in which order, what an open resets and what it keeps.
#include <gtest/gtest.h>

#include <cstring>

#include <usbdi.h>

#include "datapath/ring.h"
#include "driver/accounting.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/sim.h"
#include "support/driver_fixture.h"
#include "support/driver_irp.h"
#include "support/reader_lower.h"

using namespace testing_support;

namespace {

NTSTATUS Major(TestDevice &dev, UCHAR major) {
  DriverIrp irp;
  NTSTATUS returned = irp.Simple(dev.Fdo(), major);
  EXPECT_TRUE(irp.Done());
  EXPECT_NE(returned, STATUS_PENDING);
  EXPECT_EQ(returned, irp.Status());
  EXPECT_EQ(irp.Information(), 0u);
  return returned;
}
NTSTATUS Open(TestDevice &dev) { return Major(dev, IRP_MJ_CREATE); }
NTSTATUS Cleanup(TestDevice &dev) { return Major(dev, IRP_MJ_CLEANUP); }
NTSTATUS Close(TestDevice &dev) { return Major(dev, IRP_MJ_CLOSE); }

// The URBs the port's control path sent, leaving out the reader's transfers
// and the status polls, which run on their own schedule.
std::vector<std::string> ControlUrbs(const ScriptedLower &lower, size_t from = 0) {
  std::vector<std::string> v;
  for (size_t i = from; i < lower.Count(); ++i) {
    const UrbSeen &s = lower.Seen(i);
    if (IsBulkIn(s) || IsStatusPoll(s)) continue;
    if (s.function == URB_FUNCTION_RESET_PIPE)
      v.push_back(s.pipe == kBulkOutPipe ? "reset out" : s.pipe == kBulkInPipe ? "reset in" : "reset ?");
    else if (IsSetDtr(s))
      v.push_back(s.value ? "dtr on" : "dtr off");
    else
      v.push_back("other " + std::to_string(s.function));
  }
  return v;
}

size_t CountDtr(const ScriptedLower &lower) {
  size_t n = 0;
  for (size_t i = 0; i < lower.Count(); ++i) n += IsSetDtr(lower.Seen(i)) ? 1 : 0;
  return n;
}

using Strings = std::vector<std::string>;

}  // namespace

TEST(Open, ResetsBothPipesThenDropsAndRaisesDtrAndStartsTheDataPath) {
  RunOnDevice([](TestDevice &dev) {
    dev.Lower().SetPolicy(PendBulkIn());
    PDEVICE_EXTENSION ext = dev.Ext();
    ASSERT_EQ(Open(dev), STATUS_SUCCESS);
    EXPECT_EQ(ControlUrbs(dev.Lower()), (Strings{"reset out", "reset in", "dtr off", "dtr on"}));
    EXPECT_EQ(ext->OpenCount, 1);
    EXPECT_EQ(ext->DeviceState, ULONG(Working));
    EXPECT_NE(ext->ReaderThread, nullptr);
    EXPECT_TRUE(ext->IoTimerRunning);
    EXPECT_NE(WaitBulkIn(dev.Lower(), 1), kNone) << "the reader keeps a transfer outstanding";
    SleepMs(1100);
    EXPECT_GE(CountStatusPolls(dev.Lower()), 1u) << "status polls within about a second";
    EXPECT_EQ(ControlUrbs(dev.Lower()), (Strings{"reset out", "reset in", "dtr off", "dtr on"}));

    ASSERT_EQ(Close(dev), STATUS_SUCCESS);
    EXPECT_EQ(ext->OpenCount, 0);
    EXPECT_EQ(ext->DeviceState, ULONG(NotStarted));
    EXPECT_EQ(ext->ReaderThread, nullptr);
    EXPECT_FALSE(ext->IoTimerRunning);
    size_t count = dev.Lower().Count();
    SleepMs(2000);
    EXPECT_EQ(dev.Lower().Count(), count) << "nothing runs after the close";
  });
}

TEST(Open, ResetsThePortButKeepsTimeoutsAndSpecialCharacters) {
  RunOnDevice([](TestDevice &dev) {
    dev.Lower().SetPolicy(PendBulkIn());
    PDEVICE_EXTENSION ext = dev.Ext();
    // A previous session's leftovers.
    SERIAL_BAUD_RATE baud = {9600};
    ASSERT_EQ(dev.Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof(baud), 0).status, STATUS_SUCCESS);
    SERIAL_TIMEOUTS timeouts = {MAXULONG, 0, 0, 7, 8};
    ASSERT_EQ(dev.Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts), 0).status, STATUS_SUCCESS);
    SERIAL_CHARS chars = {1, 2, 3, 4, 0x11, 0x13};
    ASSERT_EQ(dev.Ioctl(IOCTL_SERIAL_SET_CHARS, &chars, sizeof(chars), 0).status, STATUS_SUCCESS);
    ASSERT_EQ(dev.IoctlUlong(IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_RXCHAR).status, STATUS_SUCCESS);
    ASSERT_EQ(dev.Ioctl(IOCTL_SERIAL_SET_DTR).status, STATUS_SUCCESS);
    ASSERT_NE(ext->LineState, 0);
    std::vector<uint8_t> stale = Bytes(20);
    RingAppend(ext, stale.data(), 20);

    ASSERT_EQ(Open(dev), STATUS_SUCCESS);
    EXPECT_EQ(ext->RingCount, 0);
    EXPECT_EQ(ext->RingReadIndex, 0u);
    EXPECT_EQ(ext->RingWriteIndex, 0u);
    EXPECT_EQ(ext->WaitMask, 0u);
    EXPECT_EQ(ext->BaudRate, 115200u);
    EXPECT_EQ(ext->LineState, 0);
    EXPECT_EQ(ext->OutstandingIo, 1);
    EXPECT_EQ(ext->PendingWaitIrp, nullptr);
    EXPECT_EQ(ext->LastStatusBit0, 0);
    EXPECT_EQ(ext->LastStatusBit1, 0);
    EXPECT_EQ(memcmp(&ext->Timeouts, &timeouts, sizeof(timeouts)), 0);
    EXPECT_EQ(memcmp(&ext->SpecialChars, &chars, sizeof(chars)), 0);
    ASSERT_EQ(Close(dev), STATUS_SUCCESS);
  });
}

TEST(Open, ClearsTheLastSessionsLinesLatchedChangesAndStatusBits) {
  RunOnDevice([](TestDevice &dev) {
    dev.Lower().SetPolicy(PendBulkIn());
    PDEVICE_EXTENSION ext = dev.Ext();
    // Carrier was up and the device's last status had both bits set.
    ext->LineState = 0x38;
    ext->ModemStatus = 0xB0;
    ext->CtsChanged = 1;
    ext->DsrChanged = 1;
    ext->RlsdChanged = 1;
    ext->LastStatusBit0 = 1;
    ext->LastStatusBit1 = 1;

    ASSERT_EQ(Open(dev), STATUS_SUCCESS);
    EXPECT_EQ(ext->LineState, 0);
    EXPECT_EQ(ext->ModemStatus, 0u);
    EXPECT_EQ(ext->CtsChanged, 0);
    EXPECT_EQ(ext->DsrChanged, 0);
    EXPECT_EQ(ext->RlsdChanged, 0);
    EXPECT_EQ(ext->LastStatusBit0, 0);
    EXPECT_EQ(ext->LastStatusBit1, 0) << "the first poll must apply every status bit that is 1";
    ASSERT_EQ(Cleanup(dev), STATUS_SUCCESS);
    ASSERT_EQ(Close(dev), STATUS_SUCCESS);
  });
}

TEST(Open, ReferenceHeldAcrossTheOpenIsNotLost) {
  RunOnDevice([](TestDevice &dev) {
    dev.Lower().SetPolicy(PendBulkIn());
    IoIncrement(dev.Ext());  // a power request in progress, say
    ASSERT_EQ(Open(dev), STATUS_SUCCESS);
    EXPECT_EQ(dev.Ext()->OutstandingIo, 2);
    IoDecrement(dev.Ext());
    EXPECT_EQ(dev.Ext()->OutstandingIo, 1);
    ASSERT_EQ(Close(dev), STATUS_SUCCESS);
  });
}

TEST(Open, SecondOpenIsRefusedAndDisturbsNothing) {
  RunOnDevice([](TestDevice &dev) {
    dev.Lower().SetPolicy(PendBulkIn());
    PDEVICE_EXTENSION ext = dev.Ext();
    ASSERT_EQ(Open(dev), STATUS_SUCCESS);
    ASSERT_EQ(dev.Ioctl(IOCTL_SERIAL_SET_DTR).status, STATUS_SUCCESS);
    std::vector<uint8_t> data = Bytes(5);
    RingAppend(ext, data.data(), 5);
    PKTHREAD reader = ext->ReaderThread;
    Strings before = ControlUrbs(dev.Lower());

    EXPECT_EQ(Open(dev), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ext->OpenCount, 1);
    EXPECT_EQ(ControlUrbs(dev.Lower()), before) << "a refused open sends nothing";
    EXPECT_EQ(ext->RingCount, 5);
    EXPECT_NE(ext->LineState, 0);
    EXPECT_EQ(ext->ReaderThread, reader);
    EXPECT_EQ(ext->DeviceState, ULONG(Working));
    ext->Timeouts.ReadIntervalTimeout = MAXULONG;
    DriverIrp read;
    EXPECT_EQ(read.Read(dev.Fdo(), 5), STATUS_SUCCESS) << "the open port still serves";
    EXPECT_EQ(read.Data(), data);

    ASSERT_EQ(Cleanup(dev), STATUS_SUCCESS);
    ASSERT_EQ(Close(dev), STATUS_SUCCESS);
    EXPECT_EQ(Open(dev), STATUS_SUCCESS) << "free again after the close";
    EXPECT_EQ(ext->OpenCount, 1);
    ASSERT_EQ(Close(dev), STATUS_SUCCESS);
  });
}

TEST(Open, UnconfiguredDeviceIsRefusedWithoutAnyUrb) {
  RunOnDevice([](TestDevice &dev) {
    PDEVICE_EXTENSION ext = dev.Ext();
    ext->BulkOutPipe = nullptr;
    ext->BulkInPipe = nullptr;
    EXPECT_EQ(Open(dev), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ext->OpenCount, 0);
    EXPECT_EQ(dev.Lower().Count(), 0u);
    EXPECT_EQ(ext->ReaderThread, nullptr);
    EXPECT_FALSE(ext->IoTimerRunning);
  });
}

TEST(Open, FailedPipeResetRestoresTheOpenCount) {
  RunOnDevice([](TestDevice &dev) {
    PDEVICE_EXTENSION ext = dev.Ext();
    int resets = 0;
    int failAt = 1;
    ScriptedLower::Policy normal = PendBulkIn();
    dev.Lower().SetPolicy([&](const UrbSeen &s) {
      if (s.function == URB_FUNCTION_RESET_PIPE && ++resets == failAt) return UrbReply::Now(STATUS_UNSUCCESSFUL);
      return normal(s);
    });
    EXPECT_EQ(Open(dev), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ext->OpenCount, 0);
    EXPECT_EQ(ControlUrbs(dev.Lower()), (Strings{"reset out"})) << "the bulk-in pipe is not reset";
    EXPECT_EQ(ext->ReaderThread, nullptr);

    size_t from = dev.Lower().Count();
    resets = 0;
    failAt = 2;
    EXPECT_EQ(Open(dev), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ext->OpenCount, 0);
    EXPECT_EQ(ControlUrbs(dev.Lower(), from), (Strings{"reset out", "reset in"}));
    EXPECT_EQ(ext->ReaderThread, nullptr);

    from = dev.Lower().Count();
    DriverIrp starved;
    starved.BeforeSend([] { sim::pool::FailNth(1); });
    EXPECT_EQ(starved.Simple(dev.Fdo(), IRP_MJ_CREATE), STATUS_INSUFFICIENT_RESOURCES);
    sim::pool::Clear();
    EXPECT_EQ(ext->OpenCount, 0);
    EXPECT_EQ(dev.Lower().Count(), from);

    failAt = 0;
    EXPECT_EQ(Open(dev), STATUS_SUCCESS);
    ASSERT_EQ(Close(dev), STATUS_SUCCESS);
  });
}

TEST(Open, FailingDtrRequestsDoNotFailTheOpen) {
  RunOnDevice([](TestDevice &dev) {
    ScriptedLower::Policy normal = PendBulkIn();
    dev.Lower().SetPolicy([&](const UrbSeen &s) {
      if (IsSetDtr(s)) return UrbReply::Now(STATUS_UNSUCCESSFUL);
      return normal(s);
    });
    EXPECT_EQ(Open(dev), STATUS_SUCCESS);
    EXPECT_EQ(dev.Ext()->DeviceState, ULONG(Working));
    ASSERT_EQ(Close(dev), STATUS_SUCCESS);
  });
}

// ---------------------------------------------------------------- cleanup

TEST(Cleanup, PendingWaitEndsWithAnEmptyMaskBeforeAnyVendorRequest) {
  RunOnDevice([](TestDevice &dev) {
    dev.Lower().SetPolicy(PendBulkIn());
    ASSERT_EQ(Open(dev), STATUS_SUCCESS);
    ASSERT_EQ(dev.IoctlUlong(IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_CTS).status, STATUS_SUCCESS);
    size_t dtrBefore = CountDtr(dev.Lower());
    size_t dtrAtWaitEnd = 0;
    DriverIrp wait;
    wait.OnComplete([&] { dtrAtWaitEnd = CountDtr(dev.Lower()); });
    ASSERT_EQ(wait.Ioctl(dev.Fdo(), IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4), STATUS_PENDING);
    size_t from = dev.Lower().Count();

    ASSERT_EQ(Cleanup(dev), STATUS_SUCCESS);
    ASSERT_TRUE(wait.Done());
    EXPECT_TRUE(CompletedWith(wait, STATUS_SUCCESS, 4u));
    EXPECT_EQ(wait.Data(), (std::vector<uint8_t>{0, 0, 0, 0}));
    EXPECT_EQ(dtrAtWaitEnd, dtrBefore);
    EXPECT_EQ(ControlUrbs(dev.Lower(), from), (Strings{"dtr off", "dtr on"}));
    // Cleanup leaves the port open and running.
    EXPECT_EQ(dev.Ext()->OpenCount, 1);
    EXPECT_EQ(dev.Ext()->DeviceState, ULONG(Working));
    EXPECT_NE(dev.Ext()->ReaderThread, nullptr);
    ASSERT_EQ(Close(dev), STATUS_SUCCESS);
  });
}

TEST(Cleanup, QueuedReadsAreCancelledBeforeTheDtrRequests) {
  RunOnDevice([](TestDevice &dev) {
    dev.Lower().SetPolicy(PendBulkIn());
    ASSERT_EQ(Open(dev), STATUS_SUCCESS);
    size_t dtrBefore = CountDtr(dev.Lower());
    size_t dtrAtEnd[2] = {99, 99};
    DriverIrp reads[2];
    for (int i = 0; i < 2; ++i) {
      reads[i].OnComplete([&, i] { dtrAtEnd[i] = CountDtr(dev.Lower()); });
      ASSERT_EQ(reads[i].Read(dev.Fdo(), 50), STATUS_PENDING);
    }
    ASSERT_EQ(Cleanup(dev), STATUS_SUCCESS);
    for (int i = 0; i < 2; ++i) {
      ASSERT_TRUE(reads[i].Done());
      EXPECT_EQ(reads[i].Status(), STATUS_CANCELLED);
      EXPECT_EQ(dtrAtEnd[i], dtrBefore) << "read " << i << " ended after a DTR request";
    }
    EXPECT_EQ(dev.Ext()->ReadQueue.Count, 0);
    EXPECT_EQ(CountDtr(dev.Lower()), dtrBefore + 2);
    ASSERT_EQ(Close(dev), STATUS_SUCCESS);
  });
}

TEST(Cleanup, DtrPulseLeavesTheModemStatusImageAlone) {
  RunOnDevice([](TestDevice &dev) {
    dev.Lower().SetPolicy(PendBulkIn(UrbReply::CancelAtOnce, 0x03));
    ASSERT_EQ(Open(dev), STATUS_SUCCESS);
    SleepMs(1100);
    ASSERT_GE(CountStatusPolls(dev.Lower()), 1u);
    ULONG image = dev.Ext()->ModemStatus;
    USHORT lines = dev.Ext()->LineState;
    ASSERT_NE(image, 0u) << "the poll reported the modem ready";
    size_t from = dev.Lower().Count();
    ASSERT_EQ(Cleanup(dev), STATUS_SUCCESS);
    EXPECT_EQ(ControlUrbs(dev.Lower(), from), (Strings{"dtr off", "dtr on"}));
    EXPECT_EQ(dev.Ext()->ModemStatus, image);
    EXPECT_EQ(dev.Ext()->LineState, lines);
    ASSERT_EQ(Close(dev), STATUS_SUCCESS);
  });
}

TEST(Cleanup, WaitsForAWriteInFlightBeforeTouchingDtr) {
  RunOnDevice([](TestDevice &dev) {
    ScriptedLower::Policy normal = PendBulkIn();
    dev.Lower().SetPolicy([&](const UrbSeen &s) {
      if (IsBulkOut(s)) return UrbReply::Pending(UrbReply::NotCancelable);
      return normal(s);
    });
    ASSERT_EQ(Open(dev), STATUS_SUCCESS);
    DriverIrp write;
    ASSERT_EQ(write.Write(dev.Fdo(), Bytes(10)), STATUS_PENDING);
    size_t out = LastBulkOut(dev.Lower());
    ASSERT_NE(out, kNone);
    size_t dtrBefore = CountDtr(dev.Lower());
    NTSTATUS cleanup = STATUS_PENDING;
    TestThread closer("cleanup", [&] { cleanup = Cleanup(dev); });
    SleepMs(50);
    EXPECT_FALSE(closer.Finished()) << "cleanup did not wait for the write";
    EXPECT_EQ(CountDtr(dev.Lower()), dtrBefore);
    ASSERT_TRUE(dev.Lower().Answer(out, STATUS_SUCCESS));
    closer.Join();
    EXPECT_EQ(cleanup, STATUS_SUCCESS);
    ASSERT_TRUE(write.Wait(10));
    EXPECT_EQ(write.Status(), STATUS_SUCCESS);
    EXPECT_EQ(CountDtr(dev.Lower()), dtrBefore + 2);
    ASSERT_EQ(Close(dev), STATUS_SUCCESS);
  });
}

// A wait-on-mask request that arrives while cleanup waits for the port to
// drain ends at once, cancelled, or cleanup would wait for it for ever; the
// next open accepts waits again.
TEST(Cleanup, WaitArrivingDuringTheDrainIsCancelledAndTheNextOpenAcceptsWaits) {
  RunOnDevice([](TestDevice &dev) {
    ScriptedLower::Policy normal = PendBulkIn();
    dev.Lower().SetPolicy([&](const UrbSeen &s) {
      if (IsBulkOut(s)) return UrbReply::Pending(UrbReply::NotCancelable);
      return normal(s);
    });
    ASSERT_EQ(Open(dev), STATUS_SUCCESS);
    ASSERT_EQ(dev.IoctlUlong(IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_DSR).status, STATUS_SUCCESS);
    DriverIrp write;
    ASSERT_EQ(write.Write(dev.Fdo(), Bytes(10)), STATUS_PENDING);
    size_t out = LastBulkOut(dev.Lower());
    ASSERT_NE(out, kNone);
    NTSTATUS cleanup = STATUS_PENDING;
    TestThread closer("cleanup", [&] { cleanup = Cleanup(dev); });
    SleepMs(20);
    ASSERT_FALSE(closer.Finished()) << "cleanup did not wait for the write";
    AsyncIoctl late;
    late.StartWaitOnMask(dev.Fdo());
    EXPECT_TRUE(late.Wait(10)) << "a wait accepted behind cleanup's flush";
    EXPECT_TRUE(CompletedWith(late, STATUS_CANCELLED, 0));
    ASSERT_TRUE(dev.Lower().Answer(out, STATUS_SUCCESS));
    SleepMs(50);
    ASSERT_TRUE(closer.Finished()) << "cleanup waits for ever";
    closer.Join();
    EXPECT_EQ(cleanup, STATUS_SUCCESS);
    ASSERT_TRUE(write.Wait(10));
    ASSERT_EQ(Close(dev), STATUS_SUCCESS);

    ASSERT_EQ(Open(dev), STATUS_SUCCESS);
    ASSERT_EQ(dev.IoctlUlong(IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_DSR).status, STATUS_SUCCESS);
    AsyncIoctl wait;
    EXPECT_EQ(wait.StartWaitOnMask(dev.Fdo()), STATUS_PENDING);
    EXPECT_FALSE(wait.Wait(5));
    ASSERT_EQ(Cleanup(dev), STATUS_SUCCESS);
    EXPECT_TRUE(WaitEndsWith(wait, 10, 0));
    ASSERT_EQ(Close(dev), STATUS_SUCCESS);
  });
}

TEST(Cleanup, NoMemoryForDtrOffEndsCleanupWithoutRaisingDtr) {
  RunOnDevice([](TestDevice &dev) {
    dev.Lower().SetPolicy(PendBulkIn());
    ASSERT_EQ(Open(dev), STATUS_SUCCESS);
    size_t from = dev.Lower().Count();
    DriverIrp cleanup;
    // Every driver block fails, not just the next one: a status poll's tick
    // may take the next allocation first (its tick is then simply skipped).
    cleanup.BeforeSend([] { sim::pool::FailTag(USBMODEM_POOL_TAG); });
    EXPECT_EQ(cleanup.Simple(dev.Fdo(), IRP_MJ_CLEANUP), STATUS_INSUFFICIENT_RESOURCES);
    sim::pool::Clear();
    EXPECT_EQ(ControlUrbs(dev.Lower(), from), Strings{});
    EXPECT_EQ(dev.Ext()->OutstandingIo, 1);
    ASSERT_EQ(Close(dev), STATUS_SUCCESS);
  });
}

// ---------------------------------------------------------------- close

// A close ends only a working port's state: a removal or a pending stop or
// removal that came meanwhile keeps its state, so no later open revives it.
TEST(Close, MovesOnlyAWorkingPortToNotStarted) {
  for (ULONG state : {ULONG(Working), ULONG(SurpriseRemoved), ULONG(PendingStop), ULONG(PendingRemove)}) {
    SCOPED_TRACE("state " + std::to_string(state));
    RunOnMachine([state] {
      TestDevice dev;
      dev.Lower().SetPolicy(PendBulkIn());
      ASSERT_EQ(Open(dev), STATUS_SUCCESS);
      dev.Ext()->DeviceState = state;
      EXPECT_EQ(Close(dev), STATUS_SUCCESS);
      EXPECT_EQ(dev.Ext()->DeviceState, state == Working ? ULONG(NotStarted) : state);
      EXPECT_EQ(dev.Ext()->OpenCount, 0);
      EXPECT_EQ(dev.Ext()->ReaderThread, nullptr);
    });
  }
}

// An open of a removed device is refused without a URB; one in a pending
// stop or removal is served but leaves that state to Plug and Play.
TEST(Open, RemovedDeviceIsRefusedAndOnlyNotStartedBecomesWorking) {
  for (ULONG state : {ULONG(NotStarted), ULONG(SurpriseRemoved), ULONG(Removed), ULONG(PendingStop),
                      ULONG(PendingRemove)}) {
    SCOPED_TRACE("state " + std::to_string(state));
    RunOnMachine([state] {
      TestDevice dev(state);
      dev.Lower().SetPolicy(PendBulkIn());
      bool removed = state == SurpriseRemoved || state == Removed;
      EXPECT_EQ(Open(dev), removed ? STATUS_DELETE_PENDING : STATUS_SUCCESS);
      EXPECT_EQ(dev.Ext()->DeviceState, state == NotStarted ? ULONG(Working) : state);
      if (removed) {
        EXPECT_EQ(dev.Lower().Count(), 0u);
        EXPECT_EQ(dev.Ext()->OpenCount, 0);
        EXPECT_EQ(dev.Ext()->ReaderThread, nullptr);
      } else {
        EXPECT_EQ(Close(dev), STATUS_SUCCESS);
      }
    });
  }
}
