// The power manager as XP's: one set or query IRP of each power type per
// device object at a time, the next held until PoStartNextPowerIrp; power
// IRPs at PASSIVE_LEVEL for DO_POWER_PAGABLE devices and at DISPATCH_LEVEL in
// a share of calls for the others.
#include <set>

#include "kernel/io_test_util.h"

using namespace io_test;
using sim::Fault;

namespace {

struct Seen {
  int dispatched = 0;
  bool pendingReturned = false;
};

NTSTATUS NTAPI RecordAndHalt(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  static_cast<Seen *>(context)->pendingReturned = irp->PendingReturned != 0;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

PIRP PowerIrp(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type, Seen *seen) {
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = IRP_MJ_POWER;
  sp->MinorFunction = minor;
  sp->Parameters.Power.Type = type;
  if (type == DevicePowerState) {
    sp->Parameters.Power.State.DeviceState = PowerDeviceD0;
  } else {
    sp->Parameters.Power.State.SystemState = PowerSystemWorking;
  }
  IoSetCompletionRoutine(irp, RecordAndHalt, seen, TRUE, TRUE, TRUE);
  return irp;
}

NTSTATUS StartNextAndComplete(PIRP irp) {
  PoStartNextPowerIrp(irp);
  return CompleteWith(irp, STATUS_SUCCESS);
}

// A filter that starts the next IRP and skips down, over a bus device that
// keeps the IRPs it is told to keep (without starting the next yet).
struct FilterOverBus {
  std::vector<PIRP> kept;
  int keep = 0;
  int busDispatched = 0;
  Dispatch filterD = [this](PDEVICE_OBJECT, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(bus, irp);
  };
  Dispatch busD = [this](PDEVICE_OBJECT, PIRP irp) {
    ++busDispatched;
    if (keep > 0) {
      --keep;
      IoMarkIrpPending(irp);
      kept.push_back(irp);
      return STATUS_PENDING;
    }
    return StartNextAndComplete(irp);
  };
  PDEVICE_OBJECT bus = nullptr;
  PDEVICE_OBJECT filter = nullptr;

  FilterOverBus() {
    PDRIVER_OBJECT driver = MakeDriver();
    bus = MakeDevice(driver, &busD, nullptr, DO_BUFFERED_IO | DO_POWER_PAGABLE);
    filter = MakeDevice(driver, &filterD, nullptr, DO_BUFFERED_IO | DO_POWER_PAGABLE);
    IoAttachDeviceToDeviceStack(filter, bus);
  }
};

TEST(PowerSerialization, NextIrpOfATypeWaitsForPoStartNextPowerIrp) {
  RunExpectingNoFaults([] {
    FilterOverBus s;
    s.keep = 1;
    Seen first, second, system;
    PIRP a = PowerIrp(s.filter, IRP_MN_SET_POWER, DevicePowerState, &first);
    PIRP b = PowerIrp(s.filter, IRP_MN_QUERY_POWER, DevicePowerState, &second);
    PIRP c = PowerIrp(s.filter, IRP_MN_SET_POWER, SystemPowerState, &system);
    EXPECT_EQ(PoCallDriver(s.filter, a), STATUS_PENDING);
    EXPECT_EQ(s.busDispatched, 1);
    // The bus device still has a device power IRP: the query waits.
    EXPECT_EQ(PoCallDriver(s.filter, b), STATUS_PENDING);
    DelayMs(10);
    EXPECT_EQ(s.busDispatched, 1);
    // A system power IRP is of the other type and goes at once.
    EXPECT_EQ(PoCallDriver(s.filter, c), STATUS_SUCCESS);
    EXPECT_EQ(s.busDispatched, 2);
    // The bus driver starts the next and finishes the first.
    ASSERT_EQ(s.kept.size(), 1u);
    StartNextAndComplete(s.kept[0]);
    DelayMs(10);
    EXPECT_EQ(s.busDispatched, 3);
    // It went down as pending: PendingReturned reaches its sender.
    EXPECT_TRUE(second.pendingReturned);
    EXPECT_FALSE(system.pendingReturned);
    for (PIRP irp : {a, b, c}) IoFreeIrp(irp);
  });
}

// One set-power IRP after the other to one device, from PASSIVE_LEVEL or
// DISPATCH_LEVEL; the IRQLs its dispatch routine was called at.
std::set<KIRQL> DispatchIrqls(ULONG flags, KIRQL callerIrql) {
  std::set<KIRQL> irqls;
  RunExpectingNoFaults([&] {
    Dispatch d = [&](PDEVICE_OBJECT, PIRP irp) {
      irqls.insert(KeGetCurrentIrql());
      return StartNextAndComplete(irp);
    };
    PDEVICE_OBJECT device = MakeDevice(MakeDriver(), &d, nullptr, DO_BUFFERED_IO | flags);
    for (int i = 0; i < 24; ++i) {
      Seen seen;
      PIRP irp = PowerIrp(device, IRP_MN_SET_POWER, DevicePowerState, &seen);
      KIRQL old;
      KeRaiseIrql(callerIrql, &old);
      PoCallDriver(device, irp);
      KeLowerIrql(old);
      DelayMs(1);
      IoFreeIrp(irp);
    }
  });
  return irqls;
}

TEST(PowerSerialization, DispatchIrqlFollowsDoPowerPagable) {
  EXPECT_EQ(DispatchIrqls(DO_POWER_PAGABLE, PASSIVE_LEVEL), std::set<KIRQL>{PASSIVE_LEVEL});
  // Sent from DISPATCH_LEVEL, the power manager calls a pageable device later at PASSIVE_LEVEL.
  EXPECT_EQ(DispatchIrqls(DO_POWER_PAGABLE, DISPATCH_LEVEL), std::set<KIRQL>{PASSIVE_LEVEL});
  EXPECT_EQ(DispatchIrqls(0, PASSIVE_LEVEL), (std::set<KIRQL>{PASSIVE_LEVEL, DISPATCH_LEVEL}));
  EXPECT_EQ(DispatchIrqls(0, DISPATCH_LEVEL), std::set<KIRQL>{DISPATCH_LEVEL});
}

// A driver that never starts the next IRP holds back every later one of
// that type: the fault is reported and the later IRP never gets there.
TEST(PowerSerialization, MissingStartNextHoldsBackTheNextIrp) {
  sim::Kernel k(Options());
  k.Run([] {
    int dispatched = 0;
    Dispatch d = [&](PDEVICE_OBJECT, PIRP irp) {
      ++dispatched;
      return CompleteWith(irp, STATUS_SUCCESS);  // no PoStartNextPowerIrp
    };
    PDEVICE_OBJECT device = MakeDevice(MakeDriver(), &d, nullptr, DO_BUFFERED_IO | DO_POWER_PAGABLE);
    Seen one, two;
    PIRP a = PowerIrp(device, IRP_MN_SET_POWER, DevicePowerState, &one);
    PIRP b = PowerIrp(device, IRP_MN_SET_POWER, DevicePowerState, &two);
    PoCallDriver(device, a);
    EXPECT_EQ(PoCallDriver(device, b), STATUS_PENDING);
    DelayMs(100);
    EXPECT_EQ(dispatched, 1);
    IoFreeIrp(a);
  });
  k.Shutdown();
  EXPECT_EQ(CountFaults(k, Fault::PoStartNextPowerIrpMissing), 1) << DescribeFaults(k);
  EXPECT_EQ(CountFaults(k, Fault::IrpNeverCompleted), 1) << DescribeFaults(k);
}

}  // namespace

// A filter whose DO_POWER_PAGABLE differs from the bus device below it, in
// either direction, is reported once however many IRPs pass; a stack that
// agrees is not.
TEST(PowerSerialization, StackThatDisagreesOnDoPowerPagableIsReported) {
  for (ULONG busFlags : {ULONG(DO_POWER_PAGABLE), ULONG(0)}) {
    for (bool agree : {true, false}) {
      SCOPED_TRACE(std::string(busFlags ? "pageable" : "non-pageable") + " bus, filter " +
                   (agree ? "agreeing" : "disagreeing"));
      sim::Kernel k(Options());
      k.Run([&] {
        Dispatch busD = [](PDEVICE_OBJECT, PIRP irp) { return StartNextAndComplete(irp); };
        PDEVICE_OBJECT bus = nullptr;
        Dispatch filterD = [&bus](PDEVICE_OBJECT, PIRP irp) {
          PoStartNextPowerIrp(irp);
          IoSkipCurrentIrpStackLocation(irp);
          return PoCallDriver(bus, irp);
        };
        PDRIVER_OBJECT driver = MakeDriver();
        bus = MakeDevice(driver, &busD, nullptr, DO_BUFFERED_IO | busFlags);
        ULONG filterFlags = agree ? busFlags : (busFlags ^ DO_POWER_PAGABLE);
        PDEVICE_OBJECT filter = MakeDevice(driver, &filterD, nullptr, DO_BUFFERED_IO | filterFlags);
        IoAttachDeviceToDeviceStack(filter, bus);
        for (int i = 0; i < 3; ++i) {
          Seen seen;
          PIRP irp = PowerIrp(filter, IRP_MN_SET_POWER, DevicePowerState, &seen);
          PoCallDriver(filter, irp);
          DelayMs(1);
          IoFreeIrp(irp);
        }
        IoDetachDevice(bus);
      });
      k.Shutdown();
      EXPECT_EQ(CountFaults(k, Fault::PowerFlagsDiffer), agree ? 0 : 1) << DescribeFaults(k);
      EXPECT_EQ(k.Faults().size(), agree ? 0u : 1u) << DescribeFaults(k);
    }
  }
}
