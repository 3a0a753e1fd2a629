// PoStartNextPowerIrp counted per driver and per IRP: every driver a set or
// query power IRP visits starts the next one exactly once, however the IRP
// was made, and an IRP sent again starts afresh.
#include "kernel/io_test_util.h"

using namespace io_test;
using sim::Fault;

namespace {

NTSTATUS NTAPI HaltCompletion(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

// A set-power IRP the test owns, sent with PoCallDriver.
void PrepareSetPower(PIRP irp) {
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = IRP_MJ_POWER;
  sp->MinorFunction = IRP_MN_SET_POWER;
  sp->Parameters.Power.Type = DevicePowerState;
  sp->Parameters.Power.State.DeviceState = PowerDeviceD0;
  IoSetCompletionRoutine(irp, HaltCompletion, nullptr, TRUE, TRUE, TRUE);
}

NTSTATUS CompletePower(PIRP irp, bool startNext) {
  if (startNext) PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

// Sends a set-power IRP of the test's own to the device and frees it.
void SendSetPower(PDEVICE_OBJECT device) {
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  PrepareSetPower(irp);
  PoCallDriver(device, irp);
  IoFreeIrp(irp);
}

// An upper device attached over a lower one that completes power IRPs and
// starts the next; the upper one hands each IRP on with `passOn`.
struct PowerStack {
  using PassOn = std::function<NTSTATUS(PDEVICE_OBJECT lower, PIRP irp)>;
  PassOn passOn;
  Dispatch lowerD = [](PDEVICE_OBJECT, PIRP irp) { return CompletePower(irp, true); };
  Dispatch upperD = [this](PDEVICE_OBJECT, PIRP irp) { return passOn(lower, irp); };
  PDEVICE_OBJECT lower = nullptr;
  PDEVICE_OBJECT upper = nullptr;

  explicit PowerStack(PassOn pass) : passOn(std::move(pass)) {
    PDRIVER_OBJECT driver = MakeDriver();
    lower = MakeDevice(driver, &lowerD);
    upper = MakeDevice(driver, &upperD);
    IoAttachDeviceToDeviceStack(upper, lower);
  }
};

TEST(PowerManager, MissingStartNextOnAnIrpNotRequestedThroughThePowerManager) {
  for (bool startNext : {true, false}) {
    SCOPED_TRACE(startNext ? "driver starts the next" : "driver forgets");
    sim::Kernel k(Options());
    k.Run([&] {
      Dispatch d = [&](PDEVICE_OBJECT, PIRP irp) { return CompletePower(irp, startNext); };
      SendSetPower(MakeDevice(MakeDriver(), &d));
    });
    k.Shutdown();
    EXPECT_EQ(CountFaults(k, Fault::PoStartNextPowerIrpMissing), startNext ? 0 : 1) << DescribeFaults(k);
    EXPECT_EQ(k.Faults().size(), startNext ? 0u : 1u) << DescribeFaults(k);
  }
}

// A filter that skips its stack location shares it with the driver below;
// each of them owes its own PoStartNextPowerIrp.
TEST(PowerManager, FilterPassingDownWithoutStartNextIsCaught) {
  sim::Kernel k(Options());
  k.Run([] {
    PowerStack stack([](PDEVICE_OBJECT lower, PIRP irp) {
      IoSkipCurrentIrpStackLocation(irp);  // no PoStartNextPowerIrp first
      return PoCallDriver(lower, irp);
    });
    SendSetPower(stack.upper);
  });
  k.Shutdown();
  EXPECT_EQ(CountFaults(k, Fault::PoStartNextPowerIrpMissing), 1) << DescribeFaults(k);
  EXPECT_EQ(k.Faults().size(), 1u) << DescribeFaults(k);
}

struct UpwardStart {
  int calls = 0;
};

NTSTATUS NTAPI StartNextOnTheWayUp(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  PoStartNextPowerIrp(irp);
  ++static_cast<UpwardStart *>(context)->calls;
  return STATUS_SUCCESS;
}

// Starting the next IRP from the completion routine, as a function driver
// does for a device power-up, counts for the driver that set the routine.
TEST(PowerManager, StartNextFromTheCompletionRoutineOnTheWayUp) {
  sim::Kernel k(Options());
  UpwardStart up;
  k.Run([&] {
    PowerStack stack([&](PDEVICE_OBJECT lower, PIRP irp) {
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, StartNextOnTheWayUp, &up, TRUE, TRUE, TRUE);
      return PoCallDriver(lower, irp);
    });
    SendSetPower(stack.upper);
  });
  k.Shutdown();
  EXPECT_EQ(up.calls, 1);
  EXPECT_TRUE(k.Faults().empty()) << DescribeFaults(k);
}

// The same IRP sent twice (reused) is two power IRPs: one call for each is
// not a doubled call.
TEST(PowerManager, ReusedIrpStartsItsCountAfresh) {
  RunExpectingNoFaults([] {
    Dispatch d = [](PDEVICE_OBJECT, PIRP irp) { return CompletePower(irp, true); };
    PDEVICE_OBJECT device = MakeDevice(MakeDriver(), &d);
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    for (int round = 0; round < 2; ++round) {
      IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
      PrepareSetPower(irp);
      PoCallDriver(device, irp);
    }
    IoFreeIrp(irp);
  });
}

TEST(PowerManager, StartNextTwiceByOneDriverIsDoubled) {
  sim::Kernel k(Options());
  k.Run([] {
    Dispatch d = [](PDEVICE_OBJECT, PIRP irp) {
      PoStartNextPowerIrp(irp);
      return CompletePower(irp, true);
    };
    SendSetPower(MakeDevice(MakeDriver(), &d));
  });
  k.Shutdown();
  EXPECT_EQ(CountFaults(k, Fault::PoStartNextPowerIrpDoubled), 1) << DescribeFaults(k);
  EXPECT_EQ(k.Faults().size(), 1u) << DescribeFaults(k);
}

// Wait-wake IRPs are not serialised: a driver that starts the next one as
// the IRP goes down and again on its way up does nothing wrong.
TEST(PowerManager, StartNextOnAWaitWakeMayBeCalledTwice) {
  RunExpectingNoFaults([] {
    Dispatch d = [](PDEVICE_OBJECT, PIRP irp) {
      PoStartNextPowerIrp(irp);
      PoStartNextPowerIrp(irp);
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_SUCCESS;
    };
    PDEVICE_OBJECT device = MakeDevice(MakeDriver(), &d);
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_POWER;
    sp->MinorFunction = IRP_MN_WAIT_WAKE;
    sp->Parameters.WaitWake.PowerState = PowerSystemSleeping3;
    IoSetCompletionRoutine(irp, HaltCompletion, nullptr, TRUE, TRUE, TRUE);
    PoCallDriver(device, irp);
    IoFreeIrp(irp);
  });
}

}  // namespace
