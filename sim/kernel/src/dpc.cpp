// Deferred procedure calls. They run at DISPATCH_LEVEL on the kernel's own
// "DPC processor" thread, so they interleave with threads as a second CPU would.
#include <algorithm>

#include "sim/kernel/src/sched_internal.h"

namespace sim {
namespace {

constexpr char kDpcQueueMarker = 0;  // DpcData points here while a DPC is queued

void DpcProcessor() {
  KernelState *s = State();
  SimThread *self = CurrentSimThread();
  self->irql = self->baseIrql = DISPATCH_LEVEL;
  for (;;) {
    if (s->dpcQueue.empty()) {
      self->blockOn = SimThread::BlockOn::Idle;
      self->idleOn = "DPC queue empty";
      BlockCurrent("DPC processor");
      continue;
    }
    PKDPC dpc = s->dpcQueue.front();
    s->dpcQueue.pop_front();
    // Cleared first: the routine may queue its own DPC again.
    dpc->DpcData = nullptr;
    if (TraceEnabled()) Trace("dpc run D" + std::to_string(StableId(dpc)));
    dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
    CheckIrqlRestored(self, "DPC routine");
    SchedulePoint();
  }
}

bool Enqueue(PKDPC dpc, PVOID arg1, PVOID arg2) {
  KernelState *s = State();
  if (dpc->DpcData != nullptr) return false;
  dpc->SystemArgument1 = arg1;
  dpc->SystemArgument2 = arg2;
  dpc->DpcData = const_cast<char *>(&kDpcQueueMarker);
  s->dpcQueue.push_back(dpc);
  if (s->dpcThread == nullptr) s->dpcThread = NewThread("dpc", SimThread::Kind::Service, DpcProcessor);
  if (s->dpcThread->state == SimThread::State::Blocked) MakeRunnable(s->dpcThread);
  return true;
}

}  // namespace

void QueueDpcFromKernel(PKDPC dpc, PVOID arg1, PVOID arg2) { Enqueue(dpc, arg1, arg2); }

void ResetDpcState() {
  KernelState *s = State();
  s->dpcQueue.clear();
  s->dpcThread = nullptr;
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
  for (PKDPC d : s->dpcQueue)
    if (inside(d, sizeof(KDPC))) {
      if (what) *what = "a queued KDPC at offset " + std::to_string(reinterpret_cast<uintptr_t>(d) -
                                                                   reinterpret_cast<uintptr_t>(begin));
      return true;
    }
  return false;
}

}  // namespace internal
}  // namespace sim

using namespace sim;

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  KernelState *s = State();
  if (s != nullptr) {
    auto it = std::find(s->dpcQueue.begin(), s->dpcQueue.end(), Dpc);
    if (it != s->dpcQueue.end()) {
      ReportFault(Fault::InvalidParameter, "KeInitializeDpc", "the DPC is queued: initialising it corrupts the queue");
      s->dpcQueue.erase(it);
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

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  SchedulePoint();
  if (State() == nullptr) {
    std::fprintf(stderr, "KeInsertQueueDpc: no kernel is running\n");
    std::abort();
  }
  return Enqueue(Dpc, SystemArgument1, SystemArgument2) ? TRUE : FALSE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
  SchedulePoint();
  KernelState *s = State();
  auto it = std::find(s->dpcQueue.begin(), s->dpcQueue.end(), Dpc);
  if (it == s->dpcQueue.end()) return FALSE;
  s->dpcQueue.erase(it);
  Dpc->DpcData = nullptr;
  return TRUE;
}
