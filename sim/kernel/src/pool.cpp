// Pool: tagged allocations with accounting, fill patterns, and the checks a
// verifier makes on free (double, unknown, tag mismatch, timers left inside).
#include <cstdlib>
#include <cstring>

#include "io_private.h"
#include "pool_state.h"
#include "sim/kernel/pool.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define POOL_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define POOL_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define POOL_POISON(p, n) ((void)(p), (void)(n))
#define POOL_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace sim {
namespace io {
namespace {

constexpr size_t kQuarantineBlocks = 16384;
constexpr SIZE_T kQuarantineBytes = 64u << 20;
constexpr ULONG kProtectedPool = 0x80000000u;

bool IsPaged(POOL_TYPE type) { return type == PagedPool || type == PagedPoolCacheAligned; }

std::string Describe(const void *p, const PoolBlock &b) {
  return "block " + Hex((uintptr_t)p) + " tag '" + TagName(b.tag) + "' size " + std::to_string(b.size) +
         " allocation #" + std::to_string(b.sequence);
}

void Quarantine(void *p, SIZE_T size) {
  PoolState &s = Pool();
  POOL_POISON(p, size);
  s.quarantine.emplace_back(p, size);
  s.quarantineBytes += size;
#if defined(USBMODEM_RACE_DETECTOR)
  // The race detector keeps what it knows of an address's synchronisation
  // after a free it is not shown: a reused block would inherit it and hide
  // races. Nothing is reused while the kernel lives.
  return;
#endif
  while (s.quarantine.size() > kQuarantineBlocks || s.quarantineBytes > kQuarantineBytes) {
    auto old = s.quarantine.front();
    s.quarantine.pop_front();
    s.quarantineBytes -= old.second;
    POOL_UNPOISON(old.first, old.second);
    std::free(old.first);
  }
}

PVOID Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, bool system, bool injectable, const char *routine) {
  MaybeSchedule();
  // Driver Verifier stops the machine on it: the size was never checked.
  if (bytes == 0 && !system)
    ReportFault(Fault::ZeroBytePoolAllocation, routine, "allocation of 0 bytes, tag '" + TagName(tag) + "'");
  if (IsPaged(type) && CurrentIrqlOrPassive() >= DISPATCH_LEVEL)
    ReportFault(Fault::PagedPoolAtDispatch, routine,
                "PagedPool allocation of " + std::to_string(bytes) + " bytes, tag '" + TagName(tag) +
                    "', at IRQL " + std::to_string(CurrentIrqlOrPassive()));
  if (InjectFailure(tag, !injectable)) {
    if (TraceEnabled()) Trace("pool: injected failure of " + std::to_string(bytes) + " bytes tag '" + TagName(tag) + "'");
    return nullptr;
  }
  PoolState &s = Pool();
  void *p = std::malloc(bytes ? bytes : 1);
  if (!p) return nullptr;
  s.freed.erase(p);
  std::memset(p, pool::kFreshByte, bytes ? bytes : 1);
  PoolBlock b;
  b.size = bytes;
  b.tag = tag & ~kProtectedPool;
  b.sequence = ++s.sequence;
  b.type = type;
  b.system = system;
  s.live[p] = b;
  return p;
}

void Free(PVOID p, bool checkTag, ULONG tag, const char *routine, bool checkTimers) {
  MaybeSchedule();
  PoolState &s = Pool();
  if (!p) {
    ReportFault(Fault::BadPoolFree, routine, "NULL pointer freed");
    return;
  }
  auto it = s.live.find(p);
  if (it == s.live.end()) {
    auto f = s.freed.find(p);
    if (f != s.freed.end())
      ReportFault(Fault::BadPoolFree, routine, "double free of " + Describe(p, f->second));
    else
      ReportFault(Fault::BadPoolFree, routine, "free of " + Hex((uintptr_t)p) + ", not the start of a pool block");
    return;
  }
  PoolBlock b = it->second;
  if (checkTag && (tag & ~kProtectedPool) != b.tag)
    ReportFault(Fault::BadPoolFree, routine, "freed with tag '" + TagName(tag) + "' but " + Describe(p, b));
  if (IsPaged(b.type) && CurrentIrqlOrPassive() >= DISPATCH_LEVEL)
    ReportFault(Fault::PagedPoolAtDispatch, routine, "PagedPool " + Describe(p, b) + " freed at DISPATCH_LEVEL");
  std::string what;
  bool queued = internal::FindQueuedTimerOrDpc(p, b.size, &what);
  if (queued && checkTimers)
    ReportFault(Fault::TimerQueuedInFreedMemory, routine, what + " still queued in freed " + Describe(p, b));
  std::string running;
  bool runs = internal::FindRunningRoutine(p, b.size, &running);
  if (runs && checkTimers)
    ReportFault(Fault::RoutineRunningOnDeletedDevice, routine, "freed " + Describe(p, b) + " while " + running);
  s.live.erase(it);
  s.freed[p] = b;
  internal::ForgetEvents(p, b.size);
  if (queued || runs) {
    // The kernel's timer or DPC list, or a running routine, still uses this
    // memory: keep it intact (unaccounted) until the kernel goes, so the
    // fault is reported rather than crashing the host.
    s.kept.push_back(p);
    return;
  }
  std::memset(p, pool::kFreedByte, b.size ? b.size : 1);
  Quarantine(p, b.size ? b.size : 1);
}

}  // namespace

PVOID SystemAllocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, bool onDriversBehalf) {
  return Allocate(type, bytes, tag, true, onDriversBehalf, "I/O manager");
}

void PoolFree(PVOID p, const char *routine, bool checkTimers) { Free(p, false, 0, routine, checkTimers); }

bool PoolBlockLive(const void *p, SIZE_T *size) {
  auto it = Pool().live.find(p);
  if (it == Pool().live.end()) return false;
  if (size) *size = it->second.size;
  return true;
}

bool PoolRangeLive(const void *p, SIZE_T size) {
  auto a = reinterpret_cast<uintptr_t>(p);
  for (auto &l : Pool().live) {
    auto b = reinterpret_cast<uintptr_t>(l.first);
    if (a >= b && a + size <= b + l.second.size) return true;
  }
  return false;
}

// Releases every block, live or held back: the kernel these belonged to is gone.
void ReleaseAllPool() {
  PoolState &s = Pool();
  for (auto &q : s.quarantine) {
    POOL_UNPOISON(q.first, q.second);
    std::free(q.first);
  }
  for (auto &l : s.live) std::free(const_cast<void *>(l.first));
  for (void *k : s.kept) std::free(k);
  s.kept.clear();
  s.quarantine.clear();
  s.quarantineBytes = 0;
  s.live.clear();
  s.freed.clear();
  s.sequence = 0;
}

}  // namespace io
}  // namespace sim

using namespace sim::io;

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return Allocate(PoolType, NumberOfBytes, Tag, false, true, "ExAllocatePoolWithTag");
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return Allocate(PoolType, NumberOfBytes, kTagNone, false, true, "ExAllocatePool");
}

VOID NTAPI ExFreePool(PVOID P) { Free(P, false, 0, "ExFreePool", true); }

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) { Free(P, true, Tag, "ExFreePoolWithTag", true); }
