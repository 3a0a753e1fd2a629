// Bulk transfers: full-speed frame timing, short packets, waiting for data, cancellation.
#include "support/seeds.h"
#include "usb/usb_harness.h"

using namespace usbtest;
using sim::usb::RequestKind;

namespace {

constexpr uint64_t kMs = 10000;

uint64_t NextFrame(uint64_t t) { return (t + kMs - 1) / kMs * kMs; }

sim::usb::ScriptedModel *PlugScripted(sim::usb::Device **device, Pipes *pipes) {
  auto *model = new sim::usb::ScriptedModel;
  *device = sim::usb::Plug(std::unique_ptr<sim::usb::Model>(model));
  EXPECT_EQ(STATUS_SUCCESS, Configure((*device)->Pdo(), pipes, 1 << 20));
  return model;
}

// A 1024-byte transfer on the IN pipe, sent as a Call of its own.
struct InTransfer {
  std::vector<uint8_t> in = std::vector<uint8_t>(1024);
  URB urb;
  Call call;

  InTransfer(sim::usb::Device *device, const Pipes &pipes) : call(device->Pdo()) {
    BuildBulkUrb(&urb, pipes.in, true, in.data(), 1024);
  }
  NTSTATUS Submit() { return call.Submit(&urb); }
  ULONG Transferred() const { return urb.UrbBulkOrInterruptTransfer.TransferBufferLength; }
};

TEST(UsbBulk, OutTakesOneFramePer19Packets) {
  RunClean(1, [] {
    sim::usb::Device *device;
    Pipes pipes;
    sim::usb::ScriptedModel *model = PlugScripted(&device, &pipes);
    std::vector<uint8_t> data(24321, 'x');
    const struct { ULONG bytes; uint64_t frames; } cases[] = {
        {1024, 1}, {3000, 3}, {1216, 1}, {1217, 2}, {24320, 20}, {24321, 21}, {0, 1}};
    size_t written = 0;
    for (const auto &c : cases) {
      URB urb;
      BuildBulkUrb(&urb, pipes.out, false, data.data(), c.bytes);
      ASSERT_EQ(STATUS_SUCCESS, SendUrb(device->Pdo(), &urb));
      EXPECT_EQ(c.bytes, urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
      sim::usb::LogEntry e = device->Log().back();
      EXPECT_EQ(NextFrame(e.submit100ns) + c.frames * kMs, e.due100ns) << c.bytes << " bytes";
      EXPECT_GE(e.completeMs * kMs + kMs, e.due100ns);  // answered no earlier than its frames
      written += c.bytes;
    }
    EXPECT_EQ(written, model->Written().size());
  });
}

TEST(UsbBulk, TransfersInFlightTogetherShareTheFrames) {
  RunClean(2, [] {
    sim::usb::Device *device;
    Pipes pipes;
    sim::usb::ScriptedModel *model = PlugScripted(&device, &pipes);
    model->PushIn(std::string(640, 'i'));  // 10 packets
    std::vector<uint8_t> out(640, 'o'), in(1024);
    URB outUrb, inUrb;
    BuildBulkUrb(&outUrb, pipes.out, false, out.data(), 640);
    BuildBulkUrb(&inUrb, pipes.in, true, in.data(), 1024);
    Call outCall(device->Pdo()), inCall(device->Pdo());
    EXPECT_EQ(STATUS_PENDING, outCall.Submit(&outUrb));
    EXPECT_EQ(STATUS_PENDING, inCall.Submit(&inUrb));
    outCall.Wait();
    inCall.Wait();
    auto log = device->Log();
    const sim::usb::LogEntry &o = log[log.size() - 2], &i = log.back();
    // 10 + 10 packets: the second transfer spills into the next frame.
    EXPECT_EQ(NextFrame(o.submit100ns) + kMs, o.due100ns);
    EXPECT_EQ(NextFrame(o.submit100ns) + 2 * kMs, i.due100ns);
    EXPECT_EQ(640u, inUrb.UrbBulkOrInterruptTransfer.TransferBufferLength);
  });
}

TEST(UsbBulk, ShortPacketEndsAnInTransfer) {
  RunClean(3, [] {
    sim::usb::Device *device;
    Pipes pipes;
    sim::usb::ScriptedModel *model = PlugScripted(&device, &pipes);
    model->PushIn("hello");
    std::vector<uint8_t> in(1024, 0);
    URB urb;
    BuildBulkUrb(&urb, pipes.in, true, in.data(), 1024);
    EXPECT_EQ(STATUS_SUCCESS, SendUrb(device->Pdo(), &urb));
    EXPECT_EQ(5u, urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
    EXPECT_EQ("hello", std::string(in.begin(), in.begin() + 5));
    EXPECT_EQ(0, in[5]);

    // More than one transfer holds: the rest waits for the next.
    model->PushIn(std::string(1500, 'z'));
    BuildBulkUrb(&urb, pipes.in, true, in.data(), 1024);
    EXPECT_EQ(STATUS_SUCCESS, SendUrb(device->Pdo(), &urb));
    EXPECT_EQ(1024u, urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
    EXPECT_EQ(476u, model->InLeft());

    // Without USBD_SHORT_TRANSFER_OK a short reply is an error, data delivered.
    BuildBulkUrb(&urb, pipes.in, true, in.data(), 1024);
    urb.UrbBulkOrInterruptTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SendUrb(device->Pdo(), &urb));
    EXPECT_EQ(USBD_STATUS_ERROR_SHORT_TRANSFER, urb.UrbHeader.Status);
    EXPECT_EQ(476u, urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
  });
}

TEST(UsbBulk, PendingInCompletesWhenDataArrives) {
  RunClean(4, [] {
    sim::usb::Device *device;
    Pipes pipes;
    sim::usb::ScriptedModel *model = PlugScripted(&device, &pipes);
    InTransfer t(device, pipes);
    EXPECT_EQ(STATUS_PENDING, t.Submit());
    EXPECT_FALSE(t.call.Wait(500));
    EXPECT_EQ(1u, device->PendingCount());
    uint64_t pushed = sim::Now100ns();
    model->PushIn("ring");
    ASSERT_TRUE(t.call.Wait(100));
    EXPECT_EQ(STATUS_SUCCESS, t.call.Status());
    EXPECT_EQ(4u, t.Transferred());
    EXPECT_EQ(NextFrame(pushed) + kMs, device->Log().back().due100ns);
    EXPECT_EQ(0u, device->PendingCount());
  });
}

TEST(UsbBulk, LoopbackEchoesWhatIsWritten) {
  RunClean(5, [] {
    sim::usb::Device *device = sim::usb::Plug();
    Pipes pipes;
    ASSERT_EQ(STATUS_SUCCESS, Configure(device->Pdo(), &pipes));
    InTransfer t(device, pipes);
    EXPECT_EQ(STATUS_PENDING, t.Submit());
    char text[] = "ATZ\r";
    URB outUrb;
    BuildBulkUrb(&outUrb, pipes.out, false, text, 4);
    EXPECT_EQ(STATUS_SUCCESS, SendUrb(device->Pdo(), &outUrb));
    t.call.Wait();
    EXPECT_EQ(STATUS_SUCCESS, t.call.Status());
    EXPECT_EQ("ATZ\r", std::string(t.in.begin(), t.in.begin() + t.Transferred()));
  });
}

TEST(UsbBulk, TransferRulesOfThePipe) {
  RunClean(6, [] {
    sim::usb::Device *device = sim::usb::Plug();
    Pipes pipes;
    ASSERT_EQ(STATUS_SUCCESS, Configure(device->Pdo(), &pipes, 1024));
    std::vector<uint8_t> data(2048);
    URB urb;
    BuildBulkUrb(&urb, pipes.out, false, data.data(), 1025);  // above the pipe's maximum
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SendUrb(device->Pdo(), &urb));
    EXPECT_EQ(USBD_STATUS_INVALID_PARAMETER, urb.UrbHeader.Status);
    BuildBulkUrb(&urb, pipes.out, true, data.data(), 16);  // IN on the OUT pipe
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SendUrb(device->Pdo(), &urb));
    BuildBulkUrb(&urb, pipes.out, false, nullptr, 16);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SendUrb(device->Pdo(), &urb));
    BuildBulkUrb(&urb, pipes.out, false, data.data(), 16);
    urb.UrbHeader.Length = 72;  // the 32-bit size
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SendUrb(device->Pdo(), &urb));
    EXPECT_EQ(4u, device->Count(RequestKind::BulkOut) + device->Count(RequestKind::BulkIn));
  });
}

TEST(UsbBulk, CancelOfAPendingInUnderManySeeds) {
  for (uint64_t seed : testing_support::Seeds()) {
    RunClean(seed, [seed] {
      sim::usb::Device *device = sim::usb::Plug();
      Pipes pipes;
      ASSERT_EQ(STATUS_SUCCESS, Configure(device->Pdo(), &pipes));
      InTransfer t(device, pipes);
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
// no byte is lost or delivered twice and the IRP is completed once.
TEST(UsbBulk, CancelRacingDataUnderManySeeds) {
  for (uint64_t seed : testing_support::Seeds()) {
    RunClean(seed, [seed] {
      auto *model = new sim::usb::ScriptedModel;
      sim::usb::Device *device = sim::usb::Plug(std::unique_ptr<sim::usb::Model>(model));
      Pipes pipes;
      ASSERT_EQ(STATUS_SUCCESS, Configure(device->Pdo(), &pipes));
      InTransfer t(device, pipes);
      t.Submit();
      sim::SimThread *pusher = sim::CreateThread("pusher", [&] { model->PushIn("abc"); });
      sim::SimThread *canceller = sim::CreateThread("canceller", [&] {
        Sleep(seed % 3 == 0 ? 0 : 16);
        t.call.Cancel();
      });
      t.call.Wait();
      while (!sim::ThreadFinished(pusher) || !sim::ThreadFinished(canceller)) Sleep(1);
      size_t got = NT_SUCCESS(t.call.Status()) ? t.Transferred() : 0;
      EXPECT_TRUE(t.call.Status() == STATUS_SUCCESS || t.call.Status() == STATUS_CANCELLED) << "seed " << seed;
      EXPECT_EQ(3u, got + model->InLeft()) << "seed " << seed;
    });
  }
}

}  // namespace
