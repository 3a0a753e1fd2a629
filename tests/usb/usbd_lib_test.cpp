// The USBD library routines on good and malformed descriptors.
#include "usb/usb_harness.h"

using namespace usbtest;
using sim::usb::Bytes;

namespace {

PUSB_CONFIGURATION_DESCRIPTOR AsConfig(Bytes &b) { return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(b.data()); }

TEST(UsbdLibrary, ParsersStayInsideTheDescriptor) {
  RunClean(1, [] {
    Bytes good = sim::usb::Configuration(
        0xA0, sim::usb::Concat({sim::usb::InterfaceDescriptor(0, 0, 1), {5, 0x24, 0, 0, 0},
                                sim::usb::EndpointDescriptor(0x81), sim::usb::InterfaceDescriptor(1, 0, 0, 2)}));
    PUSB_CONFIGURATION_DESCRIPTOR config = AsConfig(good);
    PUSB_INTERFACE_DESCRIPTOR first = USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1);
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(good.data() + 9, reinterpret_cast<uint8_t *>(first));
    PUSB_INTERFACE_DESCRIPTOR second = USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, 2, -1, -1);
    ASSERT_NE(nullptr, second);
    EXPECT_EQ(1, second->bInterfaceNumber);
    EXPECT_EQ(nullptr, USBD_ParseConfigurationDescriptorEx(config, config, 3, -1, -1, -1, -1));
    PUSB_COMMON_DESCRIPTOR ep = USBD_ParseDescriptors(config, config->wTotalLength, first, USB_ENDPOINT_DESCRIPTOR_TYPE);
    ASSERT_NE(nullptr, ep);
    EXPECT_EQ(0x81, reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(ep)->bEndpointAddress);

    // A zero bLength would loop for ever; an entry running past the end is not returned.
    Bytes zero = sim::usb::Configuration(0x80, {9, 4, 0, 0, 0, 0, 0, 0, 0, 0, 5});
    EXPECT_EQ(nullptr, USBD_ParseDescriptors(AsConfig(zero), ULONG(zero.size()), zero.data() + 18, 5));
    Bytes truncated = sim::usb::Configuration(0x80, {9, 4, 0, 0, 2, 0, 0, 0, 0, 7, 5, 1, 2});
    EXPECT_EQ(nullptr, USBD_ParseDescriptors(AsConfig(truncated), ULONG(truncated.size()), truncated.data(), 5));
    // wTotalLength shorter than the interface: it is not found.
    Bytes shortTotal = sim::usb::Configuration(0x80, sim::usb::InterfaceDescriptor(0, 0, 0), 12);
    EXPECT_EQ(nullptr, USBD_ParseConfigurationDescriptorEx(AsConfig(shortTotal), AsConfig(shortTotal), -1, -1, -1, -1, -1));
    // A start outside the buffer finds nothing.
    EXPECT_EQ(nullptr, USBD_ParseDescriptors(config, config->wTotalLength, good.data() + good.size() + 4, 4));
  });
}

TEST(UsbdLibrary, CreateConfigurationRequestLaysOutEachInterface) {
  RunClean(2, [] {
    Bytes two = sim::usb::Configuration(
        0xA0, sim::usb::Concat({sim::usb::InterfaceDescriptor(0, 0, 2), sim::usb::EndpointDescriptor(0x01),
                                sim::usb::EndpointDescriptor(0x81), sim::usb::InterfaceDescriptor(1, 0, 3),
                                sim::usb::EndpointDescriptor(0x02), sim::usb::EndpointDescriptor(0x82),
                                sim::usb::EndpointDescriptor(0x83, 3)}));
    PUSB_CONFIGURATION_DESCRIPTOR config = AsConfig(two);
    USBD_INTERFACE_LIST_ENTRY list[3] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(config, config, 0, -1, -1, -1, -1);
    list[1].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(config, config, 1, -1, -1, -1, -1);
    PURB urb = USBD_CreateConfigurationRequestEx(config, list);
    ASSERT_NE(nullptr, urb);
    EXPECT_EQ(URB_FUNCTION_SELECT_CONFIGURATION, urb->UrbHeader.Function);
    EXPECT_EQ(GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 5), urb->UrbHeader.Length);
    EXPECT_EQ(config, urb->UrbSelectConfiguration.ConfigurationDescriptor);
    EXPECT_EQ(&urb->UrbSelectConfiguration.Interface, list[0].Interface);
    EXPECT_EQ(GET_USBD_INTERFACE_SIZE(2), list[0].Interface->Length);
    EXPECT_EQ(reinterpret_cast<uint8_t *>(list[0].Interface) + list[0].Interface->Length,
              reinterpret_cast<uint8_t *>(list[1].Interface));
    EXPECT_EQ(GET_USBD_INTERFACE_SIZE(3), list[1].Interface->Length);
    EXPECT_EQ(1, list[1].Interface->InterfaceNumber);
    EXPECT_EQ(3u, list[1].Interface->NumberOfPipes);
    EXPECT_EQ(USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE, list[1].Interface->Pipes[2].MaximumTransferSize);

    // The bus accepts what the routine built and opens all five pipes.
    sim::usb::DeviceConfig dc;
    dc.configurationDescriptor = two;
    sim::usb::Device *device = sim::usb::Plug(nullptr, dc);
    EXPECT_EQ(STATUS_SUCCESS, SendUrb(device->Pdo(), urb));
    EXPECT_NE(nullptr, device->PipeHandle(0x83));
    EXPECT_EQ(UsbdPipeTypeInterrupt, list[1].Interface->Pipes[2].PipeType);
    ExFreePool(urb);

    USBD_INTERFACE_LIST_ENTRY empty[1] = {};
    EXPECT_EQ(nullptr, USBD_CreateConfigurationRequestEx(config, empty));
    Bytes outside = sim::usb::InterfaceDescriptor(0, 0, 2);
    USBD_INTERFACE_LIST_ENTRY stray[2] = {};
    stray[0].InterfaceDescriptor = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(outside.data());
    EXPECT_EQ(nullptr, USBD_CreateConfigurationRequestEx(config, stray));
  });
}

}  // namespace
