// MDLs over host memory: nothing is paged, so building, locking and mapping
// only keep the flags honest; mapping can be made to fail for tests.
#include "io_private.h"
#include "sim/kernel/mdl.h"

namespace sim {
namespace io {
namespace {

constexpr uintptr_t kPageSize = 4096;
constexpr CSHORT kMdlAllocated = MDL_ALLOCATED_FIXED_SIZE;

struct MapKnob {
  bool fail = false;
  unsigned failed = 0;
};

MapKnob &Knob() {
  static MapKnob *k = new MapKnob;
  return *k;
}

}  // namespace

PMDL AllocateMdl(PVOID va, ULONG length, bool secondary, PIRP irp, bool system) {
  uintptr_t start = (uintptr_t)va;
  uintptr_t pages = ((start & (kPageSize - 1)) + length + kPageSize - 1) / kPageSize;
  SIZE_T size = sizeof(MDL) + pages * sizeof(ULONG_PTR);
  PMDL mdl = static_cast<PMDL>(system ? SystemAllocate(NonPagedPool, size, kTagMdl)
                                      : ExAllocatePoolWithTag(NonPagedPool, size, kTagMdl));
  if (!mdl) return nullptr;
  memset(mdl, 0, size);
  mdl->Size = (CSHORT)size;
  mdl->MdlFlags = kMdlAllocated;
  mdl->StartVa = (PVOID)(start & ~(kPageSize - 1));
  mdl->ByteOffset = (ULONG)(start & (kPageSize - 1));
  mdl->ByteCount = length;
  if (irp) {
    if (secondary && irp->MdlAddress) {
      PMDL last = irp->MdlAddress;
      while (last->Next) last = last->Next;
      last->Next = mdl;
    } else {
      irp->MdlAddress = mdl;
    }
  }
  return mdl;
}

void ResetMdlKnob() { Knob() = MapKnob(); }

}  // namespace io

namespace mdl {
void FailMappings(bool fail) { io::Knob().fail = fail; }
unsigned FailedMappings() { return io::Knob().failed; }
}  // namespace mdl

}  // namespace sim

using namespace sim;
using namespace sim::io;

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp) {
  MaybeSchedule();
  return AllocateMdl(VirtualAddress, Length, SecondaryBuffer, Irp, false);
}

VOID NTAPI IoFreeMdl(PMDL Mdl) {
  if (Mdl && (Mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) && !(Mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL))
    ReportFault(Fault::InvalidParameter, "IoFreeMdl", "MDL " + Hex((uintptr_t)Mdl) + " freed while still mapped");
  PoolFree(Mdl, "IoFreeMdl");
}

VOID NTAPI MmBuildMdlForNonPagedPool(PMDL Mdl) {
  Mdl->MappedSystemVa = (PCHAR)Mdl->StartVa + Mdl->ByteOffset;
  Mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

VOID NTAPI MmProbeAndLockPages(PMDL Mdl, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation) {
  Mdl->MdlFlags |= MDL_PAGES_LOCKED;
}

VOID NTAPI MmUnlockPages(PMDL Mdl) {
  if (!(Mdl->MdlFlags & MDL_PAGES_LOCKED))
    ReportFault(Fault::InvalidParameter, "MmUnlockPages", "MDL " + Hex((uintptr_t)Mdl) + " is not locked");
  if (Mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) MmUnmapLockedPages(Mdl->MappedSystemVa, Mdl);
  Mdl->MdlFlags &= ~MDL_PAGES_LOCKED;
}

PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL Mdl, KPROCESSOR_MODE AccessMode, MEMORY_CACHING_TYPE CacheType,
                                   PVOID BaseAddress, ULONG BugCheckOnFailure, ULONG Priority) {
  MaybeSchedule();
  if (Mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL) return Mdl->MappedSystemVa;
  if (!(Mdl->MdlFlags & MDL_PAGES_LOCKED)) {
    ReportFault(Fault::InvalidParameter, "MmMapLockedPagesSpecifyCache",
                "MDL " + Hex((uintptr_t)Mdl) + " mapped without its pages locked");
    return nullptr;
  }
  if (Knob().fail) {
    ++Knob().failed;
    return nullptr;
  }
  Mdl->MappedSystemVa = (PCHAR)Mdl->StartVa + Mdl->ByteOffset;
  Mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  return Mdl->MappedSystemVa;
}

VOID NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL Mdl) {
  if (!(Mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) || BaseAddress != Mdl->MappedSystemVa)
    ReportFault(Fault::InvalidParameter, "MmUnmapLockedPages",
                "address " + Hex((uintptr_t)BaseAddress) + " is not the mapping of MDL " + Hex((uintptr_t)Mdl));
  Mdl->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
}
