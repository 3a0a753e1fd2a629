// The deterministic scheduler. Simulated threads are fibers; at every
// schedule point the scheduler decides, from a generator seeded by the run's
// seed, which processor takes the next step, so a run is a pure function of
// that seed.
#include <algorithm>
#include <cinttypes>

#include "sim/kernel/src/sched_internal.h"

namespace sim {
namespace {

SimThread *g_self = nullptr;  // the simulated thread running now; NULL on the host

// At an ordinary schedule point another processor takes the next step one
// time in this many, and a ready thread preempts a PASSIVE_LEVEL one.
constexpr uint64_t kSwitchOneIn = 8;
constexpr uint64_t kPreemptOneIn = 16;
// Right after a call woke someone, the woken usually runs first: on another
// processor, or on this one, boosted past its waker.
constexpr uint64_t kAfterEffectOneIn = 2;
// Each step costs 0-5 us of virtual time: a kernel call or a context switch
// on a machine of XP's day takes a fraction of a microsecond to a few.
constexpr uint64_t kMaxStepCost = 50;
// A run whose threads never block is spinning.
constexpr uint64_t kLivelockPoints = 50ull * 1000 * 1000;

SimThread g_noKernelContext;  // IRQL bookkeeping for calls made with no kernel

void SwitchTo(KernelState *s, SimThread *from, SimThread *to) {
  if (from == to) return;
  if (TraceEnabled()) Trace("switch " + ThreadLabel(from) + " -> " + ThreadLabel(to));
  s->current = to;
  g_self = to->kind == SimThread::Kind::Host ? nullptr : to;
  SwitchFiber(from, to);
}

std::string DeadlockReport(KernelState *s) {
  std::string r = "no thread can run and nothing is due at " + TimeLabel() + "\n";
  for (auto &t : s->threads) {
    if (t->state == SimThread::State::Finished) continue;
    r += "  " + ThreadLabel(t.get()) + ": " + DescribeBlocked(t.get()) + "\n";
  }
  return r + DescribeProcessors();
}

// Processors whose context can take a step.
std::vector<int> SteppingProcessors(KernelState *s) {
  std::vector<int> r;
  FillIdleProcessors();
  for (size_t c = 0; c < s->cpus.size(); ++c) {
    SimThread *t = s->cpus[c].running;
    if (t != nullptr && t->state == SimThread::State::Runnable) r.push_back(static_cast<int>(c));
  }
  return r;
}

// The next context to run: the host once the run's thread has ended, else
// one a processor runs; with none, time moves on to the next due event.
SimThread *ChooseNext(KernelState *s) {
  for (;;) {
    if (s->runTarget != nullptr && s->runTarget->state == SimThread::State::Finished) return &s->host;
    std::vector<int> cpus = SteppingProcessors(s);
    if (!cpus.empty()) return s->cpus[cpus[NextRandom() % cpus.size()]].running;
    if (!AdvanceClock()) FatalFault(Fault::Deadlock, "scheduler", DeadlockReport(s));
  }
}

void FinishThread(KernelState *s, SimThread *t) {
  if (!t->abandon) {
    CheckIrqlRestored(t, t->name.c_str());
    ThreadExiting(t);
    if (TraceEnabled()) Trace("exit " + ThreadLabel(t));
  }
  t->state = SimThread::State::Finished;
  t->blockOn = SimThread::BlockOn::None;
  LeaveProcessor(t);
  Unready(t);
  if (!t->abandon) {
    RaceRelease(t->object);
    ThreadEnded(t);
  }
  SimThread *next = t->abandon ? &s->host : ChooseNext(s);
  if (TraceEnabled() && !t->abandon) Trace("switch " + ThreadLabel(t) + " -> " + ThreadLabel(next));
  s->current = next;
  g_self = next->kind == SimThread::Kind::Host ? nullptr : next;
  ExitFiber(t, next);
}

void ThreadMain() {
  KernelState *s = State();
  SimThread *t = s->current;
  if (!t->abandon) {
    RaceAcquire(t->object);
    try {
      t->body();
    } catch (ThreadUnwind &) {
    }
  }
  FinishThread(s, t);
}

// A step of the current thread at a schedule point: time passes, and the
// scheduler may hand its processor or the next step to someone else.
// The armed action runs here once its point has come and this context holds
// no spin lock, so that the action may take locks of its own. Disarmed first:
// the schedule points inside the action do not count towards another.
void RunPointAction(KernelState *s, SimThread *self) {
  if (s->actionAtPoint == 0 || s->schedulePoints < s->actionAtPoint || !self->held.empty()) return;
  s->actionAtPoint = 0;
  std::function<void()> action = std::move(s->pointAction);
  s->pointAction = nullptr;
  action();
}

void Step(uint64_t switchOneIn, uint64_t preemptOneIn) {
  SimThread *self = g_self;
  KernelState *s = State();
  if (self == nullptr || s == nullptr || self->abandon) return;
  if (self->waitOwed) CheckNoWaitOwed(self, nullptr);
  ++s->schedulePoints;
  RunPointAction(s, self);
  if (++s->pointsSinceBlock > kLivelockPoints)
    FatalFault(Fault::Hang, "scheduler",
               "threads ran " + std::to_string(kLivelockPoints) + " steps without ever blocking\n" +
                   DescribeProcessors());
  // Processors run side by side: the steps of k busy processors interleave
  // here one at a time, so each step moves the clock by a k-th of its cost.
  uint64_t busy = std::max<size_t>(1, SteppingProcessors(s).size());
  SpendTime(NextRandom() % (kMaxStepCost + 1) / busy);
  bool stillMine = self->cpu >= 0 && s->cpus[self->cpu].running == self;
  if (self->cpu < 0) MakeReady(self);
  if (stillMine && self->irql < DISPATCH_LEVEL && !s->ready.empty() && NextRandom() % preemptOneIn == 0) {
    LeaveProcessor(self);
    MakeReady(self);
    stillMine = false;
  }
  // Kernel APCs run only once the thread has its processor again (a DPC
  // that interrupted it comes first).
  if (!stillMine || NextRandom() % switchOneIn == 0) {
    SwitchTo(s, self, ChooseNext(s));
    if (self->abandon) throw ThreadUnwind();
  }
  DeliverKernelApcs(self);
}

}  // namespace

SimThread *CurrentSimThread() { return g_self; }

SimThread *Current() {
  if (g_self != nullptr) return g_self;
  KernelState *s = State();
  return s != nullptr ? &s->host : &g_noKernelContext;
}

uint64_t NextRandom() {
  // splitmix64: the same sequence on every platform.
  KernelState *s = State();
  uint64_t z = (s->rng += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

uint64_t DeviceRandom(uint64_t bound) {
  KernelState *s = State();
  uint64_t z = (s->deviceRng += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  return bound == 0 ? z : z % bound;
}

std::string ThreadLabel(const SimThread *t) { return "T" + std::to_string(t->id) + "(" + t->name + ")"; }

SimThread *NewThread(const std::string &name, SimThread::Kind kind, ThreadBody body, bool ready) {
  KernelState *s = State();
  JoinFinishedThreads();
  auto owned = std::make_unique<SimThread>();
  SimThread *t = owned.get();
  t->id = s->nextThreadId++;
  t->name = name;
  t->kind = kind;
  t->body = std::move(body);
  t->object = NewThreadObject(t);
  s->threads.push_back(std::move(owned));
  if (TraceEnabled()) Trace("create " + ThreadLabel(t));
  StartFiber(t, ThreadMain);
  RaceRelease(t->object);
  if (ready) MakeReady(t);
  return t;
}

void MakeRunnable(SimThread *t) {
  KernelState *s = State();
  if (s->systemWakeLatencyUs != 0 && t->kind == SimThread::Kind::System &&
      t->state == SimThread::State::Blocked && t->blockOn == SimThread::BlockOn::Wait) {
    t->blockOn = SimThread::BlockOn::Dispatch;
    t->dispatchAt = s->now + NextRandom() % (uint64_t(s->systemWakeLatencyUs) * 10 + 1);
    s->delayedWakes.push_back(t);
    return;
  }
  t->state = SimThread::State::Runnable;
  t->blockOn = SimThread::BlockOn::None;
  MakeReady(t);
}

void FireDueWakes() {
  KernelState *s = State();
  for (size_t i = 0; i < s->delayedWakes.size();) {
    SimThread *t = s->delayedWakes[i];
    if (t->dispatchAt > s->now) {
      ++i;
      continue;
    }
    s->delayedWakes.erase(s->delayedWakes.begin() + static_cast<long>(i));
    t->state = SimThread::State::Runnable;
    t->blockOn = SimThread::BlockOn::None;
    MakeReady(t);
  }
}

void SetSystemThreadWakeLatency(uint32_t maxUs) {
  KernelState *s = State();
  if (s != nullptr) s->systemWakeLatencyUs = maxUs;
}

uint64_t NextWakeDue() {
  uint64_t r = UINT64_MAX;
  for (SimThread *t : State()->delayedWakes) r = std::min(r, t->dispatchAt);
  return r;
}

void BlockCurrent(const char *routine) {
  KernelState *s = State();
  SimThread *self = g_self;
  if (self == nullptr)
    FatalFault(Fault::InvalidParameter, routine,
               "the host would block: " + DescribeBlocked(&s->host) + "; run the code inside Kernel::Run");
  self->state = SimThread::State::Blocked;
  s->pointsSinceBlock = 0;
  // A spinning processor stays busy with its spinner.
  if (self->blockOn != SimThread::BlockOn::SpinLock) LeaveProcessor(self);
  SwitchTo(s, self, ChooseNext(s));
  if (self->abandon) throw ThreadUnwind();
  DeliverKernelApcs(self);
}

void RunUntilTargetEnds(SimThread *target, uint64_t limit100ns) {
  KernelState *s = State();
  s->runTarget = target;
  s->runDeadline = s->now + limit100ns;
  s->pointsSinceBlock = 0;
  SwitchTo(s, &s->host, ChooseNext(s));
  // What the caller does next (unplug a device, say) comes after everything
  // the ended thread did.
  if (target->state == SimThread::State::Finished && !target->abandon) RaceAcquire(target->object);
  s->runTarget = nullptr;
  s->runDeadline = UINT64_MAX;
  JoinFinishedThreads();
}

void JoinFinishedThreads() {
  KernelState *s = State();
  for (auto &t : s->threads)
    if (t->state == SimThread::State::Finished && t.get() != g_self) FreeFiber(t.get());
}

// At teardown every thread still alive is woken with orders to unwind.
void AbandonThreads() {
  KernelState *s = State();
  for (auto &t : s->threads) {
    if (t->state == SimThread::State::Finished) continue;
    t->abandon = true;
    t->state = SimThread::State::Runnable;
    SwitchTo(s, &s->host, t.get());
  }
}

void CheckIrqlRestored(SimThread *t, const char *routine) {
  CheckNoWaitOwedAtReturn(t, routine);
  if (t->irql != t->baseIrql)
    ReportFault(Fault::IrqlNotRestored, routine,
                ThreadLabel(t) + " returned at IRQL " + std::to_string(t->irql) + ", entered at " +
                    std::to_string(t->baseIrql));
  if (!t->held.empty())
    ReportFault(Fault::IrqlNotRestored, routine,
                ThreadLabel(t) + " returned holding " + std::to_string(t->held.size()) + " spin lock(s)");
  t->irql = t->baseIrql;
  t->held.clear();
}

void SchedulePoint() { Step(kSwitchOneIn, kPreemptOneIn); }

void AtSchedulePoint(uint64_t n, std::function<void()> action) {
  KernelState *s = State();
  s->actionAtPoint = s->schedulePoints + (n == 0 ? 1 : n);
  s->pointAction = std::move(action);
}

uint64_t SchedulePoints() { return State()->schedulePoints; }
void SchedulePointAfterEffect() { Step(kAfterEffectOneIn, kAfterEffectOneIn); }

SimThread *CreateThread(const std::string &name, ThreadBody body) {
  if (State() == nullptr) {
    std::fprintf(stderr, "sim::CreateThread: no kernel is running\n");
    std::abort();
  }
  return NewThread(name, SimThread::Kind::App, std::move(body));
}

bool ThreadFinished(SimThread *t) { return t->state == SimThread::State::Finished; }

namespace internal {
bool InSimulatedThread() { return g_self != nullptr; }
int SpinLocksHeldByCurrentThread() { return static_cast<int>(Current()->held.size()); }
}  // namespace internal

}  // namespace sim
