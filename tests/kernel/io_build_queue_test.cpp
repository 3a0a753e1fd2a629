// IRPs the I/O manager builds for drivers, and the StartIo device queue.
#include "kernel/io_test_util.h"

using namespace io_test;
using sim::Fault;

namespace {

constexpr ULONG kBufferedIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kNeitherIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_NEITHER, FILE_ANY_ACCESS);

TEST(IoBuild, DeviceIoControlRequestSetsEventStatusBlockAndIsFreed) {
  for (bool pend : {false, true}) {
    SCOPED_TRACE(pend ? "pending" : "synchronous");
    RunExpectingNoFaults([&] {
      PIRP held = nullptr;
      Dispatch d = [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(sp->MajorFunction, IRP_MJ_DEVICE_CONTROL);
        EXPECT_EQ(sp->Parameters.DeviceIoControl.IoControlCode, kBufferedIoctl);
        EXPECT_EQ(sp->Parameters.DeviceIoControl.InputBufferLength, 4u);
        EXPECT_EQ(sp->Parameters.DeviceIoControl.OutputBufferLength, 8u);
        char *buf = static_cast<char *>(irp->AssociatedIrp.SystemBuffer);
        EXPECT_EQ(memcmp(buf, "ping", 4), 0);
        memcpy(buf, "pongpong", 8);
        irp->IoStatus.Information = 6;
        if (!pend) return CompleteWith(irp, STATUS_SUCCESS, 6);
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
      };
      PDEVICE_OBJECT device = MakeDevice(MakeDriver(), &d);
      KEVENT event;
      KeInitializeEvent(&event, NotificationEvent, FALSE);
      IO_STATUS_BLOCK iosb{};
      char out[8];
      memset(out, '-', sizeof out);
      PIRP irp = IoBuildDeviceIoControlRequest(kBufferedIoctl, device, (PVOID) "ping", 4, out, 8, FALSE, &event, &iosb);
      ASSERT_NE(irp, nullptr);
      EXPECT_EQ(irp->Flags & (IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | IRP_INPUT_OPERATION),
                (ULONG)(IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | IRP_INPUT_OPERATION));
      NTSTATUS status = IoCallDriver(device, irp);
      if (pend) {
        EXPECT_EQ(status, STATUS_PENDING);
        EXPECT_FALSE(KeReadStateEvent(&event));
        sim::CreateThread("completer", [&] { CompleteWith(held, STATUS_SUCCESS, 6); });
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      }
      EXPECT_TRUE(KeReadStateEvent(&event));
      EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
      EXPECT_EQ(iosb.Information, 6u);
      EXPECT_EQ(std::string(out, 8), "pongpo--");  // Information bytes, no more
      EXPECT_EQ(sim::pool::Outstanding(sim::pool::TagOf("Irp ")), 0u);
      EXPECT_EQ(sim::pool::Outstanding(sim::pool::TagOf("IoSb")), 0u);
    });
  }
}

TEST(IoBuild, InternalNeitherRequestPassesTheCallersBuffers) {
  RunExpectingNoFaults([] {
    int urb = 42;
    Dispatch d = [&](PDEVICE_OBJECT, PIRP irp) {
      PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
      EXPECT_EQ(sp->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
      EXPECT_EQ(sp->Parameters.DeviceIoControl.Type3InputBuffer, &urb);
      EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, nullptr);
      return CompleteWith(irp, STATUS_SUCCESS);
    };
    PDEVICE_OBJECT device = MakeDevice(MakeDriver(), &d);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    PIRP irp = IoBuildDeviceIoControlRequest(kNeitherIoctl, device, &urb, 0, nullptr, 0, TRUE, &event, &iosb);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  });
}

TEST(IoBuild, BuiltIrpIsFreedAfterCompletionEvenWhenTheCallerHaltsIt) {
  RunExpectingNoFaults([] {
    Dispatch d = [](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); };
    PDEVICE_OBJECT device = MakeDevice(MakeDriver(), &d);
    PDEVICE_OBJECT top = MakeDevice(MakeDriver(), &d);
    IoAttachDeviceToDeviceStack(top, device);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    // A caller that halts completion to look at the IRP, then lets the I/O manager finish it.
    PIRP irp = IoBuildDeviceIoControlRequest(kNeitherIoctl, top, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    IoSetCompletionRoutine(
        irp, [](PDEVICE_OBJECT, PIRP, PVOID) NTAPI -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; }, nullptr, TRUE,
        TRUE, TRUE);
    IoCallDriver(top, irp);
    EXPECT_FALSE(KeReadStateEvent(&event));
    EXPECT_EQ(sim::pool::Outstanding(sim::pool::TagOf("Irp ")), 1u);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_TRUE(KeReadStateEvent(&event));
    EXPECT_EQ(sim::pool::Outstanding(sim::pool::TagOf("Irp ")), 0u);
  });
}

// ---- device queue
struct StartIoLog {
  std::vector<ULONG> started;
  std::vector<KIRQL> irqls;
  int running = 0;
  int maxRunning = 0;
};
StartIoLog *g_log;

VOID NTAPI RecordStartIo(PDEVICE_OBJECT device, PIRP irp) {
  g_log->started.push_back(IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Key);
  g_log->irqls.push_back(KeGetCurrentIrql());
  EXPECT_EQ(device->CurrentIrp, irp);
  g_log->maxRunning = std::max(g_log->maxRunning, ++g_log->running);
}

TEST(IoQueue, StartIoRunsOneAtATimeAtDispatchLevelInOrder) {
  StartIoLog log;
  g_log = &log;
  sim::Kernel k(Options());
  k.Run([&] {
    bool keyed = false;
    Dispatch d = [&](PDEVICE_OBJECT device, PIRP irp) {
      IoMarkIrpPending(irp);
      ULONG key = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Key;
      IoStartPacket(device, irp, keyed ? &key : nullptr, nullptr);
      return STATUS_PENDING;
    };
    PDRIVER_OBJECT driver = MakeDriver();
    driver->DriverStartIo = RecordStartIo;
    PDEVICE_OBJECT device = MakeDevice(driver, &d);
    std::vector<PIRP> irps;
    auto send = [&](ULONG key) {
      PIRP irp = IoAllocateIrp(1, FALSE);
      PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
      sp->MajorFunction = IRP_MJ_READ;
      sp->Parameters.Read.Key = key;
      IoSetCompletionRoutine(
          irp, [](PDEVICE_OBJECT, PIRP, PVOID) NTAPI -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; }, nullptr,
          TRUE, TRUE, TRUE);
      EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
      irps.push_back(irp);
    };
    auto finishCurrent = [&] {
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      PIRP irp = device->CurrentIrp;
      --log.running;
      CompleteWith(irp, STATUS_SUCCESS);
      IoStartNextPacket(device, FALSE);
      KeLowerIrql(old);
    };
    send(1);
    send(2);
    send(3);
    EXPECT_EQ(log.started, std::vector<ULONG>{1});
    finishCurrent();
    finishCurrent();
    finishCurrent();
    EXPECT_EQ(log.started, (std::vector<ULONG>{1, 2, 3}));
    EXPECT_FALSE(device->DeviceQueue.Busy);
    EXPECT_EQ(device->CurrentIrp, nullptr);
    // Keyed packets queue by key behind the one running.
    keyed = true;
    send(9);
    send(7);
    send(8);
    finishCurrent();
    finishCurrent();
    finishCurrent();
    EXPECT_EQ(log.started, (std::vector<ULONG>{1, 2, 3, 9, 7, 8}));
    for (PIRP irp : irps) IoFreeIrp(irp);
  });
  k.Shutdown();
  EXPECT_EQ(log.maxRunning, 1);
  for (KIRQL irql : log.irqls) EXPECT_EQ(irql, DISPATCH_LEVEL);
  EXPECT_TRUE(k.Faults().empty()) << DescribeFaults(k);
}

}  // namespace
