// Interlocked operations. Only one simulated thread runs at a time, so each is
// atomic by construction; the schedule point before it is where a real CPU
// could have been overtaken by another.
#include "sim/kernel/src/sched_internal.h"

using sim::SchedulePoint;

LONG InterlockedIncrement(LONG volatile *Addend) {
  SchedulePoint();
  return *Addend = static_cast<LONG>(static_cast<ULONG>(*Addend) + 1u);
}

LONG InterlockedDecrement(LONG volatile *Addend) {
  SchedulePoint();
  return *Addend = static_cast<LONG>(static_cast<ULONG>(*Addend) - 1u);
}

LONG InterlockedExchange(LONG volatile *Target, LONG Value) {
  SchedulePoint();
  LONG old = *Target;
  *Target = Value;
  return old;
}

LONG InterlockedExchangeAdd(LONG volatile *Addend, LONG Value) {
  SchedulePoint();
  LONG old = *Addend;
  *Addend = static_cast<LONG>(static_cast<ULONG>(old) + static_cast<ULONG>(Value));
  return old;
}

LONG InterlockedCompareExchange(LONG volatile *Destination, LONG Exchange, LONG Comparand) {
  SchedulePoint();
  LONG old = *Destination;
  if (old == Comparand) *Destination = Exchange;
  return old;
}

PVOID InterlockedExchangePointer(PVOID volatile *Target, PVOID Value) {
  SchedulePoint();
  PVOID old = *Target;
  *Target = Value;
  return old;
}

PVOID InterlockedCompareExchangePointer(PVOID volatile *Destination, PVOID Exchange, PVOID Comparand) {
  SchedulePoint();
  PVOID old = *Destination;
  if (old == Comparand) *Destination = Exchange;
  return old;
}
