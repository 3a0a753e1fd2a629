// IRP allocation and the registry of live IRPs: completion and freeing are
// judged against it, never against memory that may already be freed.
#include <algorithm>

#include "io_private.h"

namespace sim {
namespace io {
namespace {

constexpr CSHORT kIoTypeIrp = 6;

struct IrpRegistry {
  std::unordered_map<const IRP *, std::shared_ptr<IrpRecord>> live;
  uint64_t serial = 0;
};

IrpRegistry &Irps() {
  static IrpRegistry *r = new IrpRegistry;
  return *r;
}

void Initialize(PIRP irp, USHORT packetSize, CCHAR stackSize, UCHAR allocationFlags) {
  memset(irp, 0, packetSize);
  irp->Type = kIoTypeIrp;
  irp->Size = packetSize;
  irp->StackCount = stackSize;
  irp->CurrentLocation = (CHAR)(stackSize + 1);
  irp->AllocationFlags = allocationFlags;
  InitializeListHead(&irp->ThreadListEntry);
  irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
}

std::shared_ptr<IrpRecord> Register(PIRP irp, IrpOrigin origin) {
  auto rec = std::make_shared<IrpRecord>();
  rec->serial = ++Irps().serial;
  rec->origin = origin;
  Irps().live[irp] = rec;
  return rec;
}

}  // namespace

PIRP AllocateIrp(CCHAR stackSize, IrpOrigin origin, bool system) {
  if (stackSize < 1) {
    ReportFault(Fault::InvalidParameter, "IoAllocateIrp", "stack size " + std::to_string(stackSize));
    return nullptr;
  }
  USHORT size = IoSizeOfIrp(stackSize);
  PIRP irp = static_cast<PIRP>(SystemAllocate(NonPagedPool, size, kTagIrp, !system));
  if (!irp) return nullptr;
  Initialize(irp, size, stackSize, 0);
  Register(irp, origin);
  return irp;
}

std::shared_ptr<IrpRecord> FindIrp(const IRP *irp) {
  auto it = Irps().live.find(irp);
  return it == Irps().live.end() ? nullptr : it->second;
}

void ForgetIrp(PIRP irp) {
  auto it = Irps().live.find(irp);
  if (it == Irps().live.end()) return;
  internal::PowerIrpGone(irp);
  it->second->freed = true;
  Irps().live.erase(it);
}

std::vector<std::pair<PIRP, std::shared_ptr<IrpRecord>>> LiveIrps() {
  std::vector<std::pair<PIRP, std::shared_ptr<IrpRecord>>> out;
  for (auto &l : Irps().live) out.emplace_back(const_cast<PIRP>(l.first), l.second);
  std::sort(out.begin(), out.end(), [](auto &a, auto &b) { return a.second->serial < b.second->serial; });
  return out;
}

void ResetIrps() {
  for (auto &l : Irps().live) l.second->freed = true;
  Irps().live.clear();
  Irps().serial = 0;
}

void TeardownIrps() {
  for (auto &l : LiveIrps()) {
    PIRP irp = l.first;
    IrpRecord &rec = *l.second;
    // An IRP in the driver's own memory is only looked at while that memory
    // is pool the driver still has: freed, it was the driver's to free.
    if (rec.origin == IrpOrigin::Initialized && !PoolRangeLive(irp, sizeof(IRP))) continue;
    std::string what = "IRP #" + std::to_string(rec.serial) + " " + MajorName(rec.majorFunction);
    if (irp->CurrentLocation > irp->StackCount + 1) {
      // Completed; only the driver's own allocation may linger, and must not.
      if (rec.origin == IrpOrigin::Driver)
        ReportFault(Fault::IrpNeverCompleted, "IoFreeIrp", what + " allocated with IoAllocateIrp, never freed");
      continue;
    }
    if (rec.origin == IrpOrigin::Initialized && irp->CurrentLocation == irp->StackCount + 1) continue;
    std::string where = irp->CurrentLocation <= irp->StackCount
                            ? " (held by " + DeviceName(irp->Tail.Overlay.CurrentStackLocation->DeviceObject) + ")"
                            : "";
    ReportFault(Fault::IrpNeverCompleted, "IofCompleteRequest", what + " still outstanding at teardown" + where);
  }
}

}  // namespace io
}  // namespace sim

using namespace sim;
using namespace sim::io;

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  MaybeSchedule();
  return AllocateIrp(StackSize, IrpOrigin::Driver, false);
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
  MaybeSchedule();
  auto rec = FindIrp(Irp);
  if (!rec) {
    ReportFault(Fault::BadPoolFree, "IoFreeIrp", "IRP " + Hex((uintptr_t)Irp) + " is not a live IRP (freed twice?)");
    return;
  }
  if (rec->origin == IrpOrigin::Initialized) {
    ReportFault(Fault::BadPoolFree, "IoFreeIrp", "IRP " + Hex((uintptr_t)Irp) + " was not allocated by IoAllocateIrp");
    return;
  }
  // The I/O manager frees what it built when the IRP completes; freeing it
  // here leaves it on its thread's IRP list.
  if (rec->origin == IrpOrigin::Built || rec->origin == IrpOrigin::User) {
    ReportFault(Fault::BadPoolFree, "IoFreeIrp",
                "IRP #" + std::to_string(rec->serial) + " " + MajorName(rec->majorFunction) +
                    " was built by the I/O manager: complete it with IoCompleteRequest, never IoFreeIrp");
    return;
  }
  // Sent down and not yet completed back: the driver below still uses it.
  for (const auto &frame : rec->frames)
    if (!frame->walked) {
      ReportFault(Fault::IrpFreedWhileOwnedBelow, "IoFreeIrp",
                  "IRP #" + std::to_string(rec->serial) + " freed while " + frame->what +
                      " has it still: free it once its completion routine has it back");
      return;  // left to the driver below, which would write freed memory
    }
  ForgetIrp(Irp);
  PoolFree(Irp, "IoFreeIrp");
}

VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  auto rec = FindIrp(Irp);
  // It clears AllocationFlags, which IoFreeIrp needs to give the IRP back to
  // where it came from: IoReuseIrp is the way to reuse those.
  if (rec && rec->origin != IrpOrigin::Initialized)
    ReportFault(Fault::AllocatedIrpInitialized, "IoInitializeIrp",
                "IRP #" + std::to_string(rec->serial) + " came from " +
                    (rec->origin == IrpOrigin::Driver ? "IoAllocateIrp: reuse it with IoReuseIrp"
                                                      : "the I/O manager: it is not the driver's to initialise"));
  Initialize(Irp, PacketSize, StackSize, 0);
  if (rec) {
    internal::PowerIrpGone(Irp);
    rec->frames.clear();
    rec->calls = 0;
    rec->heldReportedAt = 0;
    rec->pendedByPowerManager.clear();
    rec->majorFunction = 0;
    rec->completions = 0;
  } else {
    Register(Irp, IrpOrigin::Initialized);
  }
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Status) {
  auto rec = FindIrp(Irp);
  if (!rec) {
    ReportFault(Fault::InvalidParameter, "IoReuseIrp", "IRP " + Hex((uintptr_t)Irp) + " is not a live IRP");
    return;
  }
  Initialize(Irp, Irp->Size, Irp->StackCount, Irp->AllocationFlags);
  Irp->IoStatus.Status = Status;
  internal::PowerIrpGone(Irp);
  rec->frames.clear();
  rec->calls = 0;
  rec->heldReportedAt = 0;
  rec->pendedByPowerManager.clear();
  rec->majorFunction = 0;
  rec->completions = 0;
}
