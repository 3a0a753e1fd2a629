#include "badinput/port_rig.h"

#include <memory>

#include "sim/usb/descriptors.h"
#include "sim/usb/device.h"
#include "sim/usb/model.h"
#include "sim/world/bringup.h"
#include "support/driver_irp.h"

namespace badinput {

using testing_support::DriverIrp;
using testing_support::SleepMs;

namespace {

// Takes whatever is sent and never has anything to say: the sweep's
// immediate characters do not come back to fill the receive ring.
class SinkModel : public sim::usb::Model {
 public:
  void OnBulkOut(const uint8_t *, size_t) override {}
  size_t PendingIn() const override { return 0; }
  size_t TakeIn(uint8_t *, size_t) override { return 0; }
  void OnSetDtr(bool) override {}
  uint8_t StatusByte() const override { return 0; }
};

sim::usb::DeviceConfig NotWakeCapable() {
  sim::usb::DeviceConfig config;
  config.configurationDescriptor = sim::usb::ModemConfiguration(0x80);
  return config;
}

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// A system power IRP as the power manager sends it; its final status.
NTSTATUS SendSystemPower(PDEVICE_OBJECT top, UCHAR minor, SYSTEM_POWER_STATE state) {
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_POWER;
  stack->MinorFunction = minor;
  stack->Parameters.Power.Type = SystemPowerState;
  stack->Parameters.Power.State.SystemState = state;
  stack->Parameters.Power.ShutdownType = PowerActionSleep;
  IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
  PoCallDriver(top, irp);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return status;
}

}  // namespace

const std::vector<PortState> &AllPortStates() {
  static const std::vector<PortState> states = {
      PortState::Started,       PortState::Open,          PortState::Closed,          PortState::StopPending,
      PortState::Stopped,       PortState::RemovePending, PortState::SurpriseRemoved, PortState::Asleep,
  };
  return states;
}

std::string PortStateName(PortState state) {
  switch (state) {
    case PortState::Started: return "started";
    case PortState::Open: return "open";
    case PortState::Closed: return "closed";
    case PortState::StopPending: return "stop-pending";
    case PortState::Stopped: return "stopped";
    case PortState::RemovePending: return "remove-pending";
    case PortState::SurpriseRemoved: return "surprise-removed";
    case PortState::Asleep: return "asleep";
  }
  return "?";
}

PortRig::PortRig()
    : bus_(sim::usb::Plug(std::make_unique<SinkModel>(), NotWakeCapable())), dev_(bus_) {
  DEVICE_CAPABILITIES caps;
  EXPECT_EQ(STATUS_SUCCESS, sim::world::QueryCapabilities(dev_.Fdo(), &caps));
}

PortRig::~PortRig() {
  if (!left_) Leave();
}

NTSTATUS PortRig::Request(UCHAR major) {
  DriverIrp irp;
  irp.Simple(dev_.Fdo(), major);
  EXPECT_TRUE(irp.Wait(5000)) << "major " << int(major);
  return irp.Status();
}

void PortRig::Open() {
  EXPECT_EQ(STATUS_SUCCESS, Request(IRP_MJ_CREATE)) << "open";
  open_ = true;
}

void PortRig::Close() {
  if (!open_) return;
  Request(IRP_MJ_CLEANUP);
  EXPECT_EQ(STATUS_SUCCESS, Request(IRP_MJ_CLOSE)) << "close";
  open_ = false;
}

NTSTATUS PortRig::Pnp(UCHAR minor) { return sim::world::SendPnp(dev_.Fdo(), minor); }

NTSTATUS PortRig::SetSystemPower(SYSTEM_POWER_STATE state) {
  if (state != PowerSystemWorking) {
    NTSTATUS query = SendSystemPower(dev_.Fdo(), IRP_MN_QUERY_POWER, state);
    if (!NT_SUCCESS(query)) return query;
  }
  NTSTATUS status = SendSystemPower(dev_.Fdo(), IRP_MN_SET_POWER, state);
  SleepMs(100);  // the device request that follows, and the reader's restart
  return status;
}

void PortRig::Enter(PortState state) {
  state_ = state;
  if (state != PortState::Started) Open();
  switch (state) {
    case PortState::Started:
    case PortState::Open:
      break;
    case PortState::Closed:
      Close();
      break;
    case PortState::StopPending:
      EXPECT_EQ(STATUS_SUCCESS, Pnp(IRP_MN_QUERY_STOP_DEVICE));
      break;
    case PortState::Stopped:
      EXPECT_EQ(STATUS_SUCCESS, Pnp(IRP_MN_QUERY_STOP_DEVICE));
      EXPECT_EQ(STATUS_SUCCESS, Pnp(IRP_MN_STOP_DEVICE));
      break;
    case PortState::RemovePending:
      EXPECT_EQ(STATUS_SUCCESS, Pnp(IRP_MN_QUERY_REMOVE_DEVICE));
      break;
    case PortState::SurpriseRemoved:
      EXPECT_EQ(STATUS_SUCCESS, Pnp(IRP_MN_SURPRISE_REMOVAL));
      break;
    case PortState::Asleep:
      EXPECT_EQ(STATUS_SUCCESS, SetSystemPower(PowerSystemSleeping3));
      break;
  }
}

void PortRig::Leave() {
  left_ = true;
  switch (state_) {
    case PortState::StopPending:
      EXPECT_EQ(STATUS_SUCCESS, Pnp(IRP_MN_CANCEL_STOP_DEVICE));
      break;
    case PortState::RemovePending:
      EXPECT_EQ(STATUS_SUCCESS, Pnp(IRP_MN_CANCEL_REMOVE_DEVICE));
      break;
    case PortState::Asleep:
      EXPECT_EQ(STATUS_SUCCESS, SetSystemPower(PowerSystemWorking));
      break;
    default:
      break;
  }
  Close();
  if (state_ == PortState::SurpriseRemoved) {
    // After a surprise removal only the removal itself follows.
    dev_.WaitStatusPollsIdle();
    EXPECT_EQ(1, dev_.Ext()->OutstandingIo);
    dev_.Remove(false);
  }
}

}  // namespace badinput
