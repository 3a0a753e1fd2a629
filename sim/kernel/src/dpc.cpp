// Deferred procedure calls: each processor has its own queue, run at
// DISPATCH_LEVEL by that processor's DPC context (sim/kernel/src/processor.cpp).
#include <algorithm>

#include "sim/kernel/src/sched_internal.h"

namespace sim {
namespace {

constexpr char kDpcQueueMarker = 0;  // DpcData points here while a DPC is queued

bool Enqueue(int cpu, PKDPC dpc, PVOID arg1, PVOID arg2) {
  KernelState *s = State();
  if (dpc->DpcData != nullptr) return false;
  dpc->SystemArgument1 = arg1;
  dpc->SystemArgument2 = arg2;
  dpc->DpcData = const_cast<char *>(&kDpcQueueMarker);
  s->cpus[cpu].dpcs.push_back(dpc);
  DpcQueuedOn(cpu);
  return true;
}

// The processor's queue that holds this DPC, or NULL.
std::deque<PKDPC> *QueueHolding(KernelState *s, PKDPC dpc) {
  for (Processor &p : s->cpus)
    if (std::find(p.dpcs.begin(), p.dpcs.end(), dpc) != p.dpcs.end()) return &p.dpcs;
  return nullptr;
}

}  // namespace

// The clock's and devices' interrupts come in on any processor.
void QueueDpcFromKernel(PKDPC dpc, PVOID arg1, PVOID arg2) {
  Enqueue(static_cast<int>(NextRandom() % State()->cpus.size()), dpc, arg1, arg2);
}

void ResetDpcState() {
  KernelState *s = State();
  for (Processor &p : s->cpus) p.dpcs.clear();
  s->interrupts.clear();
}

uint32_t StableId(const void *p) {
  KernelState *s = State();
  auto it = s->stableIds.find(p);
  if (it != s->stableIds.end()) return it->second;
  uint32_t id = s->nextStableId++;
  s->stableIds.emplace(p, id);
  return id;
}

namespace internal {

bool FindQueuedTimerOrDpc(const void *begin, size_t size, std::string *what) {
  KernelState *s = State();
  if (s == nullptr) return false;
  auto inside = [&](const void *p, size_t n) {
    auto b = reinterpret_cast<uintptr_t>(begin), a = reinterpret_cast<uintptr_t>(p);
    return a < b + size && a + n > b;
  };
  for (const SetTimer &t : s->timers)
    if (inside(t.timer, sizeof(KTIMER))) {
      if (what) *what = "a set KTIMER at offset " + std::to_string(reinterpret_cast<uintptr_t>(t.timer) -
                                                                  reinterpret_cast<uintptr_t>(begin));
      return true;
    }
  for (const Processor &p : s->cpus)
    for (PKDPC d : p.dpcs)
      if (inside(d, sizeof(KDPC))) {
        if (what) *what = "a queued KDPC at offset " + std::to_string(reinterpret_cast<uintptr_t>(d) -
                                                                     reinterpret_cast<uintptr_t>(begin));
        return true;
      }
  for (const PendingInterrupt &i : s->interrupts)
    if (inside(i.dpc, sizeof(KDPC))) {
      if (what) *what = "a KDPC awaiting a device interrupt at offset " +
                        std::to_string(reinterpret_cast<uintptr_t>(i.dpc) - reinterpret_cast<uintptr_t>(begin));
      return true;
    }
  return false;
}

bool FindRunningRoutine(const void *begin, size_t size, std::string *what) {
  KernelState *s = State();
  if (s == nullptr) return false;
  auto b = reinterpret_cast<uintptr_t>(begin);
  SimThread *self = CurrentSimThread();
  for (size_t c = 0; c < s->cpus.size(); ++c) {
    const Processor &p = s->cpus[c];
    // A routine may free its own KDPC or context: it is done with them.
    if (p.dpcThread != nullptr && p.dpcThread == self) continue;
    auto d = reinterpret_cast<uintptr_t>(p.runningDpc);
    auto t = reinterpret_cast<uintptr_t>(p.runningIoTimerOf);
    if (p.runningIoTimerOf != nullptr && t >= b && t < b + size) {
      if (what) *what = "its I/O timer routine is running on processor " + std::to_string(c);
      return true;
    }
    if (p.runningDpc != nullptr && d < b + size && d + sizeof(KDPC) > b) {
      if (what) *what = "the routine of the KDPC at offset " + std::to_string(d - b) + " is running on processor " +
                        std::to_string(c);
      return true;
    }
  }
  return false;
}

}  // namespace internal
}  // namespace sim

using namespace sim;

VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  KernelState *s = State();
  if (s != nullptr) {
    if (std::deque<PKDPC> *q = QueueHolding(s, Dpc)) {
      ReportFault(Fault::InvalidParameter, "KeInitializeDpc", "the DPC is queued: initialising it corrupts the queue");
      q->erase(std::find(q->begin(), q->end(), Dpc));
    }
    s->stableIds.erase(Dpc);
  }
  Dpc->Type = 19;  // DpcObject
  Dpc->Importance = 1;
  Dpc->Number = 0;
  InitializeListHead(&Dpc->DpcListEntry);
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
  Dpc->SystemArgument1 = nullptr;
  Dpc->SystemArgument2 = nullptr;
  Dpc->DpcData = nullptr;
}

// On the current processor: from below DISPATCH_LEVEL the DPC runs before
// the caller's next step there.
BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  SchedulePoint();
  if (State() == nullptr) {
    std::fprintf(stderr, "KeInsertQueueDpc: no kernel is running\n");
    std::abort();
  }
  // A targeted DPC names its processor (Number - MAXIMUM_PROCESSORS); others take the caller's.
  KernelState *s = State();
  int cpu = CurrentCpu();
  if (Dpc->Number >= MAXIMUM_PROCESSORS) {
    size_t target = Dpc->Number - MAXIMUM_PROCESSORS;
    if (target >= s->cpus.size()) {
      // Windows takes the number as it stands and corrupts another queue.
      ReportFault(Fault::InvalidParameter, "KeInsertQueueDpc",
                  "the DPC targets processor " + std::to_string(target) + ", which is not active (KeQueryActiveProcessors)");
      return FALSE;
    }
    cpu = static_cast<int>(target);
  }
  RaceRelease(Dpc);
  bool queued = Enqueue(cpu, Dpc, SystemArgument1, SystemArgument2);
  SchedulePointAfterEffect();
  return queued ? TRUE : FALSE;
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc) {
  SchedulePoint();
  KernelState *s = State();
  std::deque<PKDPC> *q = QueueHolding(s, Dpc);
  if (q == nullptr) return FALSE;
  q->erase(std::find(q->begin(), q->end(), Dpc));
  Dpc->DpcData = nullptr;
  return TRUE;
}

VOID NTAPI KeSetTargetProcessorDpc(PRKDPC Dpc, CCHAR Number) {
  Dpc->Number = static_cast<USHORT>(MAXIMUM_PROCESSORS + Number);
}

ULONG NTAPI KeGetCurrentProcessorNumber(void) { return static_cast<ULONG>(CurrentCpu()); }
