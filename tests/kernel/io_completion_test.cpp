// Completion as Windows does it: routines bottom-up by their invoke flags,
// STATUS_MORE_PROCESSING_REQUIRED halting it, PendingReturned carried up.
#include "kernel/io_test_util.h"

using namespace io_test;
using sim::Fault;

namespace {

struct Seen {
  std::string label;
  PDEVICE_OBJECT device;
  BOOLEAN pendingReturned;
};
std::vector<Seen> g_seen;

struct Routine {
  std::string label;
  NTSTATUS result = STATUS_SUCCESS;
  bool propagatePending = true;
};

NTSTATUS NTAPI Record(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto *r = static_cast<Routine *>(context);
  g_seen.push_back({r->label, device, irp->PendingReturned});
  if (r->propagatePending && irp->PendingReturned && r->result != STATUS_MORE_PROCESSING_REQUIRED)
    IoMarkIrpPending(irp);
  return r->result;
}

// Three devices, top to bottom A, B, C; A and B hook completion with the
// flags given, C runs `bottom` (by default it completes with success). Each
// stack starts a fresh record of the routines seen.
struct Stack {
  PDRIVER_OBJECT driver = MakeDriver();
  PDEVICE_OBJECT a = nullptr, b = nullptr, c = nullptr;
  Routine ra{"A"}, rb{"B"}, origin{"origin", STATUS_MORE_PROCESSING_REQUIRED};
  bool aSuccess = true, aError = true, aCancel = true;
  bool bSuccess = true, bError = true, bCancel = true;
  Dispatch da, db, dc;
  std::function<NTSTATUS(PIRP)> bottom;

  Stack() {
    g_seen.clear();
    bottom = [](PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); };
    da = [this](PDEVICE_OBJECT, PIRP irp) {
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, Record, &ra, aSuccess, aError, aCancel);
      return IoCallDriver(b, irp);
    };
    db = [this](PDEVICE_OBJECT, PIRP irp) {
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, Record, &rb, bSuccess, bError, bCancel);
      return IoCallDriver(c, irp);
    };
    dc = [this](PDEVICE_OBJECT, PIRP irp) { return bottom(irp); };
    c = MakeDevice(driver, &dc);
    b = MakeDevice(driver, &db);
    a = MakeDevice(driver, &da);
    IoAttachDeviceToDeviceStack(b, c);
    IoAttachDeviceToDeviceStack(a, c);
  }

  PIRP Send(NTSTATUS *returned) {
    PIRP irp = IoAllocateIrp(a->StackSize, FALSE);
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, Record, &origin, TRUE, TRUE, TRUE);
    *returned = IoCallDriver(a, irp);
    return irp;
  }
};

std::vector<std::string> Labels() {
  std::vector<std::string> out;
  for (auto &s : g_seen) out.push_back(s.label);
  return out;
}

TEST(IoCompletion, AllocatedIrpHasItsStackLocationsAfterIt) {
  RunExpectingNoFaults([] {
    PIRP irp = IoAllocateIrp(3, FALSE);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->StackCount, 3);
    EXPECT_EQ(irp->CurrentLocation, 4);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp), reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + 2);
    EXPECT_EQ(irp->Size, IoSizeOfIrp(3));
    IoFreeIrp(irp);
  });
}

TEST(IoCompletion, RoutinesRunBottomUpByTheirInvokeFlags) {
  struct Case {
    NTSTATUS status;
    bool cancel;
    bool aSuccess, aError, aCancel, bSuccess, bError, bCancel;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {STATUS_SUCCESS, false, true, true, true, true, true, true, {"B", "A", "origin"}},
      {STATUS_SUCCESS, false, true, false, false, false, true, false, {"A", "origin"}},
      {STATUS_UNSUCCESSFUL, false, true, false, false, false, true, false, {"B", "origin"}},
      {STATUS_SUCCESS, true, false, false, true, false, false, false, {"A", "origin"}},
      {STATUS_CANCELLED, true, false, false, true, false, true, false, {"B", "A", "origin"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "status " << std::hex << c.status << " cancel " << c.cancel);
    RunExpectingNoFaults([&] {
      Stack s;
      s.aSuccess = c.aSuccess, s.aError = c.aError, s.aCancel = c.aCancel;
      s.bSuccess = c.bSuccess, s.bError = c.bError, s.bCancel = c.bCancel;
      s.bottom = [&](PIRP irp) {
        if (c.cancel) {
          EXPECT_FALSE(IoCancelIrp(irp));  // no cancel routine: only the flag is set
        }
        return CompleteWith(irp, c.status);
      };
      NTSTATUS returned;
      PIRP irp = s.Send(&returned);
      EXPECT_EQ(returned, c.status);
      EXPECT_EQ(Labels(), c.expected);
      // The device passed to a routine is the one that set it; the originator gets none.
      for (auto &seen : g_seen) {
        if (seen.label == "A") {
          EXPECT_EQ(seen.device, s.a);
        } else if (seen.label == "B") {
          EXPECT_EQ(seen.device, s.b);
        } else if (seen.label == "origin") {
          EXPECT_EQ(seen.device, nullptr);
        }
      }
      IoFreeIrp(irp);
    });
  }
}

TEST(IoCompletion, MoreProcessingRequiredHaltsAndALaterCompletionResumes) {
  RunExpectingNoFaults([] {
    Stack s;
    s.rb.result = STATUS_MORE_PROCESSING_REQUIRED;
    // B's routine takes the IRP back to finish it later, so B's dispatch
    // returns STATUS_PENDING rather than the lower driver's status.
    s.db = [&s](PDEVICE_OBJECT, PIRP irp) {
      IoMarkIrpPending(irp);
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, Record, &s.rb, TRUE, TRUE, TRUE);
      IoCallDriver(s.c, irp);
      return STATUS_PENDING;
    };
    s.bottom = [](PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS, 7); };
    NTSTATUS returned;
    PIRP irp = s.Send(&returned);
    EXPECT_EQ(Labels(), std::vector<std::string>{"B"});
    // B takes the IRP back and finishes it: completion goes on from B's location.
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(Labels(), (std::vector<std::string>{"B", "A", "origin"}));
    EXPECT_EQ(irp->IoStatus.Information, 7u);
    IoFreeIrp(irp);
  });
}

TEST(IoCompletion, PendingReturnedPropagatesUpTheStack) {
  RunExpectingNoFaults([] {
    Stack s;
    PIRP held = nullptr;
    // B passes the IRP down without a routine of its own.
    s.db = PassDown(&s.c);
    s.bottom = [&](PIRP irp) {
      IoMarkIrpPending(irp);
      held = irp;
      return STATUS_PENDING;
    };
    NTSTATUS returned;
    PIRP irp = s.Send(&returned);
    EXPECT_EQ(returned, STATUS_PENDING);
    EXPECT_TRUE(g_seen.empty());
    CompleteWith(held, STATUS_SUCCESS);
    ASSERT_EQ(Labels(), (std::vector<std::string>{"A", "origin"}));
    EXPECT_TRUE(g_seen[0].pendingReturned);
    EXPECT_TRUE(g_seen[1].pendingReturned);
    IoFreeIrp(irp);
  });
}

TEST(IoCompletion, SynchronousCompletionLeavesPendingReturnedClear) {
  RunExpectingNoFaults([] {
    Stack s;
    NTSTATUS returned;
    PIRP irp = s.Send(&returned);
    ASSERT_EQ(g_seen.size(), 3u);
    for (auto &seen : g_seen) EXPECT_FALSE(seen.pendingReturned) << seen.label;
    IoFreeIrp(irp);
  });
}

TEST(IoCompletion, ReusedIrpStartsOver) {
  RunExpectingNoFaults([] {
    Stack s;
    NTSTATUS returned;
    PIRP irp = s.Send(&returned);
    IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, Record, &s.origin, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(s.a, irp), STATUS_SUCCESS);
    EXPECT_EQ(g_seen.size(), 6u);
    IoFreeIrp(irp);
  });
}

}  // namespace
