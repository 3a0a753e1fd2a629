// Interlocked operations. Only one simulated thread runs at a time, so each is
// atomic by construction; the schedule point before it is where a real CPU
// could have been overtaken by another.
#include "sim/kernel/src/sched_internal.h"

namespace {

// The interlocked routines are processor instructions, not kernel calls: a
// thread owing the wait of KeSetEvent(Wait = TRUE) may use them, and keeps
// its processor meanwhile.
void InstructionPoint() {
  sim::SimThread *self = sim::CurrentSimThread();
  if (self == nullptr || !self->waitOwed) sim::SchedulePoint();
}

}  // namespace

LONG InterlockedIncrement(LONG volatile *Addend) {
  InstructionPoint();
  return *Addend = static_cast<LONG>(static_cast<ULONG>(*Addend) + 1u);
}

LONG InterlockedDecrement(LONG volatile *Addend) {
  InstructionPoint();
  return *Addend = static_cast<LONG>(static_cast<ULONG>(*Addend) - 1u);
}

LONG InterlockedExchange(LONG volatile *Target, LONG Value) {
  InstructionPoint();
  LONG old = *Target;
  *Target = Value;
  return old;
}

LONG InterlockedExchangeAdd(LONG volatile *Addend, LONG Value) {
  InstructionPoint();
  LONG old = *Addend;
  *Addend = static_cast<LONG>(static_cast<ULONG>(old) + static_cast<ULONG>(Value));
  return old;
}

LONG InterlockedCompareExchange(LONG volatile *Destination, LONG Exchange, LONG Comparand) {
  InstructionPoint();
  LONG old = *Destination;
  if (old == Comparand) *Destination = Exchange;
  return old;
}

PVOID InterlockedExchangePointer(PVOID volatile *Target, PVOID Value) {
  InstructionPoint();
  PVOID old = *Target;
  *Target = Value;
  return old;
}

PVOID InterlockedCompareExchangePointer(PVOID volatile *Destination, PVOID Exchange, PVOID Comparand) {
  InstructionPoint();
  PVOID old = *Destination;
  if (old == Comparand) *Destination = Exchange;
  return old;
}
