// Bulk transfers: full-speed frames of packet slots, the host controller's
// completion context, packets fixed when a transfer goes on the wire, short
// and zero-length packets, halts, waiting for data, cancellation.
#include "support/seeds.h"
#include "usb/usb_harness.h"

using namespace usbtest;
using sim::usb::RequestKind;

namespace {

constexpr uint64_t kMs = 10000;
constexpr uint64_t kSlot = kMs / 19;  // one packet's share of a frame, rounded down

sim::usb::ScriptedModel *PlugScripted(sim::usb::Device **device, Pipes *pipes) {
  auto *model = new sim::usb::ScriptedModel;
  *device = sim::usb::Plug(std::unique_ptr<sim::usb::Model>(model));
  EXPECT_EQ(STATUS_SUCCESS, Configure((*device)->Pdo(), pipes, 1 << 20));
  return model;
}

// A transfer on one of the pipes, sent as a Call of its own.
struct Transfer {
  std::vector<uint8_t> data;
  URB urb;
  Call call;

  Transfer(sim::usb::Device *device, USBD_PIPE_HANDLE pipe, bool in, ULONG length, bool shortOk = true)
      : data(length + 1, in ? 0 : 'o'), call(device->Pdo()) {
    BuildBulkUrb(&urb, pipe, in, data.data(), length);
    if (!shortOk) urb.UrbBulkOrInterruptTransfer.TransferFlags &= ~USBD_SHORT_TRANSFER_OK;
  }
  NTSTATUS Submit() { return call.Submit(&urb); }
  ULONG Transferred() const { return urb.UrbBulkOrInterruptTransfer.TransferBufferLength; }
  std::string Text() const { return std::string(data.begin(), data.begin() + Transferred()); }
};

// The wire's speed bounds an OUT transfer from below, the frame it would
// fill from above; it always ends on a frame boundary, from the host
// controller's DPC, never in the sender's thread.
TEST(UsbBulk, TransfersEndOnFrameBoundariesFromTheHostControllersDpc) {
  for (uint64_t seed : testing_support::Seeds()) {
    RunClean(seed, [seed] {
      sim::usb::Device *device;
      Pipes pipes;
      sim::usb::ScriptedModel *model = PlugScripted(&device, &pipes);
      const ULONG sizes[] = {0, 64, 1024, 1216, 1217, 3000, 24321};
      size_t written = 0;
      for (ULONG bytes : sizes) {
        Transfer t(device, pipes.out, false, bytes);
        uint64_t sent = sim::Now100ns();
        ASSERT_EQ(STATUS_PENDING, t.Submit()) << "seed " << seed;
        ASSERT_TRUE(t.call.Wait(1000));
        EXPECT_EQ(STATUS_SUCCESS, t.call.Status());
        EXPECT_EQ(bytes, t.Transferred());
        uint64_t packets = bytes == 0 ? 1 : (bytes + 63) / 64;
        const Call::Completion &c = t.call.Completed();
        uint64_t due = device->Log().back().due100ns;
        EXPECT_EQ(0u, due % kMs) << bytes << " bytes, seed " << seed;
        EXPECT_GE(c.at100ns, due) << "answered before its frame ended";
        EXPECT_GE(due - sent, packets * kSlot) << bytes << " bytes: faster than the wire";
        EXPECT_LE(due - sent, (packets / 19 + 2) * kMs) << bytes << " bytes";
        EXPECT_EQ(DISPATCH_LEVEL, c.irql);
        EXPECT_FALSE(c.insideCall);
        EXPECT_FALSE(t.call.CompletedInSendersThread());
        written += bytes;
      }
      EXPECT_EQ(written, model->Written().size());
    });
  }
}

// 19 packets a frame for all pipes together: 10 OUT and 10 IN packets sent at
// once cannot all go in one frame, and neither transfer is faster than its share.
TEST(UsbBulk, TransfersInFlightTogetherShareTheFrames) {
  for (uint64_t seed : testing_support::Seeds()) {
    RunClean(seed, [seed] {
      sim::usb::Device *device;
      Pipes pipes;
      sim::usb::ScriptedModel *model = PlugScripted(&device, &pipes);
      model->PushIn(std::string(640, 'i'));
      Transfer out(device, pipes.out, false, 640), in(device, pipes.in, true, 1024);
      uint64_t sent = sim::Now100ns();
      EXPECT_EQ(STATUS_PENDING, out.Submit());
      EXPECT_EQ(STATUS_PENDING, in.Submit());
      ASSERT_TRUE(out.call.Wait(100));
      ASSERT_TRUE(in.call.Wait(100));
      uint64_t last = std::max(out.call.Completed().at100ns, in.call.Completed().at100ns);
      EXPECT_GE(last - sent, 20 * kSlot) << "seed " << seed;
      EXPECT_LE(last - sent, 3 * kMs) << "seed " << seed;
      EXPECT_EQ(640u, in.Transferred());
    });
  }
}

// What an IN transfer carries is decided when it goes on the wire: data that
// arrives while its packets are in flight waits for the next transfer.
TEST(UsbBulk, PacketsAreFixedWhenTheTransferGoesOnTheWire) {
  RunClean(3, [] {
    sim::usb::Device *device;
    Pipes pipes;
    sim::usb::ScriptedModel *model = PlugScripted(&device, &pipes);
    model->PushIn("hello");
    Transfer t(device, pipes.in, true, 1024);
    ASSERT_EQ(STATUS_PENDING, t.Submit());
    model->PushIn(std::string(1000, 'z'));
    ASSERT_TRUE(t.call.Wait(100));
    EXPECT_EQ(STATUS_SUCCESS, t.call.Status());
    EXPECT_EQ("hello", t.Text()) << "a short packet ends the transfer";
    EXPECT_EQ(0, t.data[5]);
    EXPECT_EQ(1000u, model->InLeft());

    // More than one transfer holds: the rest waits for the next.
    Transfer full(device, pipes.in, true, 512);
    ASSERT_EQ(STATUS_PENDING, full.Submit());
    ASSERT_TRUE(full.call.Wait(100));
    EXPECT_EQ(512u, full.Transferred());
    EXPECT_EQ(488u, model->InLeft());
  });
}

// Without USBD_SHORT_TRANSFER_OK a short reply is a data underrun: the data
// is delivered and the pipe halts, refusing every transfer at once until it
// is reset.
TEST(UsbBulk, ShortReplyWithoutShortTransferOkHaltsThePipeUntilReset) {
  RunClean(4, [] {
    sim::usb::Device *device;
    Pipes pipes;
    sim::usb::ScriptedModel *model = PlugScripted(&device, &pipes);
    model->PushIn("abc");
    Transfer t(device, pipes.in, true, 1024, false);
    ASSERT_EQ(STATUS_PENDING, t.Submit());
    ASSERT_TRUE(t.call.Wait(100));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, t.call.Status());
    EXPECT_EQ(USBD_STATUS_DATA_UNDERRUN, t.urb.UrbHeader.Status);
    EXPECT_EQ("abc", t.Text());

    model->PushIn("def");
    Transfer refused(device, pipes.in, true, 1024);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, refused.Submit());
    EXPECT_TRUE(refused.call.Completed().insideCall);
    EXPECT_EQ(USBD_STATUS_ENDPOINT_HALTED, refused.urb.UrbHeader.Status);
    EXPECT_EQ(0u, refused.Transferred());

    URB reset;
    BuildResetPipeUrb(&reset, pipes.in);
    ASSERT_EQ(STATUS_SUCCESS, SendUrb(device->Pdo(), &reset));
    Transfer again(device, pipes.in, true, 1024);
    ASSERT_EQ(STATUS_PENDING, again.Submit());
    ASSERT_TRUE(again.call.Wait(100));
    EXPECT_EQ("def", again.Text());
  });
}

// A reply of whole packets: with zero-length packets the device ends it
// with one; without, the transfer waits for more. A zero-length packet after
// a reply that filled a transfer ends the next one with no data.
TEST(UsbBulk, ZeroLengthPacketsEndRepliesOfWholePackets) {
  RunClean(5, [] {
    sim::usb::Device *device;
    Pipes pipes;
    sim::usb::ScriptedModel *model = PlugScripted(&device, &pipes);
    model->PushIn(std::string(128, 'a'));
    Transfer zlp(device, pipes.in, true, 1024);
    ASSERT_EQ(STATUS_PENDING, zlp.Submit());
    ASSERT_TRUE(zlp.call.Wait(100));
    EXPECT_EQ(128u, zlp.Transferred());

    device->SetZeroLengthPackets(false);
    model->PushIn(std::string(128, 'b'));
    Transfer waits(device, pipes.in, true, 1024);
    ASSERT_EQ(STATUS_PENDING, waits.Submit());
    EXPECT_FALSE(waits.call.Wait(50)) << "no short packet, no zero-length packet: more is to come";
    model->PushIn("end");
    ASSERT_TRUE(waits.call.Wait(100));
    EXPECT_EQ(std::string(128, 'b') + "end", waits.Text());

    device->SetZeroLengthPackets(true);
    model->PushIn(std::string(256, 'c'));
    Transfer exact(device, pipes.in, true, 256), after(device, pipes.in, true, 1024);
    ASSERT_EQ(STATUS_PENDING, exact.Submit());
    ASSERT_EQ(STATUS_PENDING, after.Submit());
    ASSERT_TRUE(after.call.Wait(100));
    EXPECT_EQ(256u, exact.Transferred());
    EXPECT_EQ(STATUS_SUCCESS, after.call.Status());
    EXPECT_EQ(0u, after.Transferred()) << "the zero-length packet that ended the reply";
  });
}

TEST(UsbBulk, PendingInCompletesInTheFrameAfterDataArrives) {
  RunClean(6, [] {
    sim::usb::Device *device;
    Pipes pipes;
    sim::usb::ScriptedModel *model = PlugScripted(&device, &pipes);
    Transfer t(device, pipes.in, true, 1024);
    EXPECT_EQ(STATUS_PENDING, t.Submit());
    EXPECT_FALSE(t.call.Wait(500));
    EXPECT_EQ(1u, device->PendingCount());
    uint64_t pushed = sim::Now100ns();
    model->PushIn("ring");
    ASSERT_TRUE(t.call.Wait(100));
    EXPECT_EQ(STATUS_SUCCESS, t.call.Status());
    EXPECT_EQ("ring", t.Text());
    EXPECT_LE(t.call.Completed().at100ns - pushed, 2 * kMs);
    EXPECT_EQ(0u, device->PendingCount());
  });
}

TEST(UsbBulk, LoopbackEchoesWhatIsWritten) {
  RunClean(7, [] {
    sim::usb::Device *device = sim::usb::Plug();
    Pipes pipes;
    ASSERT_EQ(STATUS_SUCCESS, Configure(device->Pdo(), &pipes));
    Transfer in(device, pipes.in, true, 1024);
    EXPECT_EQ(STATUS_PENDING, in.Submit());
    char text[] = "ATZ\r";
    URB outUrb;
    BuildBulkUrb(&outUrb, pipes.out, false, text, 4);
    EXPECT_EQ(STATUS_SUCCESS, SendUrb(device->Pdo(), &outUrb));
    ASSERT_TRUE(in.call.Wait(100));
    EXPECT_EQ(STATUS_SUCCESS, in.call.Status());
    EXPECT_EQ("ATZ\r", in.Text());
  });
}

// What the stack refuses it refuses inside IofCallDriver, with the real
// status pair, before anything reaches the wire.
TEST(UsbBulk, RefusalsCompleteInsideTheCall) {
  RunClean(8, [] {
    sim::usb::Device *device = sim::usb::Plug();
    Pipes pipes;
    ASSERT_EQ(STATUS_SUCCESS, Configure(device->Pdo(), &pipes, 1024));
    std::vector<uint8_t> data(2048);
    struct Case {
      const char *what;
      USBD_PIPE_HANDLE pipe;
      bool in;
      PVOID buffer;
      ULONG length;
      USHORT headerLength;
      NTSTATUS status;
      USBD_STATUS usbd;
    } cases[] = {
        {"above the pipe's maximum", pipes.out, false, data.data(), 1025, 0, STATUS_INVALID_PARAMETER,
         USBD_STATUS_INVALID_PARAMETER},
        {"IN on the OUT pipe", pipes.out, true, data.data(), 16, 0, STATUS_INVALID_PARAMETER,
         USBD_STATUS_INVALID_PARAMETER},
        {"no buffer", pipes.out, false, nullptr, 16, 0, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER},
        {"another platform's size", pipes.out, false, data.data(), 16,
         USHORT(sizeof(void *) == 4 ? 128 : 72), STATUS_INVALID_PARAMETER,
         USBD_STATUS_INVALID_PARAMETER},
        {"a pipe handle nobody gave", reinterpret_cast<USBD_PIPE_HANDLE>(&data[8]), false, data.data(), 16, 0,
         STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE},
    };
    for (const Case &c : cases) {
      Call call(device->Pdo());
      URB urb;
      BuildBulkUrb(&urb, c.pipe, c.in, c.buffer, c.length);
      if (c.headerLength != 0) urb.UrbHeader.Length = c.headerLength;
      EXPECT_EQ(c.status, call.Submit(&urb)) << c.what;
      EXPECT_TRUE(call.Completed().insideCall) << c.what;
      EXPECT_EQ(c.status, call.Status()) << c.what;
      if (c.headerLength == 0) EXPECT_EQ(c.usbd, urb.UrbHeader.Status) << c.what;
    }
    EXPECT_EQ(0u, device->PendingCount());

    // A handle of an earlier configuration is no handle at all.
    USBD_PIPE_HANDLE stale = pipes.in;
    ASSERT_EQ(STATUS_SUCCESS, Unconfigure(device->Pdo()));
    ASSERT_EQ(STATUS_SUCCESS, Configure(device->Pdo(), &pipes, 1024));
    EXPECT_NE(stale, pipes.in);
    Call call(device->Pdo());
    URB urb;
    BuildBulkUrb(&urb, stale, true, data.data(), 16);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, call.Submit(&urb));
    EXPECT_EQ(USBD_STATUS_INVALID_PIPE_HANDLE, urb.UrbHeader.Status);
  });
}

// A stalled endpoint answers its next transfer with a STALL at the end of the
// frame; after that the halted pipe refuses at once.
TEST(UsbBulk, StallHaltsThePipe) {
  RunClean(9, [] {
    sim::usb::Device *device;
    Pipes pipes;
    PlugScripted(&device, &pipes);
    device->StallPipe(0x01);
    Transfer first(device, pipes.out, false, 10);
    ASSERT_EQ(STATUS_PENDING, first.Submit());
    ASSERT_TRUE(first.call.Wait(100));
    EXPECT_EQ(USBD_STATUS_STALL_PID, first.urb.UrbHeader.Status);
    Transfer second(device, pipes.out, false, 10);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, second.Submit());
    EXPECT_EQ(USBD_STATUS_ENDPOINT_HALTED, second.urb.UrbHeader.Status);
    URB reset;
    BuildResetPipeUrb(&reset, pipes.out);
    ASSERT_EQ(STATUS_SUCCESS, SendUrb(device->Pdo(), &reset));
    Transfer third(device, pipes.out, false, 10);
    ASSERT_EQ(STATUS_PENDING, third.Submit());
    ASSERT_TRUE(third.call.Wait(100));
    EXPECT_EQ(STATUS_SUCCESS, third.call.Status());
  });
}

TEST(UsbBulk, CancelOfAPendingInUnderManySeeds) {
  for (uint64_t seed : testing_support::Seeds()) {
    RunClean(seed, [seed] {
      sim::usb::Device *device = sim::usb::Plug();
      Pipes pipes;
      ASSERT_EQ(STATUS_SUCCESS, Configure(device->Pdo(), &pipes));
      Transfer t(device, pipes.in, true, 1024);
      EXPECT_EQ(STATUS_PENDING, t.Submit()) << "seed " << seed;
      sim::SimThread *canceller = sim::CreateThread("canceller", [&] { t.call.Cancel(); });
      t.call.Wait();
      while (!sim::ThreadFinished(canceller)) Sleep(1);
      EXPECT_EQ(STATUS_CANCELLED, t.call.Status()) << "seed " << seed;
      EXPECT_EQ(USBD_STATUS_CANCELED, t.urb.UrbHeader.Status) << "seed " << seed;
      EXPECT_EQ(0u, device->PendingCount()) << "seed " << seed;
    });
  }
}

// Data arriving and a cancel racing for the same transfer: whichever wins,
// every byte is in the buffer or still with the device, and the IRP is
// completed once. A transfer cancelled on the wire comes back at the end of
// its frame with what the device had already sent.
TEST(UsbBulk, CancelRacingDataUnderManySeeds) {
  for (uint64_t seed : testing_support::Seeds()) {
    RunClean(seed, [seed] {
      auto *model = new sim::usb::ScriptedModel;
      sim::usb::Device *device = sim::usb::Plug(std::unique_ptr<sim::usb::Model>(model));
      Pipes pipes;
      ASSERT_EQ(STATUS_SUCCESS, Configure(device->Pdo(), &pipes));
      Transfer t(device, pipes.in, true, 1024);
      t.Submit();
      sim::SimThread *pusher = sim::CreateThread("pusher", [&] { model->PushIn("abc"); });
      sim::SimThread *canceller = sim::CreateThread("canceller", [&] {
        Sleep(seed % 3 == 0 ? 0 : 16);
        t.call.Cancel();
      });
      t.call.Wait();
      while (!sim::ThreadFinished(pusher) || !sim::ThreadFinished(canceller)) Sleep(1);
      EXPECT_TRUE(t.call.Status() == STATUS_SUCCESS || t.call.Status() == STATUS_CANCELLED) << "seed " << seed;
      EXPECT_EQ(3u, t.Transferred() + model->InLeft()) << "seed " << seed;
      EXPECT_EQ(DISPATCH_LEVEL == t.call.Completed().irql || !t.call.CompletedInSendersThread(), true);
    });
  }
}

}  // namespace

namespace {

// A device that always has data fills every transfer.
TEST(UsbBulk, EndlessDataFillsEveryTransfer) {
  RunClean(10, [] {
    auto *model = new sim::usb::StreamSourceModel;
    sim::usb::Device *device = sim::usb::Plug(std::unique_ptr<sim::usb::Model>(model));
    Pipes pipes;
    ASSERT_EQ(STATUS_SUCCESS, Configure(device->Pdo(), &pipes));
    uint64_t position = 0;
    for (int i = 0; i < 3000; ++i) {
      Transfer t(device, pipes.in, true, 1024);
      ASSERT_EQ(STATUS_PENDING, t.Submit());
      ASSERT_TRUE(t.call.Wait(100)) << "transfer " << i;
      ASSERT_EQ(1024u, t.Transferred()) << "transfer " << i;
      for (ULONG b = 0; b < 1024; ++b) ASSERT_EQ(sim::usb::StreamByte(position + b), t.data[b]) << i;
      position += 1024;
    }
  });
}

}  // namespace
