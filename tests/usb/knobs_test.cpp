// The device's knobs: latency, no answer, injected failures, partial OUT, unplug.
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

TEST(UsbKnobs, UnplugFailsPendingAndLaterRequests) {
  RunClean(5, [] {
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
    device->Unplug();
    inCall.Wait();
    statusCall.Wait();
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, inCall.Status());
    EXPECT_EQ(USBD_STATUS_DEVICE_GONE, inUrb.UrbHeader.Status);
    EXPECT_EQ(0u, inUrb.UrbBulkOrInterruptTransfer.TransferBufferLength);
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, statusCall.Status());

    URB urb;
    BuildVendorUrb(&urb, false, 1, 1, nullptr, 0);
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, SendUrb(device->Pdo(), &urb));
    uint8_t data[4] = {};
    BuildBulkUrb(&urb, pipes.out, false, data, 4);
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, SendUrb(device->Pdo(), &urb));
    EXPECT_EQ(USBD_STATUS_DEVICE_GONE, urb.UrbHeader.Status);
    EXPECT_NE(nullptr, device->Pdo());  // the PDO stays until removal
    EXPECT_EQ(0u, device->PendingCount());
  });
}

// A reader that resubmits at once after each failure still lets time pass:
// failed bulk transfers are answered at a frame boundary, never inline.
TEST(UsbKnobs, FailedBulkTransfersAreAnsweredOnTheFrameClock) {
  RunClean(6, [] {
    sim::usb::Device *device = sim::usb::Plug();
    Pipes pipes;
    ASSERT_EQ(STATUS_SUCCESS, Configure(device->Pdo(), &pipes));
    device->Unplug();
    std::vector<uint8_t> in(1024);
    uint64_t start = sim::Now100ns();
    for (int i = 0; i < 3; ++i) {
      URB urb;
      BuildBulkUrb(&urb, pipes.in, true, in.data(), 1024);
      Call call(device->Pdo());
      EXPECT_EQ(STATUS_PENDING, call.Submit(&urb));
      call.Wait();
    }
    EXPECT_GT(sim::Now100ns(), start);
  });
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
