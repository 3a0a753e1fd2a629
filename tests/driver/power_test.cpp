// The device's power policy over a modem of the simulated bus: system
// requests mapped through the bus's table, the reader stopped before the
// device leaves D0 and started at D0, the wake-capable modem's refusals and
// its wait-wake cycle.
#include <gtest/gtest.h>

#include "sim/kernel/pool.h"
#include "sim/usb/descriptors.h"
#include "sim/usb/device.h"
#include "sim/world/bringup.h"
#include "support/driver_fixture.h"
#include "support/driver_irp.h"

using namespace testing_support;

namespace {

NTSTATUS NTAPI SignalPowerDone(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// A power IRP as the power manager builds it, sent to the top of the stack;
// returns its final status.
NTSTATUS SendPower(PDEVICE_OBJECT top, UCHAR minor, POWER_STATE_TYPE type, ULONG state) {
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_POWER;
  stack->MinorFunction = minor;
  stack->Parameters.Power.Type = type;
  if (type == SystemPowerState) {
    stack->Parameters.Power.State.SystemState = static_cast<SYSTEM_POWER_STATE>(state);
    stack->Parameters.Power.ShutdownType = PowerActionSleep;
  } else {
    stack->Parameters.Power.State.DeviceState = static_cast<DEVICE_POWER_STATE>(state);
  }
  IoSetCompletionRoutine(irp, SignalPowerDone, &done, TRUE, TRUE, TRUE);
  PoCallDriver(top, irp);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return status;
}

NTSTATUS SetSystem(PDEVICE_OBJECT fdo, SYSTEM_POWER_STATE s) {
  return SendPower(fdo, IRP_MN_SET_POWER, SystemPowerState, s);
}
NTSTATUS QuerySystem(PDEVICE_OBJECT fdo, SYSTEM_POWER_STATE s) {
  return SendPower(fdo, IRP_MN_QUERY_POWER, SystemPowerState, s);
}
NTSTATUS SetDevice(PDEVICE_OBJECT fdo, DEVICE_POWER_STATE d) {
  return SendPower(fdo, IRP_MN_SET_POWER, DevicePowerState, d);
}
NTSTATUS QueryDevice(PDEVICE_OBJECT fdo, DEVICE_POWER_STATE d) {
  return SendPower(fdo, IRP_MN_QUERY_POWER, DevicePowerState, d);
}

// A started modem with its capabilities taken, as after the PnP manager's
// query that follows the start.
struct PoweredModem {
  explicit PoweredModem(const sim::usb::DeviceConfig &config = sim::usb::DeviceConfig())
      : bus(sim::usb::Plug(nullptr, config)), dev(bus) {
    DEVICE_CAPABILITIES caps;
    EXPECT_EQ(STATUS_SUCCESS, sim::world::QueryCapabilities(dev.Fdo(), &caps));
  }
  void Open() { ASSERT_EQ(STATUS_SUCCESS, Request(IRP_MJ_CREATE)); }
  void Close() {
    EXPECT_EQ(STATUS_SUCCESS, Request(IRP_MJ_CLEANUP));
    EXPECT_EQ(STATUS_SUCCESS, Request(IRP_MJ_CLOSE));
  }
  NTSTATUS Request(UCHAR major) {
    DriverIrp irp;
    irp.Simple(dev.Fdo(), major);
    EXPECT_TRUE(irp.Wait(5000));
    return irp.Status();
  }
  // The references held once a status poll in flight has ended.
  LONG References() {
    dev.WaitStatusPollsIdle();
    return dev.Ext()->OutstandingIo;
  }
  bool ReaderRunning() const { return dev.Ext()->ReaderThread != nullptr; }
  // Lets a power-up's worker and the reader's first transfer get going.
  void Settle() { SleepMs(100); }

  sim::usb::Device *bus;
  TestDevice dev;
};

sim::usb::DeviceConfig NotWakeCapable() {
  sim::usb::DeviceConfig config;
  config.configurationDescriptor = sim::usb::ModemConfiguration(0x80);
  return config;
}

}  // namespace

TEST(Power, SleepAndResumeWithThePortOpenStopAndRestartTheReader) {
  RunOnMachineForEachSeed([](uint64_t seed) {
    PoweredModem m(NotWakeCapable());
    m.Open();
    ASSERT_TRUE(m.ReaderRunning());

    ASSERT_EQ(STATUS_SUCCESS, QuerySystem(m.dev.Fdo(), PowerSystemSleeping3)) << "seed " << seed;
    EXPECT_FALSE(m.ReaderRunning()) << "a query for a lower level stops the reader already";
    EXPECT_EQ(PowerSystemWorking, m.dev.Ext()->SystemPowerState) << "a query records nothing";
    EXPECT_EQ(PowerDeviceD0, m.dev.Ext()->DevicePowerState);

    ASSERT_EQ(STATUS_SUCCESS, SetSystem(m.dev.Fdo(), PowerSystemSleeping3)) << "seed " << seed;
    EXPECT_EQ(PowerSystemSleeping3, m.dev.Ext()->SystemPowerState);
    EXPECT_EQ(PowerDeviceD2, m.dev.Ext()->DevicePowerState) << "DeviceState[S3] of the bus's table";
    EXPECT_EQ(PowerDeviceD2, m.bus->PowerState());
    EXPECT_EQ(0u, m.bus->PendingCount()) << "nothing was left on the wire of a suspended port";

    ASSERT_EQ(STATUS_SUCCESS, SetSystem(m.dev.Fdo(), PowerSystemWorking)) << "seed " << seed;
    m.Settle();
    EXPECT_EQ(PowerDeviceD0, m.dev.Ext()->DevicePowerState);
    EXPECT_EQ(PowerDeviceD0, m.bus->PowerState());
    EXPECT_TRUE(m.ReaderRunning()) << "seed " << seed;
    EXPECT_EQ(1u, m.bus->PendingCount()) << "the reader's transfer is on the wire again";
    m.Close();
  });
}

TEST(Power, WithThePortClosedPowerRequestsPassThrough) {
  RunOnMachine([] {
    PoweredModem m(NotWakeCapable());
    m.Open();
    m.Close();
    ASSERT_EQ(NotStarted, m.dev.Ext()->DeviceState);
    ASSERT_EQ(STATUS_SUCCESS, SetSystem(m.dev.Fdo(), PowerSystemSleeping3));
    EXPECT_EQ(PowerSystemWorking, m.dev.Ext()->SystemPowerState);
    EXPECT_EQ(PowerDeviceD0, m.bus->PowerState()) << "no device request was made";
    ASSERT_EQ(STATUS_SUCCESS, SetDevice(m.dev.Fdo(), PowerDeviceD3));
    EXPECT_EQ(PowerDeviceD0, m.dev.Ext()->DevicePowerState) << "the driver's record is frozen";
    EXPECT_EQ(PowerDeviceD3, m.bus->PowerState());
    ASSERT_EQ(STATUS_SUCCESS, SetDevice(m.dev.Fdo(), PowerDeviceD0));
    EXPECT_EQ(1, m.References());
  });
}

TEST(Power, DeviceTransitionsBelowD0AndBack) {
  RunOnMachine([] {
    PoweredModem m(NotWakeCapable());
    m.Open();
    PDEVICE_EXTENSION ext = m.dev.Ext();

    ASSERT_EQ(STATUS_SUCCESS, SetDevice(m.dev.Fdo(), PowerDeviceD2));
    EXPECT_EQ(PowerDeviceD2, ext->DevicePowerState);
    EXPECT_FALSE(m.ReaderRunning());
    // Lower again from below D0: no worker, nothing about the reader.
    ASSERT_EQ(STATUS_SUCCESS, SetDevice(m.dev.Fdo(), PowerDeviceD3));
    EXPECT_EQ(PowerDeviceD3, ext->DevicePowerState);
    // Towards D0 but not to it: recorded, reader still stopped.
    ASSERT_EQ(STATUS_SUCCESS, SetDevice(m.dev.Fdo(), PowerDeviceD2));
    m.Settle();
    EXPECT_EQ(PowerDeviceD2, ext->DevicePowerState);
    EXPECT_FALSE(m.ReaderRunning()) << "only D0 starts the reader";
    // The same state again is passed down and recorded again.
    ASSERT_EQ(STATUS_SUCCESS, SetDevice(m.dev.Fdo(), PowerDeviceD2));
    EXPECT_EQ(PowerDeviceD2, ext->DevicePowerState);

    // A failed power-up leaves the state and the stopped reader as they were.
    m.bus->FailPower(sim::usb::PowerRequest::SetDevice, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(STATUS_DEVICE_NOT_READY, SetDevice(m.dev.Fdo(), PowerDeviceD0));
    m.Settle();
    EXPECT_EQ(PowerDeviceD2, ext->DevicePowerState);
    EXPECT_FALSE(m.ReaderRunning());
    m.bus->FailPower(sim::usb::PowerRequest::SetDevice, STATUS_SUCCESS);

    ASSERT_EQ(STATUS_SUCCESS, SetDevice(m.dev.Fdo(), PowerDeviceD0));
    m.Settle();
    EXPECT_EQ(PowerDeviceD0, ext->DevicePowerState);
    EXPECT_TRUE(m.ReaderRunning());

    // A query for the current level takes the power-down path: the reader
    // stops and stays stopped until the next return to D0.
    ASSERT_EQ(STATUS_SUCCESS, QueryDevice(m.dev.Fdo(), PowerDeviceD0));
    EXPECT_FALSE(m.ReaderRunning());
    EXPECT_EQ(PowerDeviceD0, ext->DevicePowerState);
    ASSERT_EQ(STATUS_SUCCESS, SetDevice(m.dev.Fdo(), PowerDeviceD2));
    ASSERT_EQ(STATUS_SUCCESS, SetDevice(m.dev.Fdo(), PowerDeviceD0));
    m.Settle();
    EXPECT_TRUE(m.ReaderRunning());
    EXPECT_EQ(1, m.References());
    m.Close();
  });
}

TEST(Power, FailuresLeaveTheRecordedStatesAlone) {
  RunOnMachine([] {
    PoweredModem m(NotWakeCapable());
    m.Open();
    PDEVICE_EXTENSION ext = m.dev.Ext();

    m.bus->FailPower(sim::usb::PowerRequest::SetSystem, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SetSystem(m.dev.Fdo(), PowerSystemSleeping1));
    EXPECT_EQ(PowerSystemWorking, ext->SystemPowerState);
    EXPECT_EQ(PowerDeviceD0, m.bus->PowerState()) << "no device request after a refused system request";
    EXPECT_TRUE(m.ReaderRunning());
    m.bus->FailPower(sim::usb::PowerRequest::SetSystem, STATUS_SUCCESS);

    // The device request for the system request fails: the system request
    // carries its status; the reader stopped for it stays stopped.
    m.bus->FailPower(sim::usb::PowerRequest::SetDevice, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(STATUS_DEVICE_NOT_READY, SetSystem(m.dev.Fdo(), PowerSystemSleeping1));
    EXPECT_EQ(PowerSystemSleeping1, ext->SystemPowerState);
    EXPECT_EQ(PowerDeviceD0, ext->DevicePowerState);
    EXPECT_FALSE(m.ReaderRunning());
    m.bus->FailPower(sim::usb::PowerRequest::SetDevice, STATUS_SUCCESS);

    // No memory for the power-down's work: refused, the reader keeps running.
    ASSERT_EQ(STATUS_SUCCESS, SetSystem(m.dev.Fdo(), PowerSystemWorking));
    m.Settle();
    ASSERT_TRUE(m.ReaderRunning());
    sim::pool::FailNth(1);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, SetDevice(m.dev.Fdo(), PowerDeviceD3));
    EXPECT_TRUE(m.ReaderRunning());
    EXPECT_EQ(PowerDeviceD0, m.bus->PowerState());
    EXPECT_EQ(1, m.References());
    m.Close();
  });
}

TEST(Power, AWakeCapableModemRefusesStatesItCannotWakeFrom) {
  RunOnMachine([] {
    PoweredModem m;  // remote wakeup: SystemWake S3, DeviceWake D2
    m.Open();
    ASSERT_EQ(1u, m.dev.Ext()->WakeSupported);
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, QuerySystem(m.dev.Fdo(), PowerSystemHibernate));
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, QueryDevice(m.dev.Fdo(), PowerDeviceD3));
    EXPECT_EQ(0, m.dev.Ext()->WaitWakePending);
    EXPECT_TRUE(m.ReaderRunning()) << "a refused query stops nothing";
    m.Close();
  });
  RunOnMachine([] {
    PoweredModem m(NotWakeCapable());
    m.Open();
    EXPECT_EQ(STATUS_SUCCESS, QuerySystem(m.dev.Fdo(), PowerSystemHibernate)) << "passed down";
    EXPECT_EQ(0, m.dev.Ext()->WaitWakePending);
    ASSERT_EQ(STATUS_SUCCESS, SetDevice(m.dev.Fdo(), PowerDeviceD0));
    m.Settle();
    m.Close();
  });
}

TEST(Power, TheWakeIsArmedBeforeSleepAndTheModemWakesTheDevice) {
  RunOnMachineForEachSeed([](uint64_t seed) {
    PoweredModem m;
    m.Open();
    PDEVICE_EXTENSION ext = m.dev.Ext();
    ASSERT_EQ(STATUS_SUCCESS, QuerySystem(m.dev.Fdo(), PowerSystemSleeping3)) << "seed " << seed;
    EXPECT_EQ(1, ext->WaitWakePending);
    EXPECT_NE(nullptr, ext->WaitWakeIrp);
    // A second query while the request is out arms nothing more.
    ASSERT_EQ(STATUS_SUCCESS, QuerySystem(m.dev.Fdo(), PowerSystemSleeping1));
    EXPECT_EQ(1, ext->WaitWakePending);
    ASSERT_EQ(STATUS_SUCCESS, SetSystem(m.dev.Fdo(), PowerSystemSleeping3));
    ASSERT_EQ(PowerDeviceD2, ext->DevicePowerState);

    ASSERT_TRUE(m.bus->SignalWake());
    SleepMs(100);
    EXPECT_EQ(PowerDeviceD0, ext->DevicePowerState) << "seed " << seed << ": the wake asked for D0";
    EXPECT_EQ(PowerDeviceD0, m.bus->PowerState());
    EXPECT_TRUE(m.ReaderRunning());
    EXPECT_EQ(1, ext->WaitWakePending) << "armed again at once";
    EXPECT_EQ(1, m.References()) << "the D0 request gave its reference back";

    ASSERT_EQ(STATUS_SUCCESS, SetSystem(m.dev.Fdo(), PowerSystemWorking));
    m.Close();
  });
}

TEST(Power, AVetoedSleepBringsTheReaderBack) {
  RunOnMachineForEachSeed([](uint64_t seed) {
    PoweredModem m(NotWakeCapable());
    m.Open();
    // Another device refused the sleep after ours agreed: the power manager
    // sends the working state, which maps to the D0 the device never left.
    ASSERT_EQ(STATUS_SUCCESS, QuerySystem(m.dev.Fdo(), PowerSystemSleeping3)) << "seed " << seed;
    ASSERT_FALSE(m.ReaderRunning());
    ASSERT_EQ(STATUS_SUCCESS, SetSystem(m.dev.Fdo(), PowerSystemWorking)) << "seed " << seed;
    m.Settle();
    EXPECT_TRUE(m.ReaderRunning()) << "seed " << seed;
    EXPECT_EQ(PowerDeviceD0, m.dev.Ext()->DevicePowerState);

    // No memory for the return to D0's work item: refused before the bus
    // sees it, nothing recorded.
    ASSERT_EQ(STATUS_SUCCESS, SetDevice(m.dev.Fdo(), PowerDeviceD3));
    sim::pool::FailNth(1);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, SetDevice(m.dev.Fdo(), PowerDeviceD0));
    EXPECT_EQ(PowerDeviceD3, m.dev.Ext()->DevicePowerState);
    EXPECT_EQ(PowerDeviceD3, m.bus->PowerState());
    ASSERT_EQ(STATUS_SUCCESS, SetDevice(m.dev.Fdo(), PowerDeviceD0));
    m.Settle();
    EXPECT_TRUE(m.ReaderRunning());
    EXPECT_EQ(1, m.References());
    m.Close();
  });
}
