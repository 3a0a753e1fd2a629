// IRPs a driver builds with IoBuildDeviceIoControlRequest or
// IoBuildSynchronousFsdRequest belong to the thread that built them: built at
// PASSIVE_LEVEL only, on that thread's IRP list, and finished (status block,
// event, the IRP freed) by a kernel APC in that thread, whoever completes them.
#include "kernel/io_test_util.h"

using namespace io_test;
using sim::Fault;

namespace {

constexpr ULONG kIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x810, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr NTSTATUS kUntouched = 0x0badf00d;

size_t IrpsAllocated() { return sim::pool::Outstanding(sim::pool::TagOf("Irp ")); }

// A device that holds every IRP for the test to complete.
struct HoldingDevice {
  PIRP held = nullptr;
  Dispatch d = [this](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  };
  PDEVICE_OBJECT device = MakeDevice(MakeDriver(), &d);
};

// What the issuer passes to the I/O manager, in memory that outlives it.
struct Request {
  KEVENT event;
  IO_STATUS_BLOCK iosb;
  Request() {
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    iosb.Status = kUntouched;
    iosb.Information = 0;
  }
  // Read without a schedule point: what the issuer would see right now.
  bool Finished() const { return event.Header.SignalState != 0 && iosb.Status != kUntouched; }
  bool Untouched() const { return event.Header.SignalState == 0 && iosb.Status == kUntouched; }
};

PIRP Build(PDEVICE_OBJECT device, Request &r) {
  return IoBuildDeviceIoControlRequest(kIoctl, device, nullptr, 0, nullptr, 0, TRUE, &r.event, &r.iosb);
}

TEST(ThreadIrps, BuiltOnlyAtPassiveLevel) {
  sim::Kernel k(Options());
  k.Run([] {
    Dispatch d = [](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); };
    PDEVICE_OBJECT device = MakeDevice(MakeDriver(), &d);
    for (KIRQL irql : {(KIRQL)PASSIVE_LEVEL, (KIRQL)APC_LEVEL, (KIRQL)DISPATCH_LEVEL}) {
      Request a, b;
      KIRQL old;
      KeRaiseIrql(irql, &old);
      PIRP control = Build(device, a);
      char buffer[4];
      PIRP read = IoBuildSynchronousFsdRequest(IRP_MJ_READ, device, buffer, sizeof buffer, nullptr, &b.event, &b.iosb);
      KeLowerIrql(old);
      IoCallDriver(device, control);
      IoCallDriver(device, read);
    }
  });
  k.Shutdown();
  ASSERT_EQ(CountFaults(k, Fault::IrqlTooHigh), 4) << DescribeFaults(k);
  EXPECT_EQ(k.Faults()[0].routine, "IoBuildDeviceIoControlRequest");
  EXPECT_EQ(k.Faults()[1].routine, "IoBuildSynchronousFsdRequest");
  EXPECT_EQ(k.Faults().size(), 4u) << DescribeFaults(k);
}

TEST(ThreadIrps, BuiltIrpIsOnTheIssuingThreadsList) {
  RunExpectingNoFaults([] {
    HoldingDevice h;
    Request r;
    PIRP irp = Build(h.device, r);
    EXPECT_EQ(irp->Tail.Overlay.Thread, PsGetCurrentThread());
    EXPECT_NE(irp->ThreadListEntry.Flink, &irp->ThreadListEntry) << "not on a thread's IRP list";
    EXPECT_EQ(IoCallDriver(h.device, irp), STATUS_PENDING);
    CompleteWith(h.held, STATUS_SUCCESS);
  });
}

// Another thread completes the IRP at DISPATCH_LEVEL while the issuer waits
// on the IRP's event: the completer sees nothing finished; the issuer's wait
// is interrupted by the APC that finishes the IRP, and then satisfied.
TEST(ThreadIrps, CompletedElsewhereFinishesInTheIssuer) {
  RunExpectingNoFaults([] {
    HoldingDevice h;
    Request r;
    ASSERT_EQ(IoCallDriver(h.device, Build(h.device, r)), STATUS_PENDING);
    sim::CreateThread("completer", [&] {
      DelayMs(5);
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      CompleteWith(h.held, STATUS_SUCCESS, 3);
      EXPECT_TRUE(r.Untouched()) << "finished in the completer's context";
      EXPECT_EQ(IrpsAllocated(), 1u);
      KeLowerIrql(old);
    });
    EXPECT_EQ(KeWaitForSingleObject(&r.event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(r.iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.iosb.Information, 3u);
    EXPECT_EQ(IrpsAllocated(), 0u);
  });
}

// The issuer completing its own IRP at DISPATCH_LEVEL: the APC waits until it
// is below APC_LEVEL, then status block and event appear together.
TEST(ThreadIrps, IssuerAtRaisedIrqlFinishesWhenItLowers) {
  RunExpectingNoFaults([] {
    HoldingDevice h;
    Request r;
    ASSERT_EQ(IoCallDriver(h.device, Build(h.device, r)), STATUS_PENDING);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    CompleteWith(h.held, STATUS_CANCELLED);
    EXPECT_TRUE(r.Untouched());
    KeLowerIrql(APC_LEVEL);
    EXPECT_TRUE(r.Untouched()) << "kernel APCs wait below APC_LEVEL";
    KeLowerIrql(old);
    EXPECT_TRUE(r.Finished());
    EXPECT_EQ(r.iosb.Status, STATUS_CANCELLED);
  });
}

// A wait on something else is interrupted to run the APC and then goes on
// to its own end: here its time-out, not sooner.
TEST(ThreadIrps, InterruptedWaitResumes) {
  RunExpectingNoFaults([] {
    HoldingDevice h;
    Request r;
    ASSERT_EQ(IoCallDriver(h.device, Build(h.device, r)), STATUS_PENDING);
    uint64_t finishedAt = 0;
    sim::CreateThread("completer", [&] {
      DelayMs(10);
      CompleteWith(h.held, STATUS_SUCCESS);
      KeWaitForSingleObject(&r.event, Executive, KernelMode, FALSE, nullptr);
      finishedAt = sim::NowMs();
    });
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = sched_test::RelativeMs(200);
    uint64_t start = sim::NowMs();
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_GE(sim::NowMs() - start, 200u);
    EXPECT_TRUE(r.Finished());
    EXPECT_GT(finishedAt, 0u);
    EXPECT_LT(finishedAt - start, 100u) << "the APC ran during the wait";
  });
}

// A thread that leaves with its IRP outstanding: reported; the IRP finishes
// later without writing to what the thread passed, and is freed.
TEST(ThreadIrps, ThreadEndingWithItsIrpOutstanding) {
  sim::Kernel k(Options());
  k.Run([] {
    HoldingDevice h;
    Request r;
    sim::SimThread *issuer = sim::CreateThread("issuer", [&] { IoCallDriver(h.device, Build(h.device, r)); });
    while (!sim::ThreadFinished(issuer)) DelayMs(1);
    CompleteWith(h.held, STATUS_SUCCESS);
    DelayMs(1);
    EXPECT_TRUE(r.Untouched());
    EXPECT_EQ(IrpsAllocated(), 0u);
  });
  k.Shutdown();
  ASSERT_EQ(CountFaults(k, Fault::ThreadEndedWithIrpPending), 1) << DescribeFaults(k);
  EXPECT_TRUE(AnyFaultMentions(k, Fault::ThreadEndedWithIrpPending, "(issuer)")) << DescribeFaults(k);
  EXPECT_EQ(k.Faults().size(), 1u) << DescribeFaults(k);
}

// The run ends while the issuer waits at APC_LEVEL, where the APC of its
// completed IRP cannot reach it: the kernel finishes the IRP at teardown.
TEST(ThreadIrps, ApcLeftAtTeardownIsRunByTheKernel) {
  sim::Kernel k(Options());
  Request r;
  KEVENT never;
  k.Run([&] {
    HoldingDevice h;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    sim::CreateThread("issuer", [&] {
      IoCallDriver(h.device, Build(h.device, r));
      KIRQL old;
      KeRaiseIrql(APC_LEVEL, &old);
      KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
    });
    DelayMs(5);
    CompleteWith(h.held, STATUS_SUCCESS);
    DelayMs(5);
    EXPECT_TRUE(r.Untouched());
  });
  k.Shutdown();
  EXPECT_TRUE(r.Finished());
  EXPECT_TRUE(k.Faults().empty()) << DescribeFaults(k);
}

}  // namespace
