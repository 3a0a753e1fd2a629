// The PDO's power answers: asynchronous set and query power, failures,
// URBs refused outside D0, transfers left pending across a power-down.
#include "support/seeds.h"
#include "usb/usb_harness.h"

using namespace usbtest;
using sim::usb::PowerRequest;
using sim::usb::RequestKind;

namespace {

struct Timed {
  NTSTATUS returned;
  NTSTATUS status;
  uint64_t took100ns;
  bool doneOnReturn;
  bool insideCall;
  KIRQL irql;
};

Timed SendPower(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) {
  Call call(pdo);
  uint64_t sent = sim::Now100ns();
  Timed t = {};
  t.returned = call.SubmitPower(minor, type, state);
  t.doneOnReturn = call.Done();
  call.Wait();
  t.took100ns = sim::Now100ns() - sent;
  t.status = call.Status();
  t.insideCall = call.CompletedInsideCall();
  t.irql = call.CompletionIrql();
  return t;
}

void ExpectAsync(const Timed &t, uint64_t min100ns, uint64_t max100ns) {
  EXPECT_EQ(STATUS_PENDING, t.returned);
  EXPECT_FALSE(t.doneOnReturn);
  EXPECT_FALSE(t.insideCall);
  EXPECT_EQ(DISPATCH_LEVEL, t.irql);
  EXPECT_GE(t.took100ns, min100ns);
  EXPECT_LE(t.took100ns, max100ns);
}

// A GET_STATUS vendor request: its final status and URB status.
std::pair<NTSTATUS, USBD_STATUS> GetStatus(sim::usb::Device *device) {
  URB urb;
  uint8_t status = 0;
  BuildVendorUrb(&urb, true, 2, 0, &status, 1);
  NTSTATUS result = SendUrb(device->Pdo(), &urb);
  return {result, urb.UrbHeader.Status};
}

// Each answer at DISPATCH_LEVEL from a DPC, a short time later; a resume to
// D0 takes a USB resume's 10 to 50 ms. The slack covers the DPC's start.
TEST(UsbPdoPower, SetAndQueryPowerCompleteFromADpcUnderManySeeds) {
  for (uint64_t seed : testing_support::Seeds()) {
    RunClean(seed, [seed] {
      SCOPED_TRACE("seed " + std::to_string(seed));
      sim::usb::DeviceConfig config;
      config.powerPagable = seed % 2 == 0;  // dispatched at PASSIVE_LEVEL or, in a share, at DISPATCH_LEVEL
      sim::usb::Device *device = sim::usb::Plug(nullptr, config);
      PDEVICE_OBJECT pdo = device->Pdo();
      const uint64_t slack = 5000;
      ExpectAsync(SendPower(pdo, IRP_MN_QUERY_POWER, SystemPowerState, SystemState(PowerSystemSleeping3)), 2000,
                  30000 + slack);
      ExpectAsync(SendPower(pdo, IRP_MN_QUERY_POWER, DevicePowerState, DeviceState(PowerDeviceD2)), 2000, 30000 + slack);
      Timed down = SendPower(pdo, IRP_MN_SET_POWER, DevicePowerState, DeviceState(PowerDeviceD2));
      ExpectAsync(down, 2000, 30000 + slack);
      EXPECT_EQ(PowerDeviceD2, device->PowerState());
      ExpectAsync(SendPower(pdo, IRP_MN_SET_POWER, SystemPowerState, SystemState(PowerSystemSleeping3)), 2000,
                  30000 + slack);
      EXPECT_EQ(PowerSystemSleeping3, device->SystemPowerState());
      ExpectAsync(SendPower(pdo, IRP_MN_SET_POWER, SystemPowerState, SystemState(PowerSystemWorking)), 2000,
                  30000 + slack);
      Timed up = SendPower(pdo, IRP_MN_SET_POWER, DevicePowerState, DeviceState(PowerDeviceD0));
      ExpectAsync(up, 100000, 500000 + slack);
      EXPECT_EQ(PowerDeviceD0, device->PowerState());
      EXPECT_EQ(STATUS_SUCCESS, up.status);
    });
  }
}

TEST(UsbPdoPower, AFailedSetOrQueryChangesNothing) {
  RunClean(1, [] {
    sim::usb::Device *device = sim::usb::Plug();
    PDEVICE_OBJECT pdo = device->Pdo();
    Pipes pipes;
    ASSERT_EQ(STATUS_SUCCESS, Configure(pdo, &pipes));
    device->FailPower(PowerRequest::QueryDevice, STATUS_DEVICE_BUSY);
    device->FailPower(PowerRequest::QuerySystem, STATUS_UNSUCCESSFUL);
    device->FailPower(PowerRequest::SetDevice, STATUS_DEVICE_NOT_READY);
    device->FailPower(PowerRequest::SetSystem, STATUS_INSUFFICIENT_RESOURCES);
    Timed t = SendPower(pdo, IRP_MN_QUERY_POWER, DevicePowerState, DeviceState(PowerDeviceD2));
    ExpectAsync(t, 0, 1000000);
    EXPECT_EQ(STATUS_DEVICE_BUSY, t.status);
    EXPECT_EQ(STATUS_UNSUCCESSFUL,
              SendPower(pdo, IRP_MN_QUERY_POWER, SystemPowerState, SystemState(PowerSystemSleeping1)).status);
    EXPECT_EQ(STATUS_DEVICE_NOT_READY, SetPower(pdo, DevicePowerState, DeviceState(PowerDeviceD2)));
    EXPECT_EQ(PowerDeviceD0, device->PowerState());
    EXPECT_EQ(STATUS_SUCCESS, GetStatus(device).first);  // a failed power-down leaves the device working
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, SetPower(pdo, SystemPowerState, SystemState(PowerSystemSleeping1)));
    EXPECT_EQ(PowerSystemWorking, device->SystemPowerState());

    // Cleared: each kind back to success, and only the kind named fails.
    device->FailPower(PowerRequest::SetDevice, STATUS_SUCCESS);
    EXPECT_EQ(STATUS_SUCCESS, SetPower(pdo, DevicePowerState, DeviceState(PowerDeviceD2)));
    EXPECT_EQ(PowerDeviceD2, device->PowerState());
    device->FailPower(PowerRequest::SetDevice, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(STATUS_DEVICE_NOT_READY, SetPower(pdo, DevicePowerState, DeviceState(PowerDeviceD0)));
    EXPECT_EQ(PowerDeviceD2, device->PowerState());
    EXPECT_EQ(STATUS_DEVICE_BUSY,
              SendPower(pdo, IRP_MN_QUERY_POWER, DevicePowerState, DeviceState(PowerDeviceD3)).status);
  });
}

// From the moment a power-down reaches the PDO until a resume to D0 has
// completed, every URB fails at once and never reaches the device.
TEST(UsbPdoPower, UrbsAreRefusedOutsideD0AndAcceptedAgainInD0) {
  RunClean(2, [] {
    auto *model = new sim::usb::ScriptedModel;
    sim::usb::Device *device = sim::usb::Plug(std::unique_ptr<sim::usb::Model>(model));
    PDEVICE_OBJECT pdo = device->Pdo();
    Pipes pipes;
    ASSERT_EQ(STATUS_SUCCESS, Configure(pdo, &pipes));
    model->SetStatus(0x01);

    Call down(pdo);
    ASSERT_EQ(STATUS_PENDING, down.SubmitPower(IRP_MN_SET_POWER, DevicePowerState, DeviceState(PowerDeviceD2)));
    EXPECT_EQ(STATUS_DEVICE_POWERED_OFF, GetStatus(device).first);  // already while the port suspends
    ASSERT_TRUE(down.Wait(0));
    EXPECT_EQ(std::make_pair(STATUS_DEVICE_POWERED_OFF, USBD_STATUS_NOT_ACCESSED), GetStatus(device));
    char bytes[4] = {'a', 'b', 'c', 'd'};
    URB bulk;
    BuildBulkUrb(&bulk, pipes.out, false, bytes, sizeof bytes);
    EXPECT_EQ(STATUS_DEVICE_POWERED_OFF, SendUrb(pdo, &bulk));
    EXPECT_EQ(0u, bulk.UrbBulkOrInterruptTransfer.TransferBufferLength);
    BuildBulkUrb(&bulk, pipes.in, true, bytes, sizeof bytes);
    EXPECT_EQ(STATUS_DEVICE_POWERED_OFF, SendUrb(pdo, &bulk));
    EXPECT_TRUE(model->Written().empty());
    EXPECT_EQ(0u, device->PendingCount());

    Call up(pdo);
    ASSERT_EQ(STATUS_PENDING, up.SubmitPower(IRP_MN_SET_POWER, DevicePowerState, DeviceState(PowerDeviceD0)));
    EXPECT_EQ(STATUS_DEVICE_POWERED_OFF, GetStatus(device).first);  // the resume is not over
    ASSERT_TRUE(up.Wait(0));
    EXPECT_EQ(std::make_pair(STATUS_SUCCESS, USBD_STATUS_SUCCESS), GetStatus(device));
    BuildBulkUrb(&bulk, pipes.out, false, bytes, sizeof bytes);
    EXPECT_EQ(STATUS_SUCCESS, SendUrb(pdo, &bulk));
    EXPECT_EQ("abcd", model->Written());
  });
}

// A deliberately faulty power policy: the device is sent to D2 while a bulk
// IN and a control request are still pending on it.
TEST(UsbPdoVerifier, TransfersLeftPendingAcrossAPowerDownAreReported) {
  std::vector<sim::FaultRecord> faults = RunMachine(3, [] {
    sim::usb::Device *device = sim::usb::Plug();
    Pipes pipes;
    ASSERT_EQ(STATUS_SUCCESS, Configure(device->Pdo(), &pipes));
    device->SetNoAnswer(RequestKind::GetStatus, true);
    char buffer[64];
    URB in, status;
    uint8_t byte = 0;
    BuildBulkUrb(&in, pipes.in, true, buffer, sizeof buffer);
    BuildVendorUrb(&status, true, 2, 0, &byte, 1);
    Call read(device->Pdo()), poll(device->Pdo());
    ASSERT_EQ(STATUS_PENDING, read.Submit(&in));
    ASSERT_EQ(STATUS_PENDING, poll.Submit(&status));
    EXPECT_EQ(STATUS_SUCCESS, SetPower(device->Pdo(), DevicePowerState, DeviceState(PowerDeviceD2)));
    read.Cancel();
    poll.Cancel();
    read.Wait();
    poll.Wait();
  });
  ASSERT_EQ(1u, faults.size()) << FaultText(faults);
  EXPECT_EQ(sim::Fault::TransferPendingAcrossPowerDown, faults[0].kind);
  EXPECT_NE(std::string::npos, faults[0].detail.find("USBPDO-0"));
  EXPECT_NE(std::string::npos, faults[0].detail.find("BULK_IN"));
  EXPECT_NE(std::string::npos, faults[0].detail.find("VENDOR_GET_STATUS"));
  EXPECT_NE(std::string::npos, faults[0].detail.find("D2"));
}

// The legal order: transfers cancelled and completed first, then the
// power-down; a resume and a power-down with nothing pending are not reported.
TEST(UsbPdoVerifier, APowerDownAfterTheTransfersEndedIsNotReported) {
  for (uint64_t seed : testing_support::Seeds()) {
    RunClean(seed, [] {
      sim::usb::Device *device = sim::usb::Plug();
      Pipes pipes;
      ASSERT_EQ(STATUS_SUCCESS, Configure(device->Pdo(), &pipes));
      char buffer[64];
      URB in;
      BuildBulkUrb(&in, pipes.in, true, buffer, sizeof buffer);
      Call read(device->Pdo());
      ASSERT_EQ(STATUS_PENDING, read.Submit(&in));
      sim::SimThread *canceller = sim::CreateThread("canceller", [&] { read.Cancel(); });
      read.Wait();
      while (!sim::ThreadFinished(canceller)) Sleep(1);
      EXPECT_EQ(STATUS_CANCELLED, read.Status());
      EXPECT_EQ(STATUS_SUCCESS, SetPower(device->Pdo(), DevicePowerState, DeviceState(PowerDeviceD2)));
      EXPECT_EQ(STATUS_SUCCESS, SetPower(device->Pdo(), DevicePowerState, DeviceState(PowerDeviceD0)));
      EXPECT_EQ(STATUS_SUCCESS, SetPower(device->Pdo(), DevicePowerState, DeviceState(PowerDeviceD3)));
    });
  }
}

}  // namespace
