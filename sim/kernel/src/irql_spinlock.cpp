// IRQL per simulated thread, and spin locks with the checks a driver
// verifier makes: taken twice, released by a non-owner, taken in both orders.
#include <algorithm>

#include "sim/kernel/src/sched_internal.h"

namespace sim {
namespace {

// The lock word holds its owner's thread id; 0 is free.
KSPIN_LOCK OwnerTag(SimThread *t) { return static_cast<KSPIN_LOCK>(t->id) + 1; }

std::string LockName(PKSPIN_LOCK lock) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%p", static_cast<void *>(lock));
  return buf;
}

void RecordOrder(SimThread *self, PKSPIN_LOCK taken, const char *routine) {
  KernelState *s = State();
  auto b = reinterpret_cast<uintptr_t>(taken);
  for (PKSPIN_LOCK h : self->held) {
    auto a = reinterpret_cast<uintptr_t>(h);
    if (a == b) continue;
    s->lockOrder.insert({a, b});
    if (s->lockOrder.count({b, a}) && !s->inversionsReported.count({std::min(a, b), std::max(a, b)})) {
      s->inversionsReported.insert({std::min(a, b), std::max(a, b)});
      ReportFault(Fault::LockOrderInversion, routine,
                  ThreadLabel(self) + " takes spin lock " + LockName(taken) + " while holding " + LockName(h) +
                      "; elsewhere they were taken the other way round");
    }
  }
}

void Acquire(PKSPIN_LOCK lock, const char *routine) {
  SchedulePoint();
  SimThread *self = Current();
  if (*lock == OwnerTag(self))
    FatalFault(Fault::SpinLockAcquiredTwice, routine,
               ThreadLabel(self) + " takes spin lock " + LockName(lock) + " that it already holds: the CPU spins forever");
  while (*lock != 0) {
    self->blockOn = SimThread::BlockOn::SpinLock;
    self->spinningOn = lock;
    BlockCurrent(routine);
    self->spinningOn = nullptr;
  }
  *lock = OwnerTag(self);
  RecordOrder(self, lock, routine);
  self->held.push_back(lock);
}

// The lock word is cleared and whoever spins on it may take it.
void FreeLock(PKSPIN_LOCK lock) {
  *lock = 0;
  KernelState *s = State();
  if (s == nullptr) return;
  for (auto &t : s->threads)
    if (t->state == SimThread::State::Blocked && t->blockOn == SimThread::BlockOn::SpinLock && t->spinningOn == lock)
      MakeRunnable(t.get());
}

void Release(PKSPIN_LOCK lock, const char *routine) {
  KernelState *s = State();
  SimThread *self = Current();
  auto mine = std::find(self->held.begin(), self->held.end(), lock);
  if (mine != self->held.end()) {
    self->held.erase(mine);
  } else {
    std::string owner = "no thread";
    if (s != nullptr)
      for (auto &t : s->threads) {
        auto it = std::find(t->held.begin(), t->held.end(), lock);
        if (it == t->held.end()) continue;
        owner = ThreadLabel(t.get());
        t->held.erase(it);
      }
    ReportFault(Fault::SpinLockReleasedByNonOwner, routine,
                ThreadLabel(self) + " releases spin lock " + LockName(lock) + " held by " + owner);
  }
  FreeLock(lock);
}

std::string LockList(const std::vector<PKSPIN_LOCK> &locks) {
  std::string r;
  for (PKSPIN_LOCK l : locks) r += (r.empty() ? "" : ", ") + LockName(l);
  return r;
}

}  // namespace

namespace internal {

bool CurrentThreadHolds(PKSPIN_LOCK lock) {
  const std::vector<PKSPIN_LOCK> &held = Current()->held;
  return std::find(held.begin(), held.end(), lock) != held.end();
}

RoutineEntry EnterDriverRoutine() {
  SimThread *self = Current();
  return RoutineEntry{self->irql, self->held};
}

void CheckDriverRoutineReturn(const RoutineEntry &entry, const char *kind, const std::string &what) {
  SimThread *self = Current();
  std::vector<PKSPIN_LOCK> kept;
  for (PKSPIN_LOCK l : self->held)
    if (std::find(entry.held.begin(), entry.held.end(), l) == entry.held.end()) kept.push_back(l);
  if (kept.empty() && self->irql == entry.irql) return;
  std::string wrong;
  if (self->irql != entry.irql)
    wrong = " returned at IRQL " + std::to_string(self->irql) + ", called at " + std::to_string(entry.irql);
  if (!kept.empty()) wrong += std::string(wrong.empty() ? " returned" : ",") + " holding spin lock(s) " + LockList(kept);
  ReportFault(Fault::IrqlNotRestored, kind, what + wrong + " in " + ThreadLabel(self));
  // Taken back, so that the run goes on and others may take the locks.
  for (PKSPIN_LOCK l : kept) {
    self->held.erase(std::find(self->held.begin(), self->held.end(), l));
    FreeLock(l);
  }
  self->irql = entry.irql;
}

}  // namespace internal
}  // namespace sim

using namespace sim;

KIRQL KeGetCurrentIrql(void) { return Current()->irql; }

KIRQL KfRaiseIrql(KIRQL NewIrql) {
  SimThread *self = Current();
  KIRQL old = self->irql;
  if (NewIrql < old)
    ReportFault(Fault::InvalidParameter, "KfRaiseIrql",
                "raise to " + std::to_string(NewIrql) + " from the higher IRQL " + std::to_string(old));
  self->irql = NewIrql;
  return old;
}

VOID KfLowerIrql(KIRQL NewIrql) {
  SimThread *self = Current();
  if (NewIrql > self->irql)
    ReportFault(Fault::InvalidParameter, "KfLowerIrql",
                "lower to " + std::to_string(NewIrql) + " from the lower IRQL " + std::to_string(self->irql));
  self->irql = NewIrql;
  if (NewIrql < DISPATCH_LEVEL) SchedulePoint();
}

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) { *OldIrql = KfRaiseIrql(NewIrql); }
VOID KeLowerIrql(KIRQL NewIrql) { KfLowerIrql(NewIrql); }
KIRQL KeRaiseIrqlToDpcLevel(void) { return KfRaiseIrql(DISPATCH_LEVEL); }

VOID SimCheckPagedCode(const char *routine) {
  SimThread *self = Current();
  if (self->irql > APC_LEVEL && State() != nullptr)
    ReportFault(Fault::PagedCodeAtDispatch, routine,
                "pageable routine runs at IRQL " + std::to_string(self->irql) + " in " + ThreadLabel(self));
}

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  *SpinLock = 0;
  // A new lock at an old address starts with no order history.
  KernelState *s = State();
  if (s == nullptr) return;
  auto a = reinterpret_cast<uintptr_t>(SpinLock);
  for (auto it = s->lockOrder.begin(); it != s->lockOrder.end();)
    it = (it->first == a || it->second == a) ? s->lockOrder.erase(it) : std::next(it);
}

KIRQL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  Acquire(SpinLock, "KfAcquireSpinLock");
  return old;
}

VOID KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  Release(SpinLock, "KfReleaseSpinLock");
  KfLowerIrql(NewIrql);
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  if (Current()->irql < DISPATCH_LEVEL)
    ReportFault(Fault::InvalidParameter, "KeAcquireSpinLockAtDpcLevel",
                "called at IRQL " + std::to_string(Current()->irql));
  Acquire(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  Release(SpinLock, "KeReleaseSpinLockFromDpcLevel");
  SchedulePoint();
}
