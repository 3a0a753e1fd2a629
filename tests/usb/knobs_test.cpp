// The device's knobs: latency, no answer, injected failures, partial OUT, unplug.
#include <set>

#include "support/seeds.h"
#include "usb/usb_harness.h"

using namespace usbtest;
using sim::usb::RequestKind;

namespace {

TEST(UsbKnobs, LatencyDelaysTheAnswer) {
  RunClean(1, [] {
    auto *model = new sim::usb::ScriptedModel;
    sim::usb::Device *device = sim::usb::Plug(std::unique_ptr<sim::usb::Model>(model));
    device->SetLatencyMs(RequestKind::GetStatus, 150);
    model->SetStatus(0x01);
    uint8_t status = 0;
    URB urb;
    BuildVendorUrb(&urb, true, 2, 0, &status, 1);
    Call call(device->Pdo());
    uint64_t start = sim::NowMs();
    EXPECT_EQ(STATUS_PENDING, call.Submit(&urb));
    model->SetStatus(0x02);  // the device answers with what it has when it answers
    EXPECT_FALSE(call.Wait(100));
    ASSERT_TRUE(call.Wait(100));
    EXPECT_EQ(STATUS_SUCCESS, call.Status());
    EXPECT_EQ(0x02, status);
    EXPECT_GE(sim::NowMs() - start, 150u);
  });
}

TEST(UsbKnobs, NoAnswerStaysPendingUntilCancelled) {
  RunClean(2, [] {
    auto *model = new sim::usb::ScriptedModel;
    sim::usb::Device *device = sim::usb::Plug(std::unique_ptr<sim::usb::Model>(model));
    device->SetNoAnswer(RequestKind::SetDtr, true);
    URB urb;
    BuildVendorUrb(&urb, false, 1, 1, nullptr, 0);
    Call call(device->Pdo());
    EXPECT_EQ(STATUS_PENDING, call.Submit(&urb));
    EXPECT_FALSE(call.Wait(5000));
    call.Cancel();
    ASSERT_TRUE(call.Wait(0));
    EXPECT_EQ(STATUS_CANCELLED, call.Status());
    EXPECT_EQ(USBD_STATUS_CANCELED, urb.UrbHeader.Status);
    EXPECT_TRUE(model->DtrRequests().empty());
    auto log = device->Log();
    EXPECT_EQ(STATUS_CANCELLED, log.back().status);
  });
}

TEST(UsbKnobs, NoAnswerNthHoldsOnlyThatRequest) {
  RunClean(2, [] {
    auto *model = new sim::usb::ScriptedModel;
    sim::usb::Device *device = sim::usb::Plug(std::unique_ptr<sim::usb::Model>(model));
    device->NoAnswerNth(RequestKind::SetDtr, 2);
    URB first, second, third;
    BuildVendorUrb(&first, false, 1, 1, nullptr, 0);
    BuildVendorUrb(&second, false, 1, 0, nullptr, 0);
    BuildVendorUrb(&third, false, 1, 1, nullptr, 0);
    Call a(device->Pdo()), b(device->Pdo()), c(device->Pdo());
    a.Submit(&first);
    ASSERT_TRUE(a.Wait(100));
    EXPECT_EQ(STATUS_PENDING, b.Submit(&second));
    c.Submit(&third);
    ASSERT_TRUE(c.Wait(100)) << "the next one is answered";
    EXPECT_EQ(STATUS_SUCCESS, c.Status());
    EXPECT_FALSE(b.Wait(5000));
    b.Cancel();
    ASSERT_TRUE(b.Wait(0));
    EXPECT_EQ(STATUS_CANCELLED, b.Status());
  });
}

TEST(UsbKnobs, FailNthFailsOnlyThatRequest) {
  RunClean(3, [] {
    sim::usb::Device *device = sim::usb::Plug();
    URB urb;
    uint8_t status;
    BuildVendorUrb(&urb, true, 2, 0, &status, 1);
    EXPECT_EQ(STATUS_SUCCESS, SendUrb(device->Pdo(), &urb));
    device->FailNth(RequestKind::GetStatus, 2, STATUS_IO_TIMEOUT);
    for (int i = 1; i <= 3; ++i) {
      BuildVendorUrb(&urb, true, 2, 0, &status, 1);
      NTSTATUS result = SendUrb(device->Pdo(), &urb);
      if (i == 2) {
        EXPECT_EQ(STATUS_IO_TIMEOUT, result);
        EXPECT_EQ(USBD_STATUS_DEV_NOT_RESPONDING, urb.UrbHeader.Status);
        EXPECT_EQ(0u, urb.UrbControlVendorClassRequest.TransferBufferLength);
      } else {
        EXPECT_EQ(STATUS_SUCCESS, result) << i;
      }
    }
  });
}

TEST(UsbKnobs, PartialOutReportsTheBytesTaken) {
  RunClean(4, [] {
    auto *model = new sim::usb::ScriptedModel;
    sim::usb::Device *device = sim::usb::Plug(std::unique_ptr<sim::usb::Model>(model));
    Pipes pipes;
    ASSERT_EQ(STATUS_SUCCESS, Configure(device->Pdo(), &pipes));
    device->SetBulkOutLimit(10);
    std::string text(100, 'q');
    URB urb;
    BuildBulkUrb(&urb, pipes.out, false, &text[0], 100);
    EXPECT_EQ(STATUS_SUCCESS, SendUrb(device->Pdo(), &urb));
    EXPECT_EQ(10u, urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
    EXPECT_EQ(std::string(10, 'q'), model->Written());
    device->ClearBulkOutLimit();
    BuildBulkUrb(&urb, pipes.out, false, &text[0], 100);
    EXPECT_EQ(STATUS_SUCCESS, SendUrb(device->Pdo(), &urb));
    EXPECT_EQ(100u, urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
  });
}

// What is on the wire when the device goes dies with transaction errors at
// the end of the frame and halts its pipe; what comes later is refused at
// once; the hub tells the Plug and Play manager 10-300 ms later.
TEST(UsbKnobs, UnplugAtASchedulePointUnplugsThereAndFailsTheTransfer) {
  for (uint64_t seed : testing_support::Seeds()) {
    RunClean(seed, [seed] {
      sim::usb::Device *device = sim::usb::Plug();
      Pipes pipes;
      ASSERT_EQ(STATUS_SUCCESS, Configure(device->Pdo(), &pipes));
      std::vector<uint8_t> in(1024);
      URB inUrb;
      BuildBulkUrb(&inUrb, pipes.in, true, in.data(), 1024);
      Call inCall(device->Pdo());
      device->UnplugAtSchedulePoint(3);
      EXPECT_FALSE(device->Unplugged()) << "unplugged before its point";
      inCall.Submit(&inUrb);
      for (int i = 0; i < 3; ++i) sim::SchedulePoint();
      EXPECT_TRUE(device->Unplugged()) << "seed " << seed;
      ASSERT_TRUE(inCall.Wait(10)) << "seed " << seed;
      EXPECT_FALSE(NT_SUCCESS(inCall.Status())) << "seed " << seed;
      EXPECT_EQ(0u, inUrb.UrbBulkOrInterruptTransfer.TransferBufferLength);
    });
  }
}

TEST(UsbKnobs, UnplugFailsWhatIsInFlightAndRefusesTheRest) {
  for (uint64_t seed : testing_support::Seeds()) {
    RunClean(seed, [seed] {
      sim::usb::Device *device = sim::usb::Plug();
      Pipes pipes;
      ASSERT_EQ(STATUS_SUCCESS, Configure(device->Pdo(), &pipes));
      device->SetNoAnswer(RequestKind::GetStatus, true);
      std::vector<uint8_t> in(1024);
      URB inUrb, statusUrb;
      uint8_t status;
      BuildBulkUrb(&inUrb, pipes.in, true, in.data(), 1024);
      BuildVendorUrb(&statusUrb, true, 2, 0, &status, 1);
      Call inCall(device->Pdo()), statusCall(device->Pdo());
      EXPECT_EQ(STATUS_PENDING, inCall.Submit(&inUrb));
      EXPECT_EQ(STATUS_PENDING, statusCall.Submit(&statusUrb));
      Sleep(50);
      uint64_t unplugged = sim::NowMs();
      device->Unplug();
      EXPECT_FALSE(inCall.Done()) << "failed in the unplugger's thread";
      ASSERT_TRUE(inCall.Wait(10));
      ASSERT_TRUE(statusCall.Wait(10));
      EXPECT_EQ(STATUS_UNSUCCESSFUL, inCall.Status()) << "seed " << seed;
      EXPECT_EQ(USBD_STATUS_XACT_ERROR, inUrb.UrbHeader.Status);
      EXPECT_EQ(0u, inUrb.UrbBulkOrInterruptTransfer.TransferBufferLength);
      EXPECT_EQ(DISPATCH_LEVEL, inCall.Completed().irql);
      EXPECT_EQ(USBD_STATUS_XACT_ERROR, statusUrb.UrbHeader.Status);

      Call later(device->Pdo());
      URB urb;
      BuildVendorUrb(&urb, false, 1, 1, nullptr, 0);
      EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, later.Submit(&urb));
      EXPECT_TRUE(later.Completed().insideCall);
      uint8_t data[4] = {};
      BuildBulkUrb(&urb, pipes.out, false, data, 4);
      EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, SendUrb(device->Pdo(), &urb));
      EXPECT_EQ(USBD_STATUS_DEVICE_GONE, urb.UrbHeader.Status);
      EXPECT_NE(nullptr, device->Pdo());  // the PDO stays until removal
      EXPECT_EQ(0u, device->PendingCount());

      // Nothing above the PDO: the surprise removal reaches the PDO itself.
      EXPECT_TRUE(device->GoneNoticeDue());
      while (!device->SurpriseRemoved() && sim::NowMs() < unplugged + 1000) Sleep(1);
      EXPECT_TRUE(device->SurpriseRemoved()) << "seed " << seed;
      uint64_t noticed = sim::NowMs() - unplugged;
      EXPECT_GE(noticed, 10u) << "seed " << seed;
      EXPECT_LE(noticed, 320u) << "seed " << seed;  // up to a tick of the waiter's sleep on top
      EXPECT_FALSE(device->GoneNoticeDue());
    });
  }
}

// With the knob, transfers in flight stay pending after an unplug until
// they are cancelled, as some host controllers leave them.
TEST(UsbKnobs, UnplugCanLeaveTransfersPendingUntilCancelled) {
  RunClean(6, [] {
    sim::usb::Device *device = sim::usb::Plug();
    Pipes pipes;
    ASSERT_EQ(STATUS_SUCCESS, Configure(device->Pdo(), &pipes));
    device->SetPendOnUnplug(true);
    std::vector<uint8_t> in(1024);
    URB urb;
    BuildBulkUrb(&urb, pipes.in, true, in.data(), 1024);
    Call call(device->Pdo());
    EXPECT_EQ(STATUS_PENDING, call.Submit(&urb));
    device->Unplug();
    EXPECT_FALSE(call.Wait(500));
    call.Cancel();
    ASSERT_TRUE(call.Wait(10));
    EXPECT_EQ(STATUS_CANCELLED, call.Status());
    EXPECT_EQ(USBD_STATUS_CANCELED, urb.UrbHeader.Status);
  });
}

// The seeded choice of when the hub notices differs between seeds.
TEST(UsbKnobs, TheHubNoticesAnUnplugAtASeededTime) {
  std::set<uint64_t> delays;
  for (uint64_t seed = 1; seed <= 8; ++seed) {
    RunClean(seed, [&] {
      sim::usb::Device *device = sim::usb::Plug();
      uint64_t unplugged = sim::Now100ns();
      device->Unplug();
      while (!device->SurpriseRemoved()) Sleep(1);
      delays.insert((sim::Now100ns() - unplugged) / 10000 / 16);
    });
  }
  EXPECT_GE(delays.size(), 3u);
}

}  // namespace

namespace {

// Tests and the world may turn knobs between runs, while nothing runs.
TEST(UsbKnobs, KnobsWorkWhileTheMachineIsIdle) {
  sim::KernelOptions options = sim::KernelOptions::FromEnvironment();
  sim::Kernel kernel(options);
  sim::usb::ScriptedModel *model = nullptr;
  sim::usb::Device *device = nullptr;
  std::unique_ptr<Call> call;
  std::vector<uint8_t> in(1024);
  URB urb;
  kernel.Run([&] {
    model = new sim::usb::ScriptedModel;
    device = sim::usb::Plug(std::unique_ptr<sim::usb::Model>(model));
    Pipes pipes;
    ASSERT_EQ(STATUS_SUCCESS, Configure(device->Pdo(), &pipes));
    BuildBulkUrb(&urb, pipes.in, true, in.data(), 1024);
    call.reset(new Call(device->Pdo()));
    EXPECT_EQ(STATUS_PENDING, call->Submit(&urb));
  });
  model->PushIn("idle");
  EXPECT_EQ(1u, device->PendingCount());
  kernel.Advance(20);
  kernel.Run([&] {
    EXPECT_TRUE(call->Done());
    EXPECT_EQ(4u, urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
    call.reset();
  });
  kernel.Shutdown();
  EXPECT_TRUE(kernel.Faults().empty()) << FaultText(kernel.Faults());
}

}  // namespace
