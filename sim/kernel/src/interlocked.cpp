// Interlocked operations. Only one simulated thread runs at a time, so each is
// atomic by construction; the schedule points around it are where a real CPU
// could have been overtaken by another, before or just after it took effect.
#include "sim/kernel/src/sched_internal.h"

namespace {

// The interlocked routines are processor instructions, not kernel calls: a
// thread owing the wait of KeSetEvent(Wait = TRUE) may use them, and keeps
// its processor meanwhile.
bool OwesWait() {
  sim::SimThread *self = sim::CurrentSimThread();
  return self != nullptr && self->waitOwed;
}

void Before(const volatile void *target) {
  if (!OwesWait()) sim::SchedulePoint();
  sim::RaceBarrier(target);
}

template <typename T>
T After(T result) {
  if (!OwesWait()) sim::SchedulePointAfterEffect();
  return result;
}

}  // namespace

LONG FASTCALL InterlockedIncrement(LONG volatile *Addend) {
  Before(Addend);
  return After<LONG>(*Addend = static_cast<LONG>(static_cast<ULONG>(*Addend) + 1u));
}

LONG FASTCALL InterlockedDecrement(LONG volatile *Addend) {
  Before(Addend);
  return After<LONG>(*Addend = static_cast<LONG>(static_cast<ULONG>(*Addend) - 1u));
}

LONG FASTCALL InterlockedExchange(LONG volatile *Target, LONG Value) {
  Before(Target);
  LONG old = *Target;
  *Target = Value;
  return After(old);
}

LONG FASTCALL InterlockedExchangeAdd(LONG volatile *Addend, LONG Value) {
  Before(Addend);
  LONG old = *Addend;
  *Addend = static_cast<LONG>(static_cast<ULONG>(old) + static_cast<ULONG>(Value));
  return After(old);
}

LONG FASTCALL InterlockedCompareExchange(LONG volatile *Destination, LONG Exchange, LONG Comparand) {
  Before(Destination);
  LONG old = *Destination;
  if (old == Comparand) *Destination = Exchange;
  return After(old);
}

#if !defined(__i386__)
PVOID InterlockedExchangePointer(PVOID volatile *Target, PVOID Value) {
  Before(Target);
  PVOID old = *Target;
  *Target = Value;
  return After(old);
}

PVOID InterlockedCompareExchangePointer(PVOID volatile *Destination, PVOID Exchange, PVOID Comparand) {
  Before(Destination);
  PVOID old = *Destination;
  if (old == Comparand) *Destination = Exchange;
  return After(old);
}
#endif
