// IRQL per simulated thread, and spin locks with the checks a driver
// verifier makes: taken twice, released by a non-owner, taken in orders that
// form a cycle, still held when the IRQL drops below DISPATCH_LEVEL.
#include <algorithm>

#include "sim/kernel/src/sched_internal.h"

namespace sim {
namespace {

// The lock word holds its owner's thread id; 0 is free.
KSPIN_LOCK OwnerTag(SimThread *t) { return static_cast<KSPIN_LOCK>(t->id) + 1; }

std::string LockName(uintptr_t lock) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%p", reinterpret_cast<void *>(lock));
  return buf;
}
std::string LockName(PKSPIN_LOCK lock) { return LockName(reinterpret_cast<uintptr_t>(lock)); }

// A path from `from` to `to` along the recorded orders, `from` first.
bool OrderPath(uintptr_t from, uintptr_t to, std::set<uintptr_t> &seen, std::vector<uintptr_t> &path) {
  path.push_back(from);
  if (from == to) return true;
  if (seen.insert(from).second) {
    const auto &order = State()->lockOrder;
    for (auto it = order.lower_bound({from, 0}); it != order.end() && it->first == from; ++it)
      if (OrderPath(it->second, to, seen, path)) return true;
  }
  path.pop_back();
  return false;
}

// The new order `held` then `taken` closes a cycle when `taken` already
// leads back to `held`: each lock of it can be held by one CPU that spins on
// the next. Each cycle is reported once.
void CheckOrderCycle(SimThread *self, uintptr_t held, uintptr_t taken, const char *routine) {
  KernelState *s = State();
  std::set<uintptr_t> seen;
  std::vector<uintptr_t> path;
  if (!OrderPath(taken, held, seen, path)) return;
  std::vector<uintptr_t> locks(path);
  std::sort(locks.begin(), locks.end());
  if (!s->cyclesReported.insert(locks).second) return;
  std::string where = ThreadLabel(self) + " takes spin lock " + LockName(taken) + " while holding " + LockName(held);
  if (path.size() == 2) {
    ReportFault(Fault::LockOrderInversion, routine, where + "; elsewhere they were taken the other way round");
    return;
  }
  std::string cycle = LockName(held);
  for (uintptr_t lock : path) cycle += " -> " + LockName(lock);
  ReportFault(Fault::LockOrderInversion, routine,
              where + "; with the orders taken elsewhere the locks form the cycle " + cycle);
}

void RecordOrder(SimThread *self, PKSPIN_LOCK taken, const char *routine) {
  KernelState *s = State();
  auto b = reinterpret_cast<uintptr_t>(taken);
  for (PKSPIN_LOCK h : self->held) {
    auto a = reinterpret_cast<uintptr_t>(h);
    if (a == b) continue;
    if (s->lockOrder.insert({a, b}).second) CheckOrderCycle(self, a, b, routine);
  }
}

void Acquire(PKSPIN_LOCK lock, const char *routine) {
  SimThread *self = Current();
  CheckNoWaitOwed(self, routine);
  SchedulePoint();
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
  RaceAcquire(lock);
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
  CheckNoWaitOwed(self, routine);
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
  RaceRelease(lock);
  FreeLock(lock);
}

std::string LockList(const std::vector<PKSPIN_LOCK> &locks) {
  std::string r;
  for (PKSPIN_LOCK l : locks) r += (r.empty() ? "" : ", ") + LockName(l);
  return r;
}

KIRQL Raise(KIRQL newIrql, const char *routine) {
  SimThread *self = Current();
  CheckNoWaitOwed(self, routine);
  KIRQL old = self->irql;
  if (newIrql < old)
    ReportFault(Fault::InvalidParameter, routine,
                "raise to " + std::to_string(newIrql) + " from the higher IRQL " + std::to_string(old));
  self->irql = newIrql;
  return old;
}

// Below DISPATCH_LEVEL the thread can be switched out while it holds a spin
// lock, and another thread on its CPU then spins on it for ever.
void Lower(KIRQL newIrql, const char *routine) {
  SimThread *self = Current();
  CheckNoWaitOwed(self, routine);
  if (newIrql > self->irql)
    ReportFault(Fault::InvalidParameter, routine,
                "lower to " + std::to_string(newIrql) + " from the lower IRQL " + std::to_string(self->irql));
  else if (newIrql < DISPATCH_LEVEL && !self->held.empty())
    ReportFault(Fault::IrqlLoweredHoldingSpinLock, routine,
                ThreadLabel(self) + " lowers IRQL to " + std::to_string(newIrql) + " while holding spin lock " +
                    LockName(self->held.back()) + "; spin locks are held at DISPATCH_LEVEL until released");
  self->irql = newIrql;
  if (newIrql < DISPATCH_LEVEL) {
    // DPCs queued meanwhile on this processor run now.
    IrqlLowered();
    SchedulePoint();
  }
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

KIRQL NTAPI KeGetCurrentIrql(void) { return Current()->irql; }

KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) { return Raise(NewIrql, "KfRaiseIrql"); }

VOID FASTCALL KfLowerIrql(KIRQL NewIrql) { Lower(NewIrql, "KfLowerIrql"); }

// Parenthesised: x86 builds map the names onto the Kf routines, yet the HAL exports both.
VOID NTAPI (KeRaiseIrql)(KIRQL NewIrql, PKIRQL OldIrql) { *OldIrql = Raise(NewIrql, "KeRaiseIrql"); }
VOID NTAPI (KeLowerIrql)(KIRQL NewIrql) { Lower(NewIrql, "KeLowerIrql"); }
KIRQL NTAPI KeRaiseIrqlToDpcLevel(void) { return Raise(DISPATCH_LEVEL, "KeRaiseIrqlToDpcLevel"); }

VOID SimCheckPagedCode(const char *routine) {
  SimThread *self = Current();
  if (self->irql > APC_LEVEL && State() != nullptr)
    ReportFault(Fault::PagedCodeAtDispatch, routine,
                "pageable routine runs at IRQL " + std::to_string(self->irql) + " in " + ThreadLabel(self));
}

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  *SpinLock = 0;
  // A new lock at an old address starts with no order history.
  KernelState *s = State();
  if (s == nullptr) return;
  auto a = reinterpret_cast<uintptr_t>(SpinLock);
  for (auto it = s->lockOrder.begin(); it != s->lockOrder.end();)
    it = (it->first == a || it->second == a) ? s->lockOrder.erase(it) : std::next(it);
}

KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
  KIRQL old = Raise(DISPATCH_LEVEL, "KfAcquireSpinLock");
  Acquire(SpinLock, "KfAcquireSpinLock");
  return old;
}

VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  Release(SpinLock, "KfReleaseSpinLock");
  SchedulePointAfterEffect();
  Lower(NewIrql, "KfReleaseSpinLock");
}

VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  if (Current()->irql < DISPATCH_LEVEL)
    ReportFault(Fault::InvalidParameter, "KeAcquireSpinLockAtDpcLevel",
                "called at IRQL " + std::to_string(Current()->irql));
  Acquire(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  Release(SpinLock, "KeReleaseSpinLockFromDpcLevel");
  SchedulePointAfterEffect();
}
