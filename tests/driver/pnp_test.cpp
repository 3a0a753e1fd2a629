// The Plug and Play requests the device answers itself: capabilities, the
// queries and their cancels, and a removal with requests still in flight.
#include <gtest/gtest.h>

#include "sim/kernel/sim.h"
#include "sim/usb/device.h"
#include "sim/world/bringup.h"
#include "support/driver_fixture.h"
#include "support/driver_irp.h"

using namespace testing_support;

namespace {

NTSTATUS NTAPI KeepIrp(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

}  // namespace

TEST(Pnp, CapabilitiesAddTheRemovalFlagsAndKeepTheBusCopy) {
  RunOnMachine([] {
    sim::usb::DeviceConfig config;
    config.removable = false;
    config.surpriseRemovalOK = false;
    TestDevice dev(sim::usb::Plug(nullptr, config));
    DEVICE_CAPABILITIES caps;
    ASSERT_EQ(STATUS_SUCCESS, sim::world::QueryCapabilities(dev.Fdo(), &caps));
    EXPECT_TRUE(caps.Removable);
    EXPECT_TRUE(caps.SurpriseRemovalOK);
    // The bus cleared SilentInstall after it was set for it; it stays cleared.
    EXPECT_FALSE(caps.SilentInstall);
    const DEVICE_CAPABILITIES &kept = dev.Ext()->DeviceCapabilities;
    EXPECT_FALSE(kept.Removable) << "the stored copy is the bus driver's";
    EXPECT_FALSE(kept.SurpriseRemovalOK);
    EXPECT_EQ(PowerDeviceD0, kept.DeviceState[PowerSystemWorking]);
    EXPECT_EQ(1, dev.Ext()->OutstandingIo);
  });
}

TEST(Pnp, CapabilitiesOfAnUnknownLayoutAreRefusedAndNotPassedDown) {
  RunOnMachine([] {
    TestDevice dev(sim::usb::Plug());
    DEVICE_CAPABILITIES before = dev.Ext()->DeviceCapabilities;
    for (int variant = 0; variant < 2; ++variant) {
      DEVICE_CAPABILITIES caps = {};
      caps.Size = variant == 0 ? sizeof caps - 1 : sizeof caps;
      caps.Version = variant == 0 ? 1 : 0;
      caps.Address = 0xFFFFFFFF;
      PIRP irp = IoAllocateIrp(dev.Fdo()->StackSize, FALSE);
      ASSERT_NE(nullptr, irp);
      irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
      PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
      stack->MajorFunction = IRP_MJ_PNP;
      stack->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
      stack->Parameters.DeviceCapabilities.Capabilities = &caps;
      IoSetCompletionRoutine(irp, KeepIrp, nullptr, TRUE, TRUE, TRUE);
      EXPECT_EQ(STATUS_UNSUCCESSFUL, IofCallDriver(dev.Fdo(), irp)) << "variant " << variant;
      EXPECT_EQ(STATUS_UNSUCCESSFUL, irp->IoStatus.Status);
      EXPECT_EQ(0xFFFFFFFFu, caps.Address) << "the bus never filled it in";
      IoFreeIrp(irp);
    }
    EXPECT_EQ(0, memcmp(&before, &dev.Ext()->DeviceCapabilities, sizeof before));
  });
}

TEST(Pnp, ACancelledQueryRestoresTheStateItFound) {
  struct Case {
    ULONG state;
    UCHAR query, cancel;
    ULONG pending;
  };
  const Case cases[] = {
      {Working, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE, PendingStop},
      {NotStarted, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE, PendingStop},
      {Working, IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, PendingRemove},
  };
  for (const Case &c : cases) {
    RunOnMachine([&c] {
      TestDevice dev(sim::usb::Plug(), c.state);
      EXPECT_EQ(STATUS_SUCCESS, sim::world::SendPnp(dev.Fdo(), c.query));
      EXPECT_EQ(c.pending, dev.Ext()->DeviceState);
      EXPECT_EQ(STATUS_UNSUCCESSFUL, dev.Ioctl(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, 4).status)
          << "requests are refused while a query is pending";
      EXPECT_EQ(STATUS_SUCCESS, sim::world::SendPnp(dev.Fdo(), c.cancel));
      EXPECT_EQ(c.state, dev.Ext()->DeviceState);
      EXPECT_EQ(1, dev.Ext()->OutstandingIo);
    });
  }
}

TEST(Pnp, ACancelWithoutAQueryIsPassedDownAndChangesNothing) {
  RunOnMachine([] {
    TestDevice dev(sim::usb::Plug());
    EXPECT_EQ(STATUS_SUCCESS, sim::world::SendPnp(dev.Fdo(), IRP_MN_CANCEL_STOP_DEVICE));
    EXPECT_EQ(STATUS_SUCCESS, sim::world::SendPnp(dev.Fdo(), IRP_MN_CANCEL_REMOVE_DEVICE));
    EXPECT_EQ(ULONG(Working), dev.Ext()->DeviceState);
    // A request the driver does not handle goes down untouched.
    EXPECT_EQ(STATUS_NOT_SUPPORTED, sim::world::SendPnp(dev.Fdo(), IRP_MN_QUERY_INTERFACE));
    EXPECT_EQ(1, dev.Ext()->OutstandingIo);
  });
}

TEST(Pnp, RemovalEndsQueuedReadsAndThePendingWaitBeforeTheDeviceGoes) {
  RunOnMachine([] {
    TestDevice dev(sim::usb::Plug());
    ULONG mask = SERIAL_EV_RXCHAR;
    ASSERT_TRUE(CompletedWith(dev.Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, 4, 0), STATUS_SUCCESS, 0));
    AsyncIoctl wait;
    ASSERT_EQ(STATUS_PENDING, wait.StartWaitOnMask(dev.Fdo()));
    DriverIrp read;
    ASSERT_EQ(STATUS_PENDING, read.Read(dev.Fdo(), 16));
    // Without a query first, which would wait for both.
    dev.Remove(false);
    EXPECT_TRUE(WaitEndsWith(wait, 0, 0));
    ASSERT_TRUE(read.Wait(0));
    EXPECT_EQ(STATUS_CANCELLED, read.Status());
    EXPECT_EQ(0u, read.Information());
  });
}

// A resource rebalance while the port is open: the query ends the pending
// wait (it would hold the query forever), and the start that follows the
// stop configures the device anew and gives the port back its interface and
// its reader.
TEST(Pnp, StopAndStartWithThePortOpen) {
  RunOnMachineForEachSeed([](uint64_t seed) {
    sim::usb::Device *bus = sim::usb::Plug();
    TestDevice dev(bus);
    DriverIrp open;
    open.Simple(dev.Fdo(), IRP_MJ_CREATE);
    ASSERT_TRUE(open.Wait(5000));
    ASSERT_EQ(STATUS_SUCCESS, open.Status());
    ULONG mask = SERIAL_EV_RXCHAR;
    ASSERT_TRUE(CompletedWith(dev.Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, 4, 0), STATUS_SUCCESS, 0));
    AsyncIoctl wait;
    ASSERT_EQ(STATUS_PENDING, wait.StartWaitOnMask(dev.Fdo()));

    EXPECT_EQ(STATUS_SUCCESS, sim::world::SendPnp(dev.Fdo(), IRP_MN_QUERY_STOP_DEVICE)) << "seed " << seed;
    EXPECT_TRUE(WaitEndsWith(wait, 0, 0));
    EXPECT_EQ(PendingStop, dev.Ext()->DeviceState);
    EXPECT_EQ(STATUS_SUCCESS, sim::world::SendPnp(dev.Fdo(), IRP_MN_STOP_DEVICE));
    EXPECT_EQ(nullptr, dev.Ext()->ReaderThread);
    EXPECT_EQ(nullptr, dev.Ext()->InterfaceInfo);
    EXPECT_TRUE(sim::EnabledDeviceInterfaces(GUID_DEVINTERFACE_COMPORT).empty());
    uint32_t configured = bus->Count(sim::usb::RequestKind::SelectConfiguration);

    EXPECT_EQ(STATUS_SUCCESS, sim::world::SendPnp(dev.Fdo(), IRP_MN_START_DEVICE));
    EXPECT_EQ(Working, dev.Ext()->DeviceState);
    EXPECT_EQ(configured + 1, bus->Count(sim::usb::RequestKind::SelectConfiguration));
    EXPECT_NE(nullptr, dev.Ext()->InterfaceInfo);
    EXPECT_EQ(1u, sim::EnabledDeviceInterfaces(GUID_DEVINTERFACE_COMPORT).size());
    EXPECT_NE(nullptr, dev.Ext()->ReaderThread) << "seed " << seed << ": the open port receives again";

    DriverIrp cleanup, close;
    cleanup.Simple(dev.Fdo(), IRP_MJ_CLEANUP);
    ASSERT_TRUE(cleanup.Wait(5000));
    close.Simple(dev.Fdo(), IRP_MJ_CLOSE);
    ASSERT_TRUE(close.Wait(5000));
  });
}

// Between the removal's state change and the device's deletion, power
// requests are refused without reaching the bus.
TEST(Pnp, PowerRequestsAfterRemovalAreRefused) {
  RunOnMachine([] {
    sim::usb::Device *bus = sim::usb::Plug();
    TestDevice dev(bus);
    ULONG state = dev.Ext()->DeviceState;
    dev.Ext()->DeviceState = Removed;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    struct Outcome {
      KEVENT *done;
      NTSTATUS status;
    } outcome = {&done, STATUS_PENDING};
    PREQUEST_POWER_COMPLETE callback = [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK io) NTAPI {
      Outcome *o = static_cast<Outcome *>(context);
      o->status = io->Status;
      KeSetEvent(o->done, IO_NO_INCREMENT, FALSE);
    };
    ASSERT_EQ(STATUS_PENDING, PoRequestPowerIrp(bus->Pdo(), IRP_MN_SET_POWER, d3, callback, &outcome, nullptr));
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(STATUS_DELETE_PENDING, outcome.status);
    EXPECT_EQ(PowerDeviceD0, bus->PowerState()) << "the bus never saw it";
    EXPECT_EQ(1, dev.Ext()->OutstandingIo);
    dev.Ext()->DeviceState = state;
  });
}

// The bus may finish the start and the capabilities query later, from a DPC:
// the driver waits for each answer before it uses it.
TEST(Pnp, StartAndCapabilitiesTheBusAnswersLater) {
  RunOnMachine([] {
    sim::usb::Device *bus = sim::usb::Plug();
    sim::usb::PnpAnswer later;
    later.pend = true;
    bus->SetPnpAnswer(sim::usb::PnpRequest::Start, later);
    bus->SetPnpAnswer(sim::usb::PnpRequest::QueryCapabilities, later);
    TestDevice dev(bus, NotStarted);
    EXPECT_EQ(STATUS_SUCCESS, sim::world::SendPnp(dev.Fdo(), IRP_MN_START_DEVICE));
    EXPECT_EQ(ULONG(Working), dev.Ext()->DeviceState);
    EXPECT_TRUE(bus->Configured()) << "configured only after the bus had started";
    DEVICE_CAPABILITIES caps;
    ASSERT_EQ(STATUS_SUCCESS, sim::world::QueryCapabilities(dev.Fdo(), &caps));
    EXPECT_EQ(PowerDeviceD0, dev.Ext()->DeviceCapabilities.DeviceState[PowerSystemWorking]);
    EXPECT_EQ(1, dev.Ext()->OutstandingIo);
  });
}
