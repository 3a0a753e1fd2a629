// The user-mode entry: handles on devices, buffered requests built as the
// I/O manager builds them, synchronous and overlapped, cancel and close.
#include "kernel/io_test_util.h"
#include "sim/kernel/ntapi.h"

using namespace io_test;
using sim::Fault;

namespace {

constexpr ULONG kIoctl = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x20, METHOD_BUFFERED, FILE_ANY_ACCESS);

// A buffered device at \Device\Port0, reachable as \DosDevices\PORT0, that
// records what reaches it.
struct Port {
  std::vector<UCHAR> majors;
  std::vector<PIRP> held;
  bool pendReads = false;
  Dispatch dispatch;
  PDEVICE_OBJECT device = nullptr;

  explicit Port(BOOLEAN exclusive = FALSE) {
    dispatch = [this](PDEVICE_OBJECT, PIRP irp) { return Handle(irp); };
    device = MakeDevice(MakeDriver(), &dispatch, L"\\Device\\Port0", DO_BUFFERED_IO, exclusive);
    UNICODE_STRING link, name;
    RtlInitUnicodeString(&link, L"\\DosDevices\\PORT0");
    RtlInitUnicodeString(&name, L"\\Device\\Port0");
    EXPECT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
  }

  NTSTATUS Handle(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    majors.push_back(sp->MajorFunction);
    EXPECT_NE(sp->FileObject, nullptr);
    EXPECT_EQ(irp->Tail.Overlay.Thread, PsGetCurrentThread());
    switch (sp->MajorFunction) {
      case IRP_MJ_READ: {
        EXPECT_EQ(irp->Flags & (IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | IRP_INPUT_OPERATION),
                  (ULONG)(IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | IRP_INPUT_OPERATION));
        memcpy(irp->AssociatedIrp.SystemBuffer, "abc", 3);
        if (pendReads) {
          IoMarkIrpPending(irp);
          IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP i) NTAPI {
            IoReleaseCancelSpinLock(i->CancelIrql);
            CompleteWith(i, STATUS_CANCELLED);
          });
          held.push_back(irp);
          return STATUS_PENDING;
        }
        return CompleteWith(irp, STATUS_SUCCESS, 3);
      }
      case IRP_MJ_WRITE:
        EXPECT_EQ(memcmp(irp->AssociatedIrp.SystemBuffer, "hello", 5), 0);
        return CompleteWith(irp, STATUS_SUCCESS, sp->Parameters.Write.Length);
      case IRP_MJ_DEVICE_CONTROL: {
        EXPECT_EQ(sp->Parameters.DeviceIoControl.IoControlCode, kIoctl);
        EXPECT_EQ(sp->Parameters.DeviceIoControl.InputBufferLength, 2u);
        EXPECT_EQ(sp->Parameters.DeviceIoControl.OutputBufferLength, 6u);
        auto *buf = static_cast<char *>(irp->AssociatedIrp.SystemBuffer);
        EXPECT_EQ(memcmp(buf, "in", 2), 0);  // input and output share one buffer
        memcpy(buf, "output", 6);
        return CompleteWith(irp, STATUS_SUCCESS, 4);
      }
      default:
        return CompleteWith(irp, STATUS_SUCCESS);
    }
  }

  // Completes one held read, as the device does when data arrives.
  void CompleteHeld() {
    PIRP irp = held.front();
    held.erase(held.begin());
    if (IoSetCancelRoutine(irp, nullptr)) CompleteWith(irp, STATUS_SUCCESS, 3);
  }
};

// Opens a handle for reading by name, the way a program's CreateFile does.
NTSTATUS OpenForReading(HANDLE *h, const WCHAR *name, bool overlapped) {
  IO_STATUS_BLOCK iosb;
  return sim::NtCreateFile(h, GENERIC_READ, name, &iosb, overlapped);
}

// An overlapped read of four bytes with an event of its own.
struct OverlappedRead {
  KEVENT event;
  char in[4] = {};
  IO_STATUS_BLOCK iosb{};

  explicit OverlappedRead(BOOLEAN signalled = FALSE) { KeInitializeEvent(&event, NotificationEvent, signalled); }
  NTSTATUS Start(HANDLE h) { return sim::NtReadFile(h, &event, &iosb, in, sizeof in); }
  bool Signalled() { return KeReadStateEvent(&event) != 0; }
};

TEST(NtApi, SynchronousRequestsReachTheDeviceAndCopyBack) {
  RunExpectingNoFaults([] {
    Port port;
    HANDLE h;
    IO_STATUS_BLOCK iosb;
    ASSERT_EQ(sim::NtCreateFile(&h, GENERIC_READ | GENERIC_WRITE, L"\\??\\port0", &iosb, false), STATUS_SUCCESS);
    char in[8];
    memset(in, '-', sizeof in);
    EXPECT_EQ(sim::NtReadFile(h, nullptr, &iosb, in, sizeof in), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 3u);
    EXPECT_EQ(std::string(in, 8), "abc-----");
    EXPECT_EQ(sim::NtWriteFile(h, nullptr, &iosb, "hello", 5), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 5u);
    char out[6];
    memset(out, '-', sizeof out);
    EXPECT_EQ(sim::NtDeviceIoControlFile(h, nullptr, &iosb, kIoctl, "in", 2, out, sizeof out), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 4u);
    EXPECT_EQ(std::string(out, 6), "outp--");
    EXPECT_EQ(sim::NtClose(h), STATUS_SUCCESS);
    EXPECT_EQ(port.majors, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL,
                                                IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_EQ(sim::NtClose(h), STATUS_INVALID_HANDLE);
  });
}

TEST(NtApi, OverlappedReadPendsAndCompletionSetsTheEvent) {
  RunExpectingNoFaults([] {
    Port port;
    port.pendReads = true;
    HANDLE h;
    ASSERT_EQ(OpenForReading(&h, L"\\DosDevices\\PORT0", true), STATUS_SUCCESS);
    OverlappedRead read(TRUE);
    EXPECT_EQ(read.Start(h), STATUS_PENDING);
    EXPECT_FALSE(read.Signalled());
    EXPECT_EQ(sim::NtReadFile(h, nullptr, &read.iosb, read.in, sizeof read.in), STATUS_INVALID_PARAMETER);
    port.CompleteHeld();
    EXPECT_TRUE(read.Signalled());
    EXPECT_EQ(read.iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(read.iosb.Information, 3u);
    EXPECT_EQ(std::string(read.in, 3), "abc");
    EXPECT_EQ(sim::NtClose(h), STATUS_SUCCESS);
  });
}

TEST(NtApi, EventObjectClosedWhileARequestNamesItLivesUntilTheRequestCompletes) {
  sim::Kernel k(Options());
  k.Run([] {
    Port port;
    port.pendReads = true;
    HANDLE h;
    ASSERT_EQ(OpenForReading(&h, L"\\??\\PORT0", true), STATUS_SUCCESS);
    PKEVENT event = sim::NtCreateEvent(NotificationEvent, TRUE);
    IO_STATUS_BLOCK iosb;
    char in[4];
    EXPECT_EQ(sim::NtReadFile(h, event, &iosb, in, sizeof in), STATUS_PENDING);
    EXPECT_EQ(sim::NtCloseEvent(event), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(event), 0);  // cleared for the request, and still there
    port.CompleteHeld();
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    // Gone with the request's reference: no handle to close, and the kernel
    // reports a use (without touching the freed memory).
    EXPECT_EQ(sim::NtCloseEvent(event), STATUS_INVALID_HANDLE);
    KeReadStateEvent(event);
    EXPECT_EQ(sim::NtClose(h), STATUS_SUCCESS);
  });
  k.Shutdown();
  ASSERT_EQ(k.Faults().size(), 1u) << DescribeFaults(k);
  EXPECT_EQ(k.Faults()[0].kind, Fault::EventNotInitialized);
  EXPECT_EQ(k.Faults()[0].routine, "KeReadStateEvent");
}

TEST(NtApi, CancelIoCancelsTheCallersRequestsOnly) {
  RunExpectingNoFaults([] {
    Port port;
    port.pendReads = true;
    HANDLE h;
    ASSERT_EQ(OpenForReading(&h, L"\\??\\PORT0", true), STATUS_SUCCESS);
    OverlappedRead mine, theirs;
    KEVENT otherStarted, otherMayEnd;
    KeInitializeEvent(&otherStarted, NotificationEvent, FALSE);
    KeInitializeEvent(&otherMayEnd, NotificationEvent, FALSE);
    EXPECT_EQ(mine.Start(h), STATUS_PENDING);
    // The other thread stays: an ending thread's requests are cancelled too.
    sim::SimThread *other = sim::CreateThread("other", [&] {
      EXPECT_EQ(theirs.Start(h), STATUS_PENDING);
      KeSetEvent(&otherStarted, IO_NO_INCREMENT, FALSE);
      KeWaitForSingleObject(&otherMayEnd, Executive, KernelMode, FALSE, nullptr);
    });
    KeWaitForSingleObject(&otherStarted, Executive, KernelMode, FALSE, nullptr);
    IO_STATUS_BLOCK iosb;
    EXPECT_EQ(sim::NtCancelIoFile(h, &iosb), STATUS_SUCCESS);
    EXPECT_TRUE(mine.Signalled());
    EXPECT_EQ(mine.iosb.Status, STATUS_CANCELLED);
    EXPECT_FALSE(theirs.Signalled());
    port.held.erase(port.held.begin());  // the cancelled one
    port.CompleteHeld();
    EXPECT_EQ(theirs.iosb.Status, STATUS_SUCCESS);
    KeSetEvent(&otherMayEnd, IO_NO_INCREMENT, FALSE);
    while (!sim::ThreadFinished(other)) DelayMs(1);
    EXPECT_EQ(sim::NtClose(h), STATUS_SUCCESS);
  });
}

// An ending thread's requests are cancelled as the thread runs down, and
// the thread ends once they have.
TEST(NtApi, AThreadsEndCancelsItsRequests) {
  RunExpectingNoFaults([] {
    Port port;
    port.pendReads = true;
    HANDLE h;
    ASSERT_EQ(OpenForReading(&h, L"\\??\\PORT0", true), STATUS_SUCCESS);
    OverlappedRead theirs;
    sim::SimThread *other = sim::CreateThread("other", [&] { EXPECT_EQ(theirs.Start(h), STATUS_PENDING); });
    while (!sim::ThreadFinished(other)) DelayMs(1);
    EXPECT_TRUE(theirs.Signalled());
    EXPECT_EQ(theirs.iosb.Status, STATUS_CANCELLED);
    EXPECT_EQ(sim::NtClose(h), STATUS_SUCCESS);
  });
}

TEST(NtApi, CloseWaitsForRequestsStillHoldingTheFile) {
  RunExpectingNoFaults([] {
    Port port;
    port.pendReads = true;
    HANDLE h;
    ASSERT_EQ(OpenForReading(&h, L"\\??\\PORT0", true), STATUS_SUCCESS);
    OverlappedRead read;
    EXPECT_EQ(read.Start(h), STATUS_PENDING);
    EXPECT_EQ(sim::NtClose(h), STATUS_SUCCESS);
    EXPECT_EQ(port.majors.back(), IRP_MJ_CLEANUP);
    port.CompleteHeld();
    KeWaitForSingleObject(&read.event, Executive, KernelMode, FALSE, nullptr);
    DelayMs(1);  // the close goes from a thread of its own
    EXPECT_EQ(port.majors.back(), IRP_MJ_CLOSE);
    EXPECT_EQ(port.device->ReferenceCount, 0);
  });
}

TEST(NtApi, OpenRulesOfTheNamespaceAndDeviceFlags) {
  RunExpectingNoFaults([] {
    Port port(TRUE);
    HANDLE h, h2;
    IO_STATUS_BLOCK iosb;
    EXPECT_EQ(sim::NtCreateFile(&h, GENERIC_READ, L"\\??\\PORT9", &iosb, false), STATUS_OBJECT_NAME_NOT_FOUND);
    port.device->Flags |= DO_DEVICE_INITIALIZING;
    EXPECT_EQ(sim::NtCreateFile(&h, GENERIC_READ, L"\\??\\PORT0", &iosb, false), STATUS_NO_SUCH_DEVICE);
    port.device->Flags &= ~DO_DEVICE_INITIALIZING;
    ASSERT_EQ(sim::NtCreateFile(&h, GENERIC_READ, L"\\Device\\Port0", &iosb, false), STATUS_SUCCESS);
    EXPECT_EQ(sim::NtCreateFile(&h2, GENERIC_READ, L"\\??\\PORT0", &iosb, false), STATUS_ACCESS_DENIED);
    EXPECT_EQ(sim::NtClose(h), STATUS_SUCCESS);
    ASSERT_EQ(sim::NtCreateFile(&h2, GENERIC_READ, L"\\??\\PORT0", &iosb, false), STATUS_SUCCESS);
    EXPECT_EQ(sim::NtClose(h2), STATUS_SUCCESS);
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, L"\\??\\PORT0");
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
    EXPECT_EQ(sim::internal::LookupDevice(L"\\DosDevices\\PORT0"), nullptr);
    EXPECT_EQ(sim::internal::LookupDevice(L"\\Device\\Port0"), port.device);
  });
}

TEST(NtApi, DeletedDeviceStaysUntilItsLastFileCloses) {
  RunExpectingNoFaults([] {
    Port port;
    HANDLE h;
    ASSERT_EQ(OpenForReading(&h, L"\\??\\PORT0", false), STATUS_SUCCESS);
    IoDeleteDevice(port.device);
    EXPECT_EQ(sim::internal::LookupDevice(L"\\Device\\Port0"), nullptr);
    EXPECT_EQ(sim::NtClose(h), STATUS_SUCCESS);  // cleanup and close still reach the driver
    EXPECT_EQ(port.majors.back(), IRP_MJ_CLOSE);
  });
}

TEST(NtApi, HandleLeftOpenIsReported) {
  sim::Kernel k(Options());
  k.Run([] {
    static Port *port = new Port;  // outlives the run: its device is still open at teardown
    (void)port;
    HANDLE h;
    ASSERT_EQ(OpenForReading(&h, L"\\??\\PORT0", false), STATUS_SUCCESS);
  });
  k.Shutdown();
  EXPECT_EQ(CountFaults(k, Fault::HandleLeak), 1) << DescribeFaults(k);
}

}  // namespace
