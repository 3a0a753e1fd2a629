// Interlocked operations. Only one simulated thread runs at a time, so each is
// atomic by construction; the schedule points around it are where a real CPU
// could have been overtaken by another, before or just after it took effect.
#include "sim/kernel/src/sched_internal.h"

using sim::SchedulePoint;

namespace {
template <typename T>
T AfterEffect(T result) {
  sim::SchedulePointAfterEffect();
  return result;
}
}  // namespace

LONG InterlockedIncrement(LONG volatile *Addend) {
  SchedulePoint();
  sim::RaceBarrier(Addend);
  return AfterEffect<LONG>(*Addend = static_cast<LONG>(static_cast<ULONG>(*Addend) + 1u));
}

LONG InterlockedDecrement(LONG volatile *Addend) {
  SchedulePoint();
  sim::RaceBarrier(Addend);
  return AfterEffect<LONG>(*Addend = static_cast<LONG>(static_cast<ULONG>(*Addend) - 1u));
}

LONG InterlockedExchange(LONG volatile *Target, LONG Value) {
  SchedulePoint();
  sim::RaceBarrier(Target);
  LONG old = *Target;
  *Target = Value;
  return AfterEffect(old);
}

LONG InterlockedExchangeAdd(LONG volatile *Addend, LONG Value) {
  SchedulePoint();
  sim::RaceBarrier(Addend);
  LONG old = *Addend;
  *Addend = static_cast<LONG>(static_cast<ULONG>(old) + static_cast<ULONG>(Value));
  return AfterEffect(old);
}

LONG InterlockedCompareExchange(LONG volatile *Destination, LONG Exchange, LONG Comparand) {
  SchedulePoint();
  sim::RaceBarrier(Destination);
  LONG old = *Destination;
  if (old == Comparand) *Destination = Exchange;
  return AfterEffect(old);
}

PVOID InterlockedExchangePointer(PVOID volatile *Target, PVOID Value) {
  SchedulePoint();
  sim::RaceBarrier(Target);
  PVOID old = *Target;
  *Target = Value;
  return AfterEffect(old);
}

PVOID InterlockedCompareExchangePointer(PVOID volatile *Destination, PVOID Exchange, PVOID Comparand) {
  SchedulePoint();
  sim::RaceBarrier(Destination);
  PVOID old = *Destination;
  if (old == Comparand) *Destination = Exchange;
  return AfterEffect(old);
}
