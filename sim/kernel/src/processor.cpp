// Simulated processors. Each runs one context at a time: a thread, or its
// DPC context, which preempts a thread below DISPATCH_LEVEL and waits for a
// thread at DISPATCH_LEVEL or above to lower its IRQL. Threads no processor
// runs wait in the ready pool; a thread interrupted by DPCs stays on its
// processor and resumes there when the DPCs are done, as on Windows.
#include <algorithm>

#include "sim/kernel/src/sched_internal.h"

namespace sim {
namespace {

void DpcProcessor() {
  KernelState *s = State();
  SimThread *self = CurrentSimThread();
  int cpu = self->dpcCpu;
  self->irql = self->baseIrql = DISPATCH_LEVEL;
  for (;;) {
    Processor &p = s->cpus[cpu];
    if (p.dpcs.empty()) {
      self->blockOn = SimThread::BlockOn::Idle;
      self->idleOn = "DPC queue empty";
      BlockCurrent("DPC processor");
      continue;
    }
    PKDPC dpc = p.dpcs.front();
    p.dpcs.pop_front();
    // Cleared first: the routine may queue its own DPC again, even to run on another processor.
    dpc->DpcData = nullptr;
    if (TraceEnabled()) Trace("dpc run D" + std::to_string(StableId(dpc)) + " cpu " + std::to_string(cpu));
    RaceAcquire(dpc);
    p.runningDpc = dpc;
    CallDriverRoutine(dpc->DeferredRoutine, dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
    s->cpus[cpu].runningDpc = nullptr;
    CheckIrqlRestored(self, "DPC routine");
    SchedulePoint();
  }
}

SimThread *DpcContext(KernelState *s, int cpu) {
  Processor &p = s->cpus[cpu];
  if (p.dpcThread == nullptr) {
    p.dpcThread = NewThread("dpc-" + std::to_string(cpu), SimThread::Kind::Service, DpcProcessor, false);
    p.dpcThread->dpcCpu = cpu;
    p.dpcThread->state = SimThread::State::Blocked;
    p.dpcThread->blockOn = SimThread::BlockOn::Idle;
    p.dpcThread->idleOn = "DPC queue empty";
  }
  return p.dpcThread;
}

// The processor's DPC context takes over from whatever runs there.
void StartDpcs(KernelState *s, int cpu) {
  Processor &p = s->cpus[cpu];
  SimThread *dpcs = DpcContext(s, cpu);
  p.interrupted = p.running;
  p.running = dpcs;
  dpcs->cpu = cpu;
  dpcs->state = SimThread::State::Runnable;
  dpcs->blockOn = SimThread::BlockOn::None;
}

}  // namespace

void ResetProcessors(unsigned count) {
  KernelState *s = State();
  s->cpus.assign(std::max(1u, count), Processor{});
  s->ready.clear();
}

int CurrentCpu() {
  SimThread *t = CurrentSimThread();
  return t != nullptr && t->cpu >= 0 ? t->cpu : 0;
}

void DpcQueuedOn(int cpu) {
  KernelState *s = State();
  Processor &p = s->cpus[cpu];
  if (p.running != nullptr && (p.running->dpcCpu == cpu || p.running->irql >= DISPATCH_LEVEL)) return;
  StartDpcs(s, cpu);
}

void IrqlLowered() {
  KernelState *s = State();
  SimThread *self = CurrentSimThread();
  if (self == nullptr || self->cpu < 0) return;
  Processor &p = s->cpus[self->cpu];
  if (p.running == self && !p.dpcs.empty()) StartDpcs(s, self->cpu);
}

// The current context stops running on its processor (it blocks, finishes
// or is preempted). A thread spinning on a lock keeps its processor busy.
void LeaveProcessor(SimThread *t) {
  KernelState *s = State();
  if (t->cpu < 0) return;
  Processor &p = s->cpus[t->cpu];
  if (p.running == t) {
    p.running = t->dpcCpu >= 0 ? p.interrupted : nullptr;
    if (t->dpcCpu >= 0) p.interrupted = nullptr;
  }
  t->cpu = -1;
}

// Idle processors take their pending DPCs, else a ready thread.
void FillIdleProcessors() {
  KernelState *s = State();
  for (size_t c = 0; c < s->cpus.size(); ++c) {
    Processor &p = s->cpus[c];
    if (p.running != nullptr) continue;
    if (!p.dpcs.empty()) {
      StartDpcs(s, static_cast<int>(c));
      continue;
    }
    if (s->ready.empty()) continue;
    size_t pick = NextRandom() % s->ready.size();
    SimThread *t = s->ready[pick];
    s->ready.erase(s->ready.begin() + static_cast<long>(pick));
    p.running = t;
    t->cpu = static_cast<int>(c);
  }
}

void MakeReady(SimThread *t) {
  KernelState *s = State();
  if (t->cpu >= 0 || t->dpcCpu >= 0) return;  // on a processor already, or a DPC context
  if (std::find(s->ready.begin(), s->ready.end(), t) == s->ready.end()) s->ready.push_back(t);
}

void Unready(SimThread *t) {
  KernelState *s = State();
  s->ready.erase(std::remove(s->ready.begin(), s->ready.end(), t), s->ready.end());
}

std::string DescribeProcessors() {
  KernelState *s = State();
  std::string r;
  for (size_t c = 0; c < s->cpus.size(); ++c) {
    const Processor &p = s->cpus[c];
    r += "  cpu " + std::to_string(c) + ": " + (p.running ? ThreadLabel(p.running) : std::string("idle"));
    if (p.interrupted) r += ", interrupted " + ThreadLabel(p.interrupted);
    if (!p.dpcs.empty()) r += ", " + std::to_string(p.dpcs.size()) + " DPC(s) queued";
    r += "\n";
  }
  return r;
}

}  // namespace sim

using namespace sim;

// Up to Windows Server 2003 the routine must be called at or below APC_LEVEL.
KAFFINITY NTAPI KeQueryActiveProcessors(void) {
  KernelState *s = State();
  if (CurrentSimThread() != nullptr && KeGetCurrentIrql() > APC_LEVEL)
    ReportFault(Fault::IrqlTooHigh, "KeQueryActiveProcessors", "called above APC_LEVEL (Windows XP allows APC_LEVEL at most)");
  size_t n = std::min<size_t>(s->cpus.size(), sizeof(KAFFINITY) * 8);
  return n == sizeof(KAFFINITY) * 8 ? ~KAFFINITY(0) : (KAFFINITY(1) << n) - 1;
}
