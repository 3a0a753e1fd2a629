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
    POWER_STATE state;
    state.DeviceState = PowerDeviceD2;
    Call query(device->Pdo());
    EXPECT_EQ(STATUS_SUCCESS, query.SubmitPower(IRP_MN_QUERY_POWER, DevicePowerState, state));
    Call set(device->Pdo());
    EXPECT_EQ(STATUS_SUCCESS, set.SubmitPower(IRP_MN_SET_POWER, DevicePowerState, state));
    EXPECT_EQ(PowerDeviceD2, device->PowerState());
    state.SystemState = PowerSystemSleeping3;
    Call system(device->Pdo());
    EXPECT_EQ(STATUS_SUCCESS, system.SubmitPower(IRP_MN_SET_POWER, SystemPowerState, state));
  });
}

TEST(UsbPdo, WaitWakeStaysPendingUntilTheDeviceWakes) {
  RunClean(4, [] {
    sim::usb::Device *device = sim::usb::Plug();
    Call wait(device->Pdo());
    EXPECT_EQ(STATUS_PENDING, wait.SubmitWaitWake(PowerSystemSleeping3));
    EXPECT_TRUE(device->WaitWakePending());
    Call second(device->Pdo());
    EXPECT_EQ(STATUS_DEVICE_BUSY, second.SubmitWaitWake(PowerSystemSleeping3));
    EXPECT_FALSE(wait.Wait(2000));
    EXPECT_TRUE(device->SignalWake());
    ASSERT_TRUE(wait.Wait(0));
    EXPECT_EQ(STATUS_SUCCESS, wait.Status());
    EXPECT_FALSE(device->SignalWake());

    Call cancelled(device->Pdo());
    EXPECT_EQ(STATUS_PENDING, cancelled.SubmitWaitWake(PowerSystemSleeping1));
    cancelled.Cancel();
    ASSERT_TRUE(cancelled.Wait(0));
    EXPECT_EQ(STATUS_CANCELLED, cancelled.Status());
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

}  // namespace
