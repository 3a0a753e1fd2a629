// Descriptor, configuration, pipe-reset and vendor requests.
#include <set>

#include "usb/usb_harness.h"

using namespace usbtest;
using sim::usb::RequestKind;

namespace {

// A control transfer is pended and answered from the host controller's DPC
// at the end of the first, second or third frame, as the seed decides (a
// property of the spread of seeds: its own eight, whatever seed the run names).
TEST(UsbControl, ControlTransfersTakeOneToThreeFramesFromTheDpc) {
  std::set<uint64_t> frameCounts;
  for (uint64_t seed = 1; seed <= 8; ++seed) {
    RunClean(seed, [&] {
      sim::usb::Device *device = sim::usb::Plug();
      for (int i = 0; i < 4; ++i) {
        UCHAR buffer[18];
        URB urb;
        BuildDescriptorUrb(&urb, USB_DEVICE_DESCRIPTOR_TYPE, buffer, sizeof buffer);
        Call call(device->Pdo());
        uint64_t sent = sim::Now100ns();
        ASSERT_EQ(STATUS_PENDING, call.Submit(&urb)) << "seed " << seed;
        ASSERT_TRUE(call.Wait(10));
        EXPECT_EQ(STATUS_SUCCESS, call.Status());
        EXPECT_EQ(DISPATCH_LEVEL, call.Completed().irql);
        EXPECT_FALSE(call.CompletedInSendersThread());
        uint64_t due = device->Log().back().due100ns;
        EXPECT_EQ(0u, due % 10000);
        uint64_t frames = due / 10000 - sent / 10000;
        EXPECT_GE(frames, 1u);
        EXPECT_LE(frames, 3u);
        frameCounts.insert(frames);
      }
      // The knob fixes it.
      device->SetControlFrames(2, 2);
      UCHAR buffer[18];
      URB urb;
      BuildDescriptorUrb(&urb, USB_DEVICE_DESCRIPTOR_TYPE, buffer, sizeof buffer);
      uint64_t sent = sim::Now100ns();
      ASSERT_EQ(STATUS_SUCCESS, SendUrb(device->Pdo(), &urb));
      EXPECT_EQ(2u, device->Log().back().due100ns / 10000 - sent / 10000);
    });
  }
  EXPECT_EQ(3u, frameCounts.size()) << "the seeds did not vary the frames";
}

TEST(UsbControl, DescriptorsAreCopiedUpToWhatTheDeviceHas) {
  RunClean(1, [] {
    sim::usb::DeviceConfig config;
    config.configurationDescriptor = sim::usb::Configuration(0x80, {4, 0x24, 1, 2}, 300);  // claims 300 bytes
    sim::usb::Device *device = sim::usb::Plug(nullptr, config);
    PDEVICE_OBJECT pdo = device->Pdo();
    URB urb;
    uint8_t buffer[400];
    memset(buffer, 0xEE, sizeof buffer);
    BuildDescriptorUrb(&urb, USB_DEVICE_DESCRIPTOR_TYPE, buffer, 18);
    EXPECT_EQ(STATUS_SUCCESS, SendBuiltUrb(pdo, &urb));
    EXPECT_EQ(18u, urb.UrbControlDescriptorRequest.TransferBufferLength);
    EXPECT_EQ(sim::usb::ModemDeviceDescriptor(), std::vector<uint8_t>(buffer, buffer + 18));
    EXPECT_EQ(USBD_STATUS_SUCCESS, urb.UrbHeader.Status);

    memset(buffer, 0xEE, sizeof buffer);
    BuildDescriptorUrb(&urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, buffer, 300);
    EXPECT_EQ(STATUS_SUCCESS, SendUrb(pdo, &urb));
    EXPECT_EQ(13u, urb.UrbControlDescriptorRequest.TransferBufferLength);
    EXPECT_EQ(300, buffer[2] | (buffer[3] << 8));
    EXPECT_EQ(0xEE, buffer[13]);  // nothing written past what was delivered

    BuildDescriptorUrb(&urb, USB_STRING_DESCRIPTOR_TYPE, buffer, 4);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SendUrb(pdo, &urb));
    EXPECT_EQ(USBD_STATUS_STALL_PID, urb.UrbHeader.Status);
    EXPECT_EQ(0u, urb.UrbControlDescriptorRequest.TransferBufferLength);

    BuildDescriptorUrb(&urb, USB_DEVICE_DESCRIPTOR_TYPE, buffer, 18);
    urb.UrbHeader.Length = sizeof(void *) == 4 ? 136 : 80;  // another platform's size: not this structure
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SendUrb(pdo, &urb));
    EXPECT_EQ(USBD_STATUS_INVALID_PARAMETER, urb.UrbHeader.Status);

    auto log = device->Log();
    ASSERT_EQ(4u, log.size());
    EXPECT_EQ(RequestKind::GetDescriptor, log[0].kind);
    EXPECT_EQ(1, log[0].value);
    EXPECT_EQ(2, log[1].value);
    EXPECT_EQ(13u, log[1].transferred);
  });
}

TEST(UsbControl, SelectConfigurationFillsPipesAndUnconfigureInvalidatesThem) {
  RunClean(2, [] {
    sim::usb::Device *device = sim::usb::Plug();
    PDEVICE_OBJECT pdo = device->Pdo();
    EXPECT_FALSE(device->Configured());
    Pipes pipes;
    ASSERT_EQ(STATUS_SUCCESS, Configure(pdo, &pipes, 1024));
    EXPECT_TRUE(device->Configured());
    ASSERT_NE(nullptr, pipes.out);
    ASSERT_NE(nullptr, pipes.in);
    EXPECT_NE(pipes.out, pipes.in);
    EXPECT_EQ(pipes.out, device->PipeHandle(0x01));
    EXPECT_EQ(pipes.in, device->PipeHandle(0x81));

    // Each configuration opens pipes of its own: the old handles are dead.
    Pipes again;
    ASSERT_EQ(STATUS_SUCCESS, Configure(pdo, &again, 1024));
    EXPECT_NE(pipes.out, again.out);
    EXPECT_NE(pipes.in, again.in);
    URB stale;
    BuildResetPipeUrb(&stale, pipes.out);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SendUrb(pdo, &stale));
    EXPECT_EQ(USBD_STATUS_INVALID_PIPE_HANDLE, stale.UrbHeader.Status);
    pipes = again;

    EXPECT_EQ(STATUS_SUCCESS, Unconfigure(pdo));
    EXPECT_FALSE(device->Configured());
    EXPECT_EQ(nullptr, device->PipeHandle(0x01));
    URB urb;
    BuildResetPipeUrb(&urb, pipes.out);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SendUrb(pdo, &urb));
    EXPECT_EQ(USBD_STATUS_INVALID_PIPE_HANDLE, urb.UrbHeader.Status);
    uint8_t data[8] = {};
    BuildBulkUrb(&urb, pipes.out, false, data, 8);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SendUrb(pdo, &urb));
    EXPECT_EQ(USBD_STATUS_INVALID_PIPE_HANDLE, urb.UrbHeader.Status);

    auto log = device->Log();
    EXPECT_EQ(0, log[log.size() - 3].value);  // the unconfigure
    EXPECT_EQ(RequestKind::SelectConfiguration, log[log.size() - 3].kind);
  });
}

TEST(UsbControl, SelectConfigurationReportsThePipesOfTheDescriptor) {
  RunClean(3, [] {
    sim::usb::Device *device = sim::usb::Plug();
    std::vector<uint8_t> config = sim::usb::ModemConfiguration(0xA0);
    PUSB_CONFIGURATION_DESCRIPTOR descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, -1, -1, -1, -1, -1);
    PURB select = USBD_CreateConfigurationRequestEx(descriptor, list);
    ASSERT_NE(nullptr, select);
    PUSBD_INTERFACE_INFORMATION info = list[0].Interface;
    info->Pipes[0].MaximumTransferSize = 1024;
    ASSERT_EQ(STATUS_SUCCESS, SendUrb(device->Pdo(), select));
    EXPECT_NE(nullptr, select->UrbSelectConfiguration.ConfigurationHandle);
    EXPECT_NE(nullptr, info->InterfaceHandle);
    ASSERT_EQ(2u, info->NumberOfPipes);
    EXPECT_EQ(0x01, info->Pipes[0].EndpointAddress);
    EXPECT_EQ(0x81, info->Pipes[1].EndpointAddress);
    EXPECT_EQ(64, info->Pipes[0].MaximumPacketSize);
    EXPECT_EQ(UsbdPipeTypeBulk, info->Pipes[1].PipeType);
    EXPECT_EQ(1024u, info->Pipes[0].MaximumTransferSize);  // the driver's choice stays
    EXPECT_EQ(USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE, info->Pipes[1].MaximumTransferSize);
    EXPECT_EQ(0xFF, info->Class);

    // A request not laid out by USBD_CreateConfigurationRequestEx is refused.
    info->Length = USHORT(info->Length - sizeof(USBD_PIPE_INFORMATION));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SendUrb(device->Pdo(), select));
    EXPECT_EQ(USBD_STATUS_INVALID_PARAMETER, select->UrbHeader.Status);
    ExFreePool(select);
  });
}

TEST(UsbControl, ResetPipeClearsAStall) {
  RunClean(4, [] {
    sim::usb::Device *device = sim::usb::Plug();
    PDEVICE_OBJECT pdo = device->Pdo();
    Pipes pipes;
    ASSERT_EQ(STATUS_SUCCESS, Configure(pdo, &pipes));
    device->StallPipe(0x01);
    URB urb;
    uint8_t data[10] = {1, 2, 3};
    BuildBulkUrb(&urb, pipes.out, false, data, 10);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SendUrb(pdo, &urb));
    EXPECT_EQ(USBD_STATUS_STALL_PID, urb.UrbHeader.Status);
    BuildBulkUrb(&urb, pipes.out, false, data, 10);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SendUrb(pdo, &urb));
    EXPECT_EQ(USBD_STATUS_ENDPOINT_HALTED, urb.UrbHeader.Status);
    EXPECT_EQ(0u, urb.UrbBulkOrInterruptTransfer.TransferBufferLength);

    BuildResetPipeUrb(&urb, pipes.out);
    EXPECT_EQ(STATUS_SUCCESS, SendBuiltUrb(pdo, &urb));
    BuildBulkUrb(&urb, pipes.out, false, data, 10);
    EXPECT_EQ(STATUS_SUCCESS, SendUrb(pdo, &urb));
    EXPECT_EQ(10u, urb.UrbBulkOrInterruptTransfer.TransferBufferLength);

    int bogus = 0;
    BuildResetPipeUrb(&urb, &bogus);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SendUrb(pdo, &urb));
    EXPECT_EQ(USBD_STATUS_INVALID_PIPE_HANDLE, urb.UrbHeader.Status);
  });
}

TEST(UsbControl, VendorRequestsReachTheModel) {
  RunClean(5, [] {
    auto *model = new sim::usb::ScriptedModel;
    sim::usb::Device *device = sim::usb::Plug(std::unique_ptr<sim::usb::Model>(model));
    PDEVICE_OBJECT pdo = device->Pdo();
    URB urb;
    BuildVendorUrb(&urb, false, 1, 0, nullptr, 0);
    EXPECT_EQ(STATUS_SUCCESS, SendUrb(pdo, &urb));
    BuildVendorUrb(&urb, false, 1, 1, nullptr, 0);
    EXPECT_EQ(STATUS_SUCCESS, SendBuiltUrb(pdo, &urb));
    EXPECT_EQ((std::vector<bool>{false, true}), model->DtrRequests());

    model->SetStatus(0x03);
    uint8_t status = 0xEE;
    BuildVendorUrb(&urb, true, 2, 0, &status, 1);
    EXPECT_EQ(STATUS_SUCCESS, SendUrb(pdo, &urb));
    EXPECT_EQ(0x03, status);
    EXPECT_EQ(1u, urb.UrbControlVendorClassRequest.TransferBufferLength);

    device->SetStatusReplyLength(0);
    status = 0xEE;
    BuildVendorUrb(&urb, true, 2, 0, &status, 1);
    EXPECT_EQ(STATUS_SUCCESS, SendUrb(pdo, &urb));
    EXPECT_EQ(0u, urb.UrbControlVendorClassRequest.TransferBufferLength);
    EXPECT_EQ(0xEE, status);

    BuildVendorUrb(&urb, false, 7, 0, nullptr, 0);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SendUrb(pdo, &urb));
    EXPECT_EQ(USBD_STATUS_STALL_PID, urb.UrbHeader.Status);

    device->StallVendorRequest(1, true);
    BuildVendorUrb(&urb, false, 1, 1, nullptr, 0);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SendUrb(pdo, &urb));
    EXPECT_EQ(2u, model->DtrRequests().size());  // a stalled request changes nothing
    device->StallVendorRequest(1, false);
    BuildVendorUrb(&urb, false, 1, 1, nullptr, 0);
    EXPECT_EQ(STATUS_SUCCESS, SendUrb(pdo, &urb));

    EXPECT_EQ(4u, device->Count(RequestKind::SetDtr));
    EXPECT_EQ(2u, device->Count(RequestKind::GetStatus));
    EXPECT_EQ(1u, device->Count(RequestKind::VendorOther));
  });
}

// The order of URBs as the port's open sends them can be read back from the log.
TEST(UsbControl, LogKeepsTheOrderOfRequests) {
  RunClean(6, [] {
    sim::usb::Device *device = sim::usb::Plug();
    PDEVICE_OBJECT pdo = device->Pdo();
    Pipes pipes;
    ASSERT_EQ(STATUS_SUCCESS, Configure(pdo, &pipes));
    URB urb;
    BuildResetPipeUrb(&urb, pipes.out);
    SendUrb(pdo, &urb);
    BuildResetPipeUrb(&urb, pipes.in);
    SendUrb(pdo, &urb);
    BuildVendorUrb(&urb, false, 1, 0, nullptr, 0);
    SendUrb(pdo, &urb);
    BuildVendorUrb(&urb, false, 1, 1, nullptr, 0);
    SendUrb(pdo, &urb);
    auto log = device->Log();
    ASSERT_EQ(7u, log.size());
    EXPECT_EQ(RequestKind::ResetPipe, log[3].kind);
    EXPECT_EQ(0x01, log[3].endpoint);
    EXPECT_EQ(RequestKind::ResetPipe, log[4].kind);
    EXPECT_EQ(0x81, log[4].endpoint);
    EXPECT_EQ(RequestKind::SetDtr, log[5].kind);
    EXPECT_EQ(0, log[5].value);
    EXPECT_EQ(RequestKind::SetDtr, log[6].kind);
    EXPECT_EQ(1, log[6].value);
  });
}

}  // namespace
