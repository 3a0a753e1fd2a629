// The PDO's Plug and Play and power answers.
#include "usb/usb_harness.h"

using namespace usbtest;

namespace {

DEVICE_CAPABILITIES QueryCapabilities(PDEVICE_OBJECT pdo) {
  DEVICE_CAPABILITIES caps = {};
  caps.Size = sizeof caps;
  caps.Version = 1;
  caps.Address = caps.UINumber = ULONG(-1);
  Call call(pdo);
  call.SubmitPnp(IRP_MN_QUERY_CAPABILITIES, &caps);
  call.Wait();
  EXPECT_EQ(STATUS_SUCCESS, call.Status());
  return caps;
}

TEST(UsbPdo, CapabilitiesFollowTheDescriptorAndTheConfiguration) {
  RunClean(1, [] {
    sim::usb::Device *wake = sim::usb::Plug();
    DEVICE_CAPABILITIES caps = QueryCapabilities(wake->Pdo());
    EXPECT_EQ(PowerDeviceD0, caps.DeviceState[PowerSystemWorking]);
    EXPECT_EQ(PowerDeviceD2, caps.DeviceState[PowerSystemSleeping1]);
    EXPECT_EQ(PowerDeviceD2, caps.DeviceState[PowerSystemSleeping3]);
    EXPECT_EQ(PowerDeviceD3, caps.DeviceState[PowerSystemHibernate]);
    EXPECT_EQ(PowerDeviceD3, caps.DeviceState[PowerSystemShutdown]);
    EXPECT_EQ(PowerSystemSleeping3, caps.SystemWake);
    EXPECT_EQ(PowerDeviceD2, caps.DeviceWake);
    EXPECT_EQ(1u, caps.Removable);
    EXPECT_EQ(1u, caps.WakeFromD2);
    EXPECT_EQ(64, int(sizeof caps));

    sim::usb::DeviceConfig config;
    config.configurationDescriptor = sim::usb::ModemConfiguration(0x80);
    config.deviceState[PowerSystemSleeping1] = PowerDeviceD1;
    config.powerPagable = false;
    sim::usb::Device *plain = sim::usb::Plug(nullptr, config);
    caps = QueryCapabilities(plain->Pdo());
    EXPECT_EQ(PowerSystemUnspecified, caps.SystemWake);
    EXPECT_EQ(PowerDeviceUnspecified, caps.DeviceWake);
    EXPECT_EQ(PowerDeviceD1, caps.DeviceState[PowerSystemSleeping1]);
    EXPECT_EQ(0u, plain->Pdo()->Flags & DO_POWER_PAGABLE);
    EXPECT_NE(0u, wake->Pdo()->Flags & DO_POWER_PAGABLE);
    EXPECT_EQ(0, wcscmp(L"\\Device\\USBPDO-1", plain->Name()));
  });
}

TEST(UsbPdo, StartRemoveAndUnknownMinors) {
  RunClean(2, [] {
    sim::usb::Device *device = sim::usb::Plug();
    Call start(device->Pdo());
    EXPECT_EQ(STATUS_SUCCESS, start.SubmitPnp(IRP_MN_START_DEVICE));
    EXPECT_TRUE(device->Started());
    Call other(device->Pdo());
    EXPECT_EQ(STATUS_NOT_SUPPORTED, other.SubmitPnp(IRP_MN_QUERY_RESOURCES));
    Pipes pipes;
    ASSERT_EQ(STATUS_SUCCESS, Configure(device->Pdo(), &pipes));
    Call surprise(device->Pdo());
    EXPECT_EQ(STATUS_SUCCESS, surprise.SubmitPnp(IRP_MN_SURPRISE_REMOVAL));
    Call remove(device->Pdo());
    EXPECT_EQ(STATUS_SUCCESS, remove.SubmitPnp(IRP_MN_REMOVE_DEVICE));
    EXPECT_TRUE(device->Removed());
    EXPECT_FALSE(device->Configured());
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, Unconfigure(device->Pdo()));  // refused after removal
    device->DeletePdo();
    EXPECT_EQ(nullptr, device->Pdo());
  });
}

TEST(UsbPdo, PowerIrpsAreCompletedWithTheNextOneStarted) {
  RunClean(3, [] {
    sim::usb::Device *device = sim::usb::Plug();
    Call query(device->Pdo());
    EXPECT_EQ(STATUS_PENDING, query.SubmitPower(IRP_MN_QUERY_POWER, DevicePowerState, DeviceState(PowerDeviceD2)));
    ASSERT_TRUE(query.Wait(10));
    EXPECT_EQ(STATUS_SUCCESS, query.Status());
    EXPECT_EQ(PowerDeviceD0, device->PowerState());  // a query changes nothing
    // Two set-powers of one type at once: the second reaches the PDO only
    // once the first has started the next, and the last one wins.
    Call down(device->Pdo());
    Call up(device->Pdo());
    EXPECT_EQ(STATUS_PENDING, down.SubmitPower(IRP_MN_SET_POWER, DevicePowerState, DeviceState(PowerDeviceD2)));
    EXPECT_EQ(STATUS_PENDING, up.SubmitPower(IRP_MN_SET_POWER, DevicePowerState, DeviceState(PowerDeviceD0)));
    ASSERT_TRUE(down.Wait(0));
    EXPECT_FALSE(up.Done());
    EXPECT_EQ(PowerDeviceD2, device->PowerState());
    ASSERT_TRUE(up.Wait(0));
    EXPECT_EQ(STATUS_SUCCESS, up.Status());
    EXPECT_EQ(PowerDeviceD0, device->PowerState());
    EXPECT_EQ(STATUS_SUCCESS, SetPower(device->Pdo(), SystemPowerState, SystemState(PowerSystemSleeping3)));
    EXPECT_EQ(PowerSystemSleeping3, device->SystemPowerState());
    EXPECT_EQ(PowerDeviceD0, device->PowerState());  // a system state leaves the device's alone
  });
}

// What a bus driver must do with a wait-wake: refuse what the device cannot
// honour, hold the rest until the device signals, is cancelled or goes away.
TEST(UsbPdo, WaitWakeStaysPendingUntilTheDeviceWakes) {
  RunClean(4, [] {
    sim::usb::Device *device = sim::usb::Plug();
    Call wait(device->Pdo());
    EXPECT_EQ(STATUS_PENDING, wait.SubmitWaitWake(PowerSystemSleeping3));
    EXPECT_TRUE(device->WaitWakePending());
    Call second(device->Pdo());
    EXPECT_EQ(STATUS_DEVICE_BUSY, second.SubmitWaitWake(PowerSystemSleeping3));
    EXPECT_FALSE(device->SignalWake());  // a device in D0 has nothing to wake from
    EXPECT_FALSE(wait.Wait(2000));
    ASSERT_EQ(STATUS_SUCCESS, SetPower(device->Pdo(), DevicePowerState, DeviceState(PowerDeviceD2)));
    EXPECT_TRUE(device->SignalWake());
    EXPECT_FALSE(wait.Done());  // the hub completes it from its DPC
    ASSERT_TRUE(wait.Wait(0));
    EXPECT_EQ(STATUS_SUCCESS, wait.Status());
    EXPECT_EQ(DISPATCH_LEVEL, wait.CompletionIrql());
    EXPECT_FALSE(device->SignalWake());
    EXPECT_EQ(PowerDeviceD2, device->PowerState());  // waking is the policy owner's set-power, not the bus's

    // Below its DeviceWake (D2) the device can neither be armed nor signal.
    ASSERT_EQ(STATUS_SUCCESS, SetPower(device->Pdo(), DevicePowerState, DeviceState(PowerDeviceD0)));
    Call armed(device->Pdo());
    EXPECT_EQ(STATUS_PENDING, armed.SubmitWaitWake(PowerSystemSleeping1));
    ASSERT_EQ(STATUS_SUCCESS, SetPower(device->Pdo(), DevicePowerState, DeviceState(PowerDeviceD3)));
    EXPECT_FALSE(device->SignalWake());
    Call inD3(device->Pdo());
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, inD3.SubmitWaitWake(PowerSystemSleeping1));
    armed.Cancel();
    ASSERT_TRUE(armed.Wait(0));
    EXPECT_EQ(STATUS_CANCELLED, armed.Status());
    EXPECT_FALSE(device->WaitWakePending());

    Call tooDeep(device->Pdo());
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, tooDeep.SubmitWaitWake(PowerSystemHibernate));

    sim::usb::DeviceConfig config;
    config.configurationDescriptor = sim::usb::ModemConfiguration(0x80);
    sim::usb::Device *noWake = sim::usb::Plug(nullptr, config);
    Call refused(noWake->Pdo());
    EXPECT_EQ(STATUS_NOT_SUPPORTED, refused.SubmitWaitWake(PowerSystemSleeping1));
  });
}

TEST(UsbPdo, SurpriseRemovalAndRemovalEndAPendingWaitWake) {
  RunClean(5, [] {
    for (UCHAR minor : {UCHAR(IRP_MN_SURPRISE_REMOVAL), UCHAR(IRP_MN_REMOVE_DEVICE)}) {
      sim::usb::Device *device = sim::usb::Plug();
      Call wait(device->Pdo());
      ASSERT_EQ(STATUS_PENDING, wait.SubmitWaitWake(PowerSystemSleeping3));
      Call removal(device->Pdo());
      EXPECT_EQ(STATUS_SUCCESS, removal.SubmitPnp(minor));
      ASSERT_TRUE(wait.Done()) << "minor " << int(minor);
      EXPECT_EQ(STATUS_NO_SUCH_DEVICE, wait.Status());
      EXPECT_FALSE(device->WaitWakePending());
      Call late(device->Pdo());
      EXPECT_EQ(STATUS_NO_SUCH_DEVICE, late.SubmitWaitWake(PowerSystemSleeping3));
    }
  });
}

}  // namespace
