// Who owns an IRP when: a dispatch routine that returns a final status must
// no longer hold the IRP, an IRP goes down without a cancel routine, an IRP
// is freed only once it is back with its owner, and an IRP of IoAllocateIrp
// is never given to IoInitializeIrp.
#include "kernel/io_test_util.h"

using namespace io_test;
using sim::Fault;

namespace {

NTSTATUS NTAPI HaltCompletion(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

// A lower device that completes at once, an upper one attached over it whose
// dispatch is the behaviour under test.
struct TwoDevices {
  Dispatch lowerD = [](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); };
  Dispatch upperD;
  PDEVICE_OBJECT lower = nullptr;
  PDEVICE_OBJECT upper = nullptr;

  explicit TwoDevices(std::function<NTSTATUS(TwoDevices &, PIRP)> upperBehaviour) {
    upperD = [this, upperBehaviour](PDEVICE_OBJECT, PIRP irp) { return upperBehaviour(*this, irp); };
    PDRIVER_OBJECT driver = MakeDriver();
    lower = MakeDevice(driver, &lowerD);
    upper = MakeDevice(driver, &upperD);
    IoAttachDeviceToDeviceStack(upper, lower);
  }
};

struct HeldCase {
  const char *name;
  bool fault;
  std::function<NTSTATUS(TwoDevices &, PIRP)> upper;
};

TEST(IoVerifierOwnership, FinalStatusReturnedForAnIrpTheRoutineStillHolds) {
  PIRP kept = nullptr;
  const HeldCase cases[] = {
      {"kept and never passed on", true,
       [&](TwoDevices &, PIRP irp) {
         kept = irp;
         return STATUS_SUCCESS;
       }},
      {"taken back by its completion routine and not completed", true,
       [&](TwoDevices &s, PIRP irp) {
         IoCopyCurrentIrpStackLocationToNext(irp);
         IoSetCompletionRoutine(irp, HaltCompletion, nullptr, TRUE, TRUE, TRUE);
         IoCallDriver(s.lower, irp);
         kept = irp;
         return STATUS_SUCCESS;
       }},
      {"taken back and completed", false,
       [&](TwoDevices &s, PIRP irp) {
         IoCopyCurrentIrpStackLocationToNext(irp);
         IoSetCompletionRoutine(irp, HaltCompletion, nullptr, TRUE, TRUE, TRUE);
         IoCallDriver(s.lower, irp);
         return CompleteWith(irp, STATUS_SUCCESS);
       }},
      {"passed on after a skip", false,
       [&](TwoDevices &s, PIRP irp) {
         IoSkipCurrentIrpStackLocation(irp);
         return IoCallDriver(s.lower, irp);
       }},
      {"completed", false, [&](TwoDevices &, PIRP irp) { return CompleteWith(irp, STATUS_UNSUCCESSFUL); }},
  };
  for (const HeldCase &c : cases) {
    SCOPED_TRACE(c.name);
    kept = nullptr;
    sim::Kernel k(Options());
    k.Run([&] {
      TwoDevices s(c.upper);
      PIRP irp;
      SendOne(s.upper, &irp);
      if (kept) CompleteWith(kept, STATUS_SUCCESS);  // late, as the faulty driver would
      IoFreeIrp(irp);
    });
    k.Shutdown();
    ASSERT_EQ(CountFaults(k, Fault::FinalStatusForHeldIrp), c.fault ? 1 : 0) << DescribeFaults(k);
    EXPECT_EQ(k.Faults().size(), c.fault ? 1u : 0u) << DescribeFaults(k);
    if (c.fault) {
      EXPECT_EQ(k.Faults()[0].routine, "IofCallDriver");
    }
  }
}

// Passed on after a skip to a lower driver that keeps it: the lower driver is
// at fault, not the filter that returned its status.
TEST(IoVerifierOwnership, OnlyTheDriverThatKeptTheIrpIsNamed) {
  sim::Kernel k(Options());
  k.Run([] {
    PIRP kept = nullptr;
    TwoDevices s([](TwoDevices &s, PIRP irp) {
      IoSkipCurrentIrpStackLocation(irp);
      return IoCallDriver(s.lower, irp);
    });
    s.lowerD = [&](PDEVICE_OBJECT, PIRP irp) {
      kept = irp;
      return STATUS_SUCCESS;
    };
    PIRP irp;
    SendOne(s.upper, &irp);
    CompleteWith(kept, STATUS_SUCCESS);
    IoFreeIrp(irp);
  });
  k.Shutdown();
  ASSERT_EQ(CountFaults(k, Fault::FinalStatusForHeldIrp), 1) << DescribeFaults(k);
  EXPECT_TRUE(AnyFaultMentions(k, Fault::FinalStatusForHeldIrp, "-> iotest#1")) << DescribeFaults(k);
}

VOID NTAPI NeverCalled(PDEVICE_OBJECT, PIRP) {}

TEST(IoVerifierOwnership, IrpPassedDownWithItsCancelRoutineSet) {
  for (bool clearFirst : {false, true}) {
    SCOPED_TRACE(clearFirst ? "cleared before passing on" : "still set");
    sim::Kernel k(Options());
    k.Run([&] {
      TwoDevices s([&](TwoDevices &s, PIRP irp) {
        IoSetCancelRoutine(irp, NeverCalled);  // was queued here a moment
        if (clearFirst) IoSetCancelRoutine(irp, nullptr);
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(s.lower, irp);
      });
      s.lowerD = [](PDEVICE_OBJECT, PIRP irp) {
        IoSetCancelRoutine(irp, nullptr);  // the lower driver takes it over
        return CompleteWith(irp, STATUS_SUCCESS);
      };
      PIRP irp;
      SendOne(s.upper, &irp);
      IoFreeIrp(irp);
    });
    k.Shutdown();
    ASSERT_EQ(CountFaults(k, Fault::IrpSentWithCancelRoutine), clearFirst ? 0 : 1) << DescribeFaults(k);
    EXPECT_EQ(k.Faults().size(), clearFirst ? 0u : 1u) << DescribeFaults(k);
  }
}

// A driver's own PnP or power IRP starts as STATUS_NOT_SUPPORTED; a driver
// passing one on may change the status (only the sender is judged).
TEST(IoVerifierOwnership, PnpAndPowerIrpsSentWithoutNotSupported) {
  struct Case {
    UCHAR major;
    NTSTATUS initial;
    int faults;
  };
  const Case cases[] = {{IRP_MJ_PNP, STATUS_SUCCESS, 1},
                        {IRP_MJ_PNP, STATUS_NOT_SUPPORTED, 0},
                        {IRP_MJ_POWER, STATUS_SUCCESS, 1},
                        {IRP_MJ_POWER, STATUS_NOT_SUPPORTED, 0}};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << (c.major == IRP_MJ_PNP ? "IRP_MJ_PNP" : "IRP_MJ_POWER") << " sent with status 0x" << std::hex << c.initial);
    sim::Kernel k(Options());
    k.Run([&] {
      TwoDevices s([](TwoDevices &s, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_PNP) {
          irp->IoStatus.Status = STATUS_SUCCESS;  // handled here, then passed on
          IoSkipCurrentIrpStackLocation(irp);
          return IoCallDriver(s.lower, irp);
        }
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(s.lower, irp);
      });
      s.lowerD = [](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
        return CompleteWith(irp, irp->IoStatus.Status);
      };
      PIRP irp = IoAllocateIrp(s.upper->StackSize, FALSE);
      irp->IoStatus.Status = c.initial;
      PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
      sp->MajorFunction = c.major;
      sp->MinorFunction = c.major == IRP_MJ_PNP ? IRP_MN_QUERY_CAPABILITIES : IRP_MN_QUERY_POWER;
      IoSetCompletionRoutine(irp, HaltCompletion, nullptr, TRUE, TRUE, TRUE);
      if (c.major == IRP_MJ_PNP) {
        IoCallDriver(s.upper, irp);
      } else {
        PoCallDriver(s.upper, irp);
      }
      IoFreeIrp(irp);
    });
    k.Shutdown();
    ASSERT_EQ(CountFaults(k, Fault::PnpPowerIrpStatusNotSet), c.faults) << DescribeFaults(k);
    EXPECT_EQ(k.Faults().size(), (size_t)c.faults) << DescribeFaults(k);
  }
}

TEST(IoVerifierOwnership, IrpFreedWhileALowerDriverStillHasIt) {
  sim::Kernel k(Options());
  k.Run([] {
    PIRP held = nullptr;
    Dispatch d = [&](PDEVICE_OBJECT, PIRP irp) {
      IoMarkIrpPending(irp);
      held = irp;
      return STATUS_PENDING;
    };
    PIRP irp;
    SendOne(MakeDevice(MakeDriver(), &d), &irp);
    IoFreeIrp(irp);  // too early: refused, the driver below still has it
    CompleteWith(held, STATUS_SUCCESS);
    IoFreeIrp(irp);  // back with its owner now
  });
  k.Shutdown();
  ASSERT_EQ(CountFaults(k, Fault::IrpFreedWhileOwnedBelow), 1) << DescribeFaults(k);
  EXPECT_EQ(k.Faults()[0].routine, "IoFreeIrp");
  EXPECT_EQ(k.Faults().size(), 1u) << DescribeFaults(k);
}

// IoInitializeIrp is for IRPs in the driver's own memory, as often as it
// likes; an IRP of IoAllocateIrp is reused with IoReuseIrp.
TEST(IoVerifierOwnership, IoInitializeIrpOnAnAllocatedIrp) {
  sim::Kernel k(Options());
  k.Run([] {
    PIRP allocated = IoAllocateIrp(2, FALSE);
    IoInitializeIrp(allocated, IoSizeOfIrp(2), 2);
    IoReuseIrp(allocated, STATUS_NOT_SUPPORTED);
    IoFreeIrp(allocated);
    PIRP own = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPool, IoSizeOfIrp(2), sim::pool::TagOf("Irp2")));
    IoInitializeIrp(own, IoSizeOfIrp(2), 2);
    IoInitializeIrp(own, IoSizeOfIrp(2), 2);
    ExFreePool(own);
  });
  k.Shutdown();
  ASSERT_EQ(CountFaults(k, Fault::AllocatedIrpInitialized), 1) << DescribeFaults(k);
  EXPECT_EQ(k.Faults()[0].routine, "IoInitializeIrp");
  EXPECT_EQ(k.Faults().size(), 1u) << DescribeFaults(k);
}

}  // namespace
