// The driver's configuration at start against the simulated bus: the one
// supported shape, what it records, and descriptors that are truncated,
// looping or lying about their length, every read kept inside the bytes
// that arrived.
#include <gtest/gtest.h>

#include "sim/kernel/sim.h"
#include "sim/usb/descriptors.h"
#include "sim/usb/device.h"
#include "support/driver_fixture.h"
#include "usb/configuration.h"

using namespace testing_support;
using sim::usb::Bytes;
using sim::usb::Concat;
using sim::usb::Configuration;
using sim::usb::EndpointDescriptor;
using sim::usb::InterfaceDescriptor;

namespace {

struct Outcome {
  NTSTATUS status;
  ULONG wake;
  bool pipesFromThisStart;
};

// Configures our device over a modem whose configuration descriptor is `config`.
Outcome ConfigureWith(const Bytes &config) {
  Outcome o = {STATUS_PENDING, 2, false};
  RunOnMachine([&] {
    sim::usb::DeviceConfig dc;
    dc.configurationDescriptor = config;
    sim::usb::Device *bus = sim::usb::Plug(nullptr, dc);
    TestDevice dev(bus, NotStarted);
    PDEVICE_EXTENSION ext = dev.Ext();
    USBD_PIPE_HANDLE before = ext->BulkInPipe;
    ext->WakeSupported = 2;
    o.status = ConfigureDevice(dev.Fdo());
    o.wake = ext->WakeSupported;
    o.pipesFromThisStart = ext->BulkInPipe != before && ext->BulkInPipe == bus->PipeHandle(0x81) &&
                           ext->BulkOutPipe == bus->PipeHandle(0x01);
    if (NT_SUCCESS(o.status)) {
      ASSERT_NE(ext->InterfaceInfo, nullptr);
      EXPECT_EQ(ext->InterfaceInfo->NumberOfPipes, 2u);
      EXPECT_EQ(ext->InterfaceInfo->Pipes[0].MaximumTransferSize, 1024u);
    }
    if (ext->InterfaceInfo != nullptr) {
      ExFreePool(ext->InterfaceInfo);
      ext->InterfaceInfo = nullptr;
    }
  });
  return o;
}

const Bytes kOut = EndpointDescriptor(0x01);
const Bytes kIn = EndpointDescriptor(0x81);
const Bytes kClassSpecific = {5, 0x24, 0, 0x10, 0x01};

TEST(Configuration, TheOneShapeIsSelectedAndRecorded) {
  Outcome good = ConfigureWith(sim::usb::ModemConfiguration(0xA0));
  EXPECT_EQ(good.status, STATUS_SUCCESS);
  EXPECT_EQ(good.wake, 1u);
  EXPECT_TRUE(good.pipesFromThisStart);
  EXPECT_EQ(ConfigureWith(sim::usb::ModemConfiguration(0x80)).wake, 0u);
  // A descriptor between the interface and its first endpoint is skipped;
  // only the first of several interfaces is looked at.
  EXPECT_EQ(ConfigureWith(Configuration(0x80, Concat({InterfaceDescriptor(0, 0, 2), kClassSpecific, kOut, kIn})))
                .status,
            STATUS_SUCCESS);
  EXPECT_EQ(ConfigureWith(Configuration(0x80, Concat({InterfaceDescriptor(0, 0, 2), kOut, kIn,
                                                      InterfaceDescriptor(1, 0, 1), EndpointDescriptor(0x82, 3)})))
                .status,
            STATUS_SUCCESS);
}

TEST(Configuration, EveryOtherShapeIsAConfigurationError) {
  struct Case {
    const char *what;
    Bytes config;
  } cases[] = {
      {"endpoints in the other order", Configuration(0xA0, Concat({InterfaceDescriptor(0, 0, 2), kIn, kOut}))},
      {"a descriptor between the endpoints",
       Configuration(0xA0, Concat({InterfaceDescriptor(0, 0, 2), kOut, kClassSpecific, kIn}))},
      {"512-byte packets", Configuration(0xA0, Concat({InterfaceDescriptor(0, 0, 2), kOut, EndpointDescriptor(0x81, 2, 512)}))},
      {"an interrupt endpoint", Configuration(0xA0, Concat({InterfaceDescriptor(0, 0, 2), EndpointDescriptor(0x01, 3), kIn}))},
      {"three endpoints", Configuration(0xA0, Concat({InterfaceDescriptor(0, 0, 3), kOut, kIn, EndpointDescriptor(0x82)}))},
      {"no interface at all", Configuration(0xA0, Concat({kOut, kIn}))},
      {"nothing after the header", Configuration(0xA0, {})},
      {"the second endpoint cut short", Configuration(0xA0, Concat({InterfaceDescriptor(0, 0, 2), kOut, Bytes{7, 5, 0x81}}))},
      {"wTotalLength claiming more than the device has",
       Configuration(0xA0, Concat({InterfaceDescriptor(0, 0, 2), kOut}), 300)},
      {"wTotalLength claiming less than the descriptors",
       Configuration(0xA0, Concat({InterfaceDescriptor(0, 0, 2), kOut, kIn}), 9 + 9 + 7)},
      {"a descriptor of length 0 before the endpoints",
       Configuration(0xA0, Concat({InterfaceDescriptor(0, 0, 2), Bytes{0, 0x24, 0, 0}, kOut, kIn}))},
      {"wTotalLength below the header's own size", Configuration(0xA0, Concat({InterfaceDescriptor(0, 0, 2), kOut, kIn}), 4)},
      {"wTotalLength of 0", Configuration(0xA0, Concat({InterfaceDescriptor(0, 0, 2), kOut, kIn}), 0)},
  };
  for (const Case &c : cases) {
    Outcome o = ConfigureWith(c.config);
    EXPECT_EQ(o.status, STATUS_DEVICE_CONFIGURATION_ERROR) << c.what;
    EXPECT_FALSE(o.pipesFromThisStart) << c.what;
  }
}

// The wake bit is recorded from the descriptor even when the shape fails.
TEST(Configuration, WakeIsRecordedBeforeTheShapeCheck) {
  EXPECT_EQ(ConfigureWith(Configuration(0xA0, Concat({InterfaceDescriptor(0, 0, 2), kIn, kOut}))).wake, 1u);
}

// A header that arrives short (the device answers fewer than 9 bytes).
TEST(Configuration, AShortHeaderIsRefused) {
  Bytes tiny = {9, 2, 32};  // the device has only three bytes to give
  Outcome o = ConfigureWith(tiny);
  EXPECT_EQ(o.status, STATUS_DEVICE_CONFIGURATION_ERROR);
  EXPECT_EQ(o.wake, 2u) << "nothing was recorded from bytes that never came";
}

}  // namespace
