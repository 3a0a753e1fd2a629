// The deterministic scheduler. Every simulated thread is an OS thread, but
// only the holder of the baton runs; the others sleep on their own condition
// variable. Who gets the baton next is drawn from a generator seeded by the
// run's seed, so a run is a pure function of that seed.
#include <algorithm>
#include <cinttypes>

#include "sim/kernel/src/sched_internal.h"

namespace sim {
namespace {

thread_local SimThread *t_self = nullptr;

// One schedule point in this many hands the baton to someone else: often
// enough to explore interleavings, rarely enough to keep runs quick.
constexpr uint64_t kSwitchOneIn = 8;
// A run whose threads never block can never let the clock move.
constexpr uint64_t kLivelockPoints = 50ull * 1000 * 1000;

SimThread g_noKernelContext;  // IRQL bookkeeping for calls made with no kernel

void HandOff(KernelState *s, SimThread *from, SimThread *to) {
  if (from != to && TraceEnabled()) Trace("switch " + ThreadLabel(from) + " -> " + ThreadLabel(to));
  std::unique_lock<std::mutex> lock(s->mutex);
  s->current = to;
  to->cv.notify_one();
  if (from == to) return;
  from->cv.wait(lock, [&] { return s->current == from; });
}

std::vector<SimThread *> Runnable(KernelState *s, SimThread *except) {
  std::vector<SimThread *> r;
  for (auto &t : s->threads)
    if (t->state == SimThread::State::Runnable && t.get() != except) r.push_back(t.get());
  return r;
}

std::string DeadlockReport(KernelState *s) {
  std::string r = "no thread can run and nothing is due at " + TimeLabel() + "\n";
  for (auto &t : s->threads) {
    if (t->state == SimThread::State::Finished) continue;
    r += "  " + ThreadLabel(t.get()) + ": " + DescribeBlocked(t.get()) + "\n";
  }
  return r;
}

// The next holder of the baton: the host once the run's thread has ended,
// else a runnable thread; with none, time moves on to the next due event.
SimThread *ChooseNext(KernelState *s) {
  for (;;) {
    if (s->runTarget != nullptr && s->runTarget->state == SimThread::State::Finished) return &s->host;
    std::vector<SimThread *> r = Runnable(s, nullptr);
    if (!r.empty()) return r[NextRandom() % r.size()];
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
  if (!t->abandon) ThreadEnded(t);
  SimThread *next = t->abandon ? &s->host : ChooseNext(s);
  std::unique_lock<std::mutex> lock(s->mutex);
  if (TraceEnabled() && !t->abandon) Trace("switch " + ThreadLabel(t) + " -> " + ThreadLabel(next));
  s->current = next;
  next->cv.notify_one();
}

void ThreadMain(KernelState *s, SimThread *t) {
  {
    std::unique_lock<std::mutex> lock(s->mutex);
    t->cv.wait(lock, [&] { return s->current == t; });
  }
  t_self = t;
  if (!t->abandon) {
    try {
      t->body();
    } catch (ThreadUnwind &) {
    }
  }
  FinishThread(s, t);
  t_self = nullptr;
}

}  // namespace

SimThread *CurrentSimThread() { return t_self; }

SimThread *Current() {
  if (t_self != nullptr) return t_self;
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

std::string ThreadLabel(const SimThread *t) { return "T" + std::to_string(t->id) + "(" + t->name + ")"; }

SimThread *NewThread(const std::string &name, SimThread::Kind kind, ThreadBody body) {
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
  t->os = std::thread(ThreadMain, s, t);
  return t;
}

void MakeRunnable(SimThread *t) {
  t->state = SimThread::State::Runnable;
  t->blockOn = SimThread::BlockOn::None;
}

void BlockCurrent(const char *routine) {
  KernelState *s = State();
  SimThread *self = t_self;
  if (self == nullptr)
    FatalFault(Fault::InvalidParameter, routine,
               "the host would block: " + DescribeBlocked(&s->host) + "; run the code inside Kernel::Run");
  self->state = SimThread::State::Blocked;
  SimThread *next = ChooseNext(s);
  HandOff(s, self, next);
  if (self->abandon) throw ThreadUnwind();
  DeliverKernelApcs(self);
}

void RunUntilTargetEnds(SimThread *target, uint64_t limit100ns) {
  KernelState *s = State();
  s->runTarget = target;
  s->runDeadline = s->now + limit100ns;
  s->pointsSinceClockMoved = 0;
  HandOff(s, &s->host, ChooseNext(s));
  s->runTarget = nullptr;
  s->runDeadline = UINT64_MAX;
  JoinFinishedThreads();
}

void JoinFinishedThreads() {
  KernelState *s = State();
  for (auto &t : s->threads)
    if (t->state == SimThread::State::Finished && t->os.joinable() && t.get() != t_self) t->os.join();
}

// At teardown every thread still alive is woken with orders to unwind.
void AbandonThreads() {
  KernelState *s = State();
  for (auto &t : s->threads) {
    if (t->state == SimThread::State::Finished) continue;
    t->abandon = true;
    t->state = SimThread::State::Runnable;
    HandOff(s, &s->host, t.get());
  }
}

void CheckIrqlRestored(SimThread *t, const char *routine) {
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

void SchedulePoint() {
  SimThread *self = t_self;
  KernelState *s = State();
  if (self == nullptr || s == nullptr) return;
  if (++s->pointsSinceClockMoved > kLivelockPoints)
    FatalFault(Fault::Hang, "scheduler",
               "threads ran " + std::to_string(kLivelockPoints) + " steps without ever letting the clock move");
  DeliverKernelApcs(self);
  if (NextRandom() % kSwitchOneIn != 0) return;
  std::vector<SimThread *> others = Runnable(s, self);
  if (others.empty()) return;
  HandOff(s, self, others[NextRandom() % others.size()]);
  if (self->abandon) throw ThreadUnwind();
  DeliverKernelApcs(self);
}

SimThread *CreateThread(const std::string &name, ThreadBody body) {
  if (State() == nullptr) {
    std::fprintf(stderr, "sim::CreateThread: no kernel is running\n");
    std::abort();
  }
  return NewThread(name, SimThread::Kind::App, std::move(body));
}

bool ThreadFinished(SimThread *t) { return t->state == SimThread::State::Finished; }

namespace internal {
bool InSimulatedThread() { return t_self != nullptr; }
int SpinLocksHeldByCurrentThread() { return static_cast<int>(Current()->held.size()); }
}  // namespace internal

}  // namespace sim
