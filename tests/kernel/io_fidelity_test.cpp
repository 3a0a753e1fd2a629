// Rules of the I/O manager that a driver can break in ways that pass quietly
// unless checked: the end of a driver's own IRP, pending returned against
// what completion saw, IRPs the I/O manager owns, StartIo's IRQL.
#include "kernel/io_test_util.h"

using namespace io_test;
using sim::Fault;

namespace {

NTSTATUS NTAPI ContinueCompletion(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }
NTSTATUS NTAPI HaltCompletion(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

// Sends a driver-allocated IRP whose top completion routine is `routine`.
void SendOwnIrp(PDEVICE_OBJECT device, PIO_COMPLETION_ROUTINE routine) {
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  IoSetCompletionRoutine(irp, routine, nullptr, TRUE, TRUE, TRUE);
  IoCallDriver(device, irp);
  IoFreeIrp(irp);
}

TEST(IoFidelity, OwnIrpMustStopCompletionAtItsTopLocation) {
  for (bool halt : {false, true}) {
    SCOPED_TRACE(halt ? "routine halts completion" : "routine lets completion go on");
    sim::Kernel k(Options());
    k.Run([&] {
      Dispatch d = [](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); };
      PDEVICE_OBJECT device = MakeDevice(MakeDriver(), &d);
      SendOwnIrp(device, halt ? HaltCompletion : ContinueCompletion);
    });
    k.Shutdown();
    if (halt) {
      EXPECT_TRUE(k.Faults().empty()) << DescribeFaults(k);
    } else {
      ASSERT_EQ(k.Faults().size(), 1u) << DescribeFaults(k);
      EXPECT_EQ(k.Faults()[0].routine, "IofCompleteRequest");
      EXPECT_TRUE(AnyFaultMentions(k, Fault::InvalidParameter, "STATUS_MORE_PROCESSING_REQUIRED")) << DescribeFaults(k);
    }
  }
}

TEST(IoFidelity, MarkedPendingButFinalStatusReturnedAfterCompletion) {
  sim::Kernel k(Options());
  k.Run([] {
    Dispatch d = [](PDEVICE_OBJECT, PIRP irp) {
      IoMarkIrpPending(irp);
      CompleteWith(irp, STATUS_SUCCESS);
      return STATUS_SUCCESS;  // must be STATUS_PENDING once marked
    };
    SendOwnIrp(MakeDevice(MakeDriver(), &d), HaltCompletion);
  });
  k.Shutdown();
  EXPECT_EQ(CountFaults(k, Fault::MarkedNotPending), 1) << DescribeFaults(k);
  EXPECT_EQ(k.Faults().size(), 1u) << DescribeFaults(k);
}

// A filter without a completion routine inherits the lower driver's pending
// mark, so it must return what IoCallDriver returned.
TEST(IoFidelity, PassThroughMustReturnTheLowerDriversPending) {
  for (bool faithful : {true, false}) {
    SCOPED_TRACE(faithful ? "returns IoCallDriver's status" : "returns STATUS_SUCCESS");
    sim::Kernel k(Options());
    k.Run([&] {
      PDRIVER_OBJECT driver = MakeDriver();
      PDEVICE_OBJECT lower = nullptr;
      Dispatch lowerD = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        CompleteWith(irp, STATUS_SUCCESS);
        return STATUS_PENDING;
      };
      Dispatch upperD = [&](PDEVICE_OBJECT, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS s = IoCallDriver(lower, irp);
        return faithful ? s : STATUS_SUCCESS;
      };
      lower = MakeDevice(driver, &lowerD);
      PDEVICE_OBJECT upper = MakeDevice(driver, &upperD);
      IoAttachDeviceToDeviceStack(upper, lower);
      SendOwnIrp(upper, HaltCompletion);
    });
    k.Shutdown();
    EXPECT_EQ(CountFaults(k, Fault::MarkedNotPending), faithful ? 0 : 1) << DescribeFaults(k);
    EXPECT_EQ(k.Faults().size(), faithful ? 0u : 1u) << DescribeFaults(k);
  }
}

TEST(IoFidelity, BuiltIrpIsNeverFreedByTheDriver) {
  sim::Kernel k(Options());
  k.Run([] {
    Dispatch d = [](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); };
    PDEVICE_OBJECT device = MakeDevice(MakeDriver(), &d);
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    PIRP irp = IoBuildDeviceIoControlRequest(0x222003, device, nullptr, 0, nullptr, 0, TRUE, &e, &iosb);
    IoFreeIrp(irp);  // instead of sending it
    IoCallDriver(device, irp);
  });
  k.Shutdown();
  EXPECT_EQ(CountFaults(k, Fault::BadPoolFree), 1) << DescribeFaults(k);
  EXPECT_TRUE(AnyFaultMentions(k, Fault::BadPoolFree, "never IoFreeIrp")) << DescribeFaults(k);
  EXPECT_EQ(k.Faults().size(), 1u) << DescribeFaults(k);
}

struct QueueDriver {
  int started = 0;
  KIRQL startIrql = PASSIVE_LEVEL;
};
QueueDriver *g_queue = nullptr;

VOID NTAPI CountingStartIo(PDEVICE_OBJECT, PIRP irp) {
  ++g_queue->started;
  g_queue->startIrql = KeGetCurrentIrql();
  CompleteWith(irp, STATUS_SUCCESS);
}

TEST(IoFidelity, StartNextPacketWantsDispatchLevel) {
  for (bool raise : {true, false}) {
    SCOPED_TRACE(raise ? "at DISPATCH_LEVEL" : "at PASSIVE_LEVEL");
    sim::Kernel k(Options());
    QueueDriver q;
    g_queue = &q;
    k.Run([&] {
      Dispatch d = [](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); };
      PDRIVER_OBJECT driver = MakeDriver();
      driver->DriverStartIo = CountingStartIo;
      PDEVICE_OBJECT device = MakeDevice(driver, &d);
      KIRQL old = PASSIVE_LEVEL;
      if (raise) KeRaiseIrql(DISPATCH_LEVEL, &old);
      IoStartNextPacket(device, FALSE);
      if (raise) KeLowerIrql(old);
    });
    k.Shutdown();
    g_queue = nullptr;
    ASSERT_EQ(k.Faults().size(), raise ? 0u : 1u) << DescribeFaults(k);
    if (!raise) {
      EXPECT_EQ(k.Faults()[0].routine, "IoStartNextPacket");
    }
  }
}

struct SelfDelete {
  PIO_WORKITEM item;
  bool ran = false;
};

VOID NTAPI DeleteOwnDevice(PDEVICE_OBJECT device, PVOID context) {
  auto *s = static_cast<SelfDelete *>(context);
  IoFreeWorkItem(s->item);
  IoDeleteDevice(device);
  s->ran = true;
}

// The I/O manager holds the device while the item's routine runs, so the
// routine may delete it.
TEST(IoFidelity, WorkItemRoutineMayDeleteItsOwnDevice) {
  sim::Kernel k(Options());
  SelfDelete s;
  k.Run([&] {
    PDEVICE_OBJECT device;
    ASSERT_EQ(IoCreateDevice(MakeDriver(), 16, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    s.item = IoAllocateWorkItem(device);
    IoQueueWorkItem(s.item, DeleteOwnDevice, DelayedWorkQueue, &s);
    DelayMs(10);
  });
  k.Shutdown();
  EXPECT_TRUE(s.ran);
  EXPECT_TRUE(k.Faults().empty()) << DescribeFaults(k);
}

}  // namespace
