// Writes on the simulated bus: pieces of at most 1024 bytes, one write at a
// time, partial acceptance, failures, and the immediate character.
#include <gtest/gtest.h>

#include <usbdi.h>

#include "datapath/write.h"
#include "driver/driver.h"
#include "sim/kernel/ntapi.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/sim.h"
#include "sim/usb/device.h"
#include "sim/world/world.h"
#include "support/driver_fixture.h"
#include "support/driver_irp.h"
#include "support/win32_machine.h"

using namespace testing_support;
using sim::usb::LogEntry;
using sim::usb::RequestKind;

namespace {

struct Port {
  sim::World &world;
  PDEVICE_OBJECT fdo;
  PDEVICE_EXTENSION ext;
  sim::usb::Device *modem;
  sim::usb::ScriptedModel *model;
  HANDLE handle = nullptr;

  explicit Port(sim::World &w)
      : world(w), fdo(w.Fdo()), ext(w.Extension()), modem(w.Modem()),
        model(static_cast<sim::usb::ScriptedModel *>(w.ModemModel())) {}

  // Opens the port as an application does; the data path then runs.
  void Open() {
    IO_STATUS_BLOCK iosb;
    ASSERT_EQ(sim::NtCreateFile(&handle, GENERIC_READ | GENERIC_WRITE, L"\\??\\COM7", &iosb, false), STATUS_SUCCESS);
  }
  void Close() {
    if (handle != nullptr) {
      EXPECT_EQ(sim::NtClose(handle), STATUS_SUCCESS);
    }
    handle = nullptr;
  }

  std::vector<LogEntry> BulkOuts() const {
    std::vector<LogEntry> out;
    for (const LogEntry &e : modem->Log())
      if (e.kind == RequestKind::BulkOut) out.push_back(e);
    return out;
  }
  std::vector<ULONG> PieceLengths() const {
    std::vector<ULONG> v;
    for (const LogEntry &e : BulkOuts()) v.push_back(e.length);
    return v;
  }
};

void OnBus(const std::function<void(Port &)> &body) {
  OnOneMachine([&](sim::World &world) { world.Run([&] { Port port(world); body(port); }); }, "scriptable");
}

std::string AsString(const std::vector<uint8_t> &v) { return std::string(v.begin(), v.end()); }

}  // namespace

TEST(Write, LongWriteGoesOutInPiecesOfAtMost1024) {
  OnBus([](Port &p) {
    p.Open();
    std::vector<uint8_t> data = Bytes(3000);
    ULONG before = p.ext->PerfStats.TransmittedCount;
    DriverIrp w;
    EXPECT_EQ(w.Write(p.fdo, data), STATUS_PENDING);
    ASSERT_TRUE(w.Wait(1000));
    EXPECT_TRUE(CompletedWith(w, STATUS_SUCCESS, 3000u));
    EXPECT_EQ(p.ext->PerfStats.TransmittedCount - before, 3000u);
    EXPECT_EQ(p.PieceLengths(), (std::vector<ULONG>{1024, 1024, 952}));
    std::vector<LogEntry> pieces = p.BulkOuts();
    for (size_t i = 1; i < pieces.size(); ++i)
      EXPECT_GE(pieces[i].submitMs, pieces[i - 1].completeMs) << "one piece in flight at a time";
    EXPECT_EQ(p.model->Written(), AsString(data));
    p.Close();
  });
}

TEST(Write, EmptyWriteSendsOneEmptyTransfer) {
  OnBus([](Port &p) {
    p.Open();
    DriverIrp w;
    EXPECT_EQ(w.Write(p.fdo, {}), STATUS_PENDING);
    ASSERT_TRUE(w.Wait(100));
    EXPECT_TRUE(CompletedWith(w, STATUS_SUCCESS, 0u));
    EXPECT_EQ(p.PieceLengths(), (std::vector<ULONG>{0}));
    p.Close();
  });
}

TEST(Write, PartlyAcceptedPieceIsFollowedFromTheFirstByteNotTaken) {
  OnBus([](Port &p) {
    p.Open();
    p.modem->SetBulkOutLimit(500);
    std::vector<uint8_t> data = Bytes(1500, 4);
    DriverIrp w;
    ASSERT_EQ(w.Write(p.fdo, data), STATUS_PENDING);
    ASSERT_TRUE(w.Wait(1000));
    EXPECT_TRUE(CompletedWith(w, STATUS_SUCCESS, 1500u));
    EXPECT_EQ(p.PieceLengths(), (std::vector<ULONG>{1024, 1000, 500}));
    EXPECT_EQ(p.model->Written(), AsString(data));
    EXPECT_EQ(p.ext->PerfStats.TransmittedCount, 1500u);
    p.Close();
  });
}

TEST(Write, PieceAcceptedWithNoBytesEndsTheWriteShort) {
  OnBus([](Port &p) {
    p.modem->SetBulkOutLimit(0);
    DriverIrp w;
    ASSERT_EQ(w.Write(p.fdo, Bytes(100)), STATUS_PENDING);
    ASSERT_TRUE(w.Wait(100)) << "a piece that makes no progress is not resent forever";
    EXPECT_TRUE(CompletedWith(w, STATUS_SUCCESS, 0u));
    EXPECT_EQ(p.PieceLengths(), (std::vector<ULONG>{100}));
    p.modem->ClearBulkOutLimit();
    DriverIrp next;
    ASSERT_EQ(next.Write(p.fdo, Bytes(10)), STATUS_PENDING);
    ASSERT_TRUE(next.Wait(100));
    EXPECT_EQ(next.Information(), 10u);
  });
}

TEST(Write, SecondWriteWaitsUntilTheFirstHasEnded) {
  OnBus([](Port &p) {
    p.modem->SetLatencyMs(RequestKind::BulkOut, 30);
    DriverIrp first, second;
    ASSERT_EQ(first.Write(p.fdo, Bytes(2000, 1)), STATUS_PENDING);
    ASSERT_EQ(second.Write(p.fdo, Bytes(10, 2)), STATUS_PENDING);
    EXPECT_EQ(p.ext->OutstandingIo, 2) << "only the write in progress holds a reference";
    SleepMs(10);
    EXPECT_EQ(p.BulkOuts().size(), 1u);
    ASSERT_TRUE(second.Wait(1000));
    ASSERT_TRUE(first.Done());
    EXPECT_LE(first.Completed100ns(), second.Completed100ns());
    std::vector<LogEntry> pieces = p.BulkOuts();
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[2].length, 10u);
    EXPECT_GE(pieces[2].submitMs, pieces[1].completeMs);
    EXPECT_EQ(second.Information(), 10u);
    EXPECT_EQ(p.ext->OutstandingIo, 1);
  });
}

TEST(Write, CancellingAWriteWaitingInTheDeviceQueueLeavesItQueued) {
  OnBus([](Port &p) {
    p.modem->SetLatencyMs(RequestKind::BulkOut, 30);
    DriverIrp first, second;
    ASSERT_EQ(first.Write(p.fdo, Bytes(100, 1)), STATUS_PENDING);
    ASSERT_EQ(second.Write(p.fdo, Bytes(100, 2)), STATUS_PENDING);
    second.Cancel();
    SleepMs(10);
    EXPECT_FALSE(second.Done()) << "a queued write has no cancel routine";
    EXPECT_EQ(p.BulkOuts().size(), 1u);
    ASSERT_TRUE(second.Wait(1000));
    EXPECT_TRUE(CompletedWith(first, STATUS_SUCCESS, 100u));
    // It starts in its turn. Its IRP still carries the cancel flag, which the
    // bus honours as a real one does: the piece is refused as cancelled.
    std::vector<LogEntry> pieces = p.BulkOuts();
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[1].length, 100u);
    EXPECT_GE(pieces[1].submitMs, pieces[0].completeMs);
    EXPECT_EQ(second.Status(), pieces[1].status);
    EXPECT_EQ(p.ext->OutstandingIo, 1);
  });
}

TEST(Write, FailedSecondPieceEndsTheWriteAndTheNextOneStarts) {
  OnBus([](Port &p) {
    p.Open();
    // A failure that leaves the pipe running (a halting one would refuse the next write too).
    p.modem->FailNth(RequestKind::BulkOut, 2, STATUS_UNSUCCESSFUL, USBD_STATUS_INVALID_PARAMETER);
    DriverIrp broken, next;
    ASSERT_EQ(broken.Write(p.fdo, Bytes(3000)), STATUS_PENDING);
    ASSERT_EQ(next.Write(p.fdo, Bytes(20, 6)), STATUS_PENDING);
    ASSERT_TRUE(next.Wait(1000));
    ASSERT_TRUE(broken.Done());
    EXPECT_EQ(broken.Status(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(broken.Information(), 1024u) << "the failed write must say what went out before the failure";
    EXPECT_TRUE(CompletedWith(next, STATUS_SUCCESS, 20u));
    EXPECT_EQ(p.PieceLengths(), (std::vector<ULONG>{1024, 1024, 20})) << "nothing retried";
    EXPECT_EQ(p.ext->PerfStats.TransmittedCount, 1024u + 20u);
    p.Close();
  });
}

// Once the OUT pipe is halted the stack refuses every piece inside
// IofCallDriver, so each write ends inside its own StartIo. The next one must
// not be started from there, or StartIo recurses once per queued write.
TEST(Write, WritesThatFailAtOnceDoNotNestStartIo) {
  OnBus([](Port &p) {
    p.Open();
    // A held write keeps the queue busy while the others line up behind it.
    p.modem->SetNoAnswer(RequestKind::BulkOut, true);
    DriverIrp holder;
    ASSERT_EQ(holder.Write(p.fdo, Bytes(10)), STATUS_PENDING);
    std::vector<std::unique_ptr<DriverIrp>> queued;
    for (int i = 0; i < 40; ++i) {
      queued.emplace_back(new DriverIrp);
      ASSERT_EQ(queued.back()->Write(p.fdo, Bytes(10)), STATUS_PENDING);
    }
    p.modem->SetNoAnswer(RequestKind::BulkOut, false);
    // The next piece stalls and halts the pipe; the ones after it are refused at once.
    p.modem->StallPipe(0x01);
    holder.Cancel();
    ASSERT_TRUE(holder.Wait(1000));
    for (auto &w : queued) {
      ASSERT_TRUE(w->Wait(1000));
      EXPECT_FALSE(NT_SUCCESS(w->Status()));
    }
    EXPECT_EQ(p.ext->OutstandingIo, 1);
    p.Close();
  });
}

TEST(Write, NoMemoryForTheUrbOrContextFailsThatWriteAndTheNextStarts) {
  OnBus([](Port &p) {
    for (uint64_t nth : {1u, 2u}) {
      SCOPED_TRACE("allocation " + std::to_string(nth) + " fails");
      size_t blocks = DriverBlocks();
      p.modem->SetLatencyMs(RequestKind::BulkOut, 20);
      DriverIrp first, starved, last;
      ASSERT_EQ(first.Write(p.fdo, Bytes(10)), STATUS_PENDING);
      ASSERT_EQ(starved.Write(p.fdo, Bytes(10)), STATUS_PENDING);
      // Armed once every IRP is built: the next allocation is the starved
      // write's, in its StartIo run from the first write's completion.
      last.BeforeSend([nth] { sim::pool::FailNth(nth); });
      ASSERT_EQ(last.Write(p.fdo, Bytes(30)), STATUS_PENDING);
      ASSERT_TRUE(last.Wait(1000));
      sim::pool::Clear();
      EXPECT_EQ(first.Status(), STATUS_SUCCESS);
      EXPECT_TRUE(CompletedWith(starved, STATUS_INSUFFICIENT_RESOURCES, 0u));
      EXPECT_TRUE(CompletedWith(last, STATUS_SUCCESS, 30u));
      EXPECT_EQ(DriverBlocks(), blocks);
      EXPECT_EQ(p.ext->OutstandingIo, 1);
    }
    std::vector<ULONG> lengths = p.PieceLengths();
    EXPECT_EQ(lengths, (std::vector<ULONG>{10, 30, 10, 30})) << "the starved writes sent nothing";
  });
}

TEST(ImmediateChar, SendsTheWholeInputBufferOutsideTheQueue) {
  OnBus([](Port &p) {
    p.Open();
    p.modem->SetLatencyMs(RequestKind::BulkOut, 20);
    UCHAR one = 'Z';
    DriverIrp single;
    EXPECT_EQ(single.Ioctl(p.fdo, IOCTL_SERIAL_IMMEDIATE_CHAR, &one, 1, 0), STATUS_PENDING);
    EXPECT_EQ(sim::pool::Outstanding(IMMEDIATE_CHAR_POOL_TAG), 1u) << "its URB carries its own tag";
    ASSERT_TRUE(single.Wait(100));
    EXPECT_EQ(single.Status(), STATUS_SUCCESS);
    EXPECT_EQ(sim::pool::Outstanding(IMMEDIATE_CHAR_POOL_TAG), 0u);
    const char five[] = "ABCDE";
    DriverIrp several;
    EXPECT_EQ(several.Ioctl(p.fdo, IOCTL_SERIAL_IMMEDIATE_CHAR, five, 5, 0), STATUS_PENDING);
    ASSERT_TRUE(several.Wait(100));
    EXPECT_EQ(several.Status(), STATUS_SUCCESS);
    EXPECT_EQ(p.PieceLengths(), (std::vector<ULONG>{1, 5}));
    EXPECT_EQ(p.model->Written(), "ZABCDE");
    EXPECT_EQ(p.ext->PerfStats.TransmittedCount, 0u) << "immediate characters are not counted as written";
    p.Close();
  });
}

TEST(ImmediateChar, EmptyInputIsRefused) {
  OnBus([](Port &p) {
    DriverIrp empty;
    EXPECT_EQ(empty.Ioctl(p.fdo, IOCTL_SERIAL_IMMEDIATE_CHAR, nullptr, 0, 0), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(empty.Status(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(SendIoctlWithoutBuffer(p.fdo, IOCTL_SERIAL_IMMEDIATE_CHAR, 1, 0).status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(p.BulkOuts().empty());
    EXPECT_EQ(p.ext->OutstandingIo, 1);
  });
}

TEST(Write, RefusedUnlessWorking) {
  RunOnMachine([] {
    TestDevice dev(PendingStop);
    DriverIrp w;
    EXPECT_EQ(w.Write(dev.Fdo(), Bytes(10)), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(w.Information(), 0u);
    UCHAR c = 'x';
    DriverIrp immediate;
    EXPECT_EQ(immediate.Ioctl(dev.Fdo(), IOCTL_SERIAL_IMMEDIATE_CHAR, &c, 1, 0), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(dev.Lower().Count(), 0u) << "nothing sent";
  });
}
