// The virtual clock and kernel timers. Time moves with every step of every
// processor, and straight to the next due event when none can run. The
// clock interrupt comes on tick boundaries: timers and wait time-outs expire
// at the first tick at or after their due time, as on Windows, so a relative
// time-out counts from the current time, not from the last tick.
#include <algorithm>
#include <cinttypes>

#include "sim/kernel/src/sched_internal.h"

volatile KSYSTEM_TIME KeTickCount;

namespace sim {
namespace {

constexpr uint64_t kTimeIncrement = 156250;  // 15.625 ms in 100 ns units
// System time at boot: 2007-01-01 00:00 UTC as a FILETIME.
constexpr uint64_t kBootSystemTime = 128120832000000000ull;

void PublishTickCount(uint64_t now) {
  uint64_t ticks = now / kTimeIncrement;
  // Writers go high2, low, high1 so a reader can detect a torn read.
  KeTickCount.High2Time = static_cast<LONG>(ticks >> 32);
  KeTickCount.LowPart = static_cast<ULONG>(ticks);
  KeTickCount.High1Time = static_cast<LONG>(ticks >> 32);
}

bool IsTimer(PKTIMER t) {
  return t->Header.Type == kTimerNotificationObject || t->Header.Type == kTimerSynchronizationObject;
}

void InsertTimer(KernelState *s, PKTIMER timer, uint64_t due) {
  timer->DueTime.QuadPart = due;
  timer->Header.Inserted = TRUE;
  s->timers.push_back(SetTimer{timer, due, ++s->timerSeq});
}

// Expires every timer due at or before the last tick, earliest (then first set) first.
void FireDueTimers(KernelState *s) {
  for (;;) {
    auto due = std::min_element(s->timers.begin(), s->timers.end(), [](const SetTimer &a, const SetTimer &b) {
      return a.due != b.due ? a.due < b.due : a.seq < b.seq;
    });
    if (due == s->timers.end() || due->due > s->lastTick) return;
    PKTIMER timer = due->timer;
    uint64_t dueTime = due->due;
    s->timers.erase(due);
    timer->Header.Inserted = FALSE;
    timer->Header.SignalState = 1;
    if (TraceEnabled()) Trace("timer fire K" + std::to_string(StableId(timer)));
    if (timer->Period > 0)
      InsertTimer(s, timer, std::max(dueTime + static_cast<uint64_t>(timer->Period) * 10000, s->lastTick + 1));
    if (timer->Dpc != nullptr)
      QueueDpcFromKernel(timer->Dpc, reinterpret_cast<PVOID>(static_cast<uintptr_t>(timer->DueTime.LowPart)),
                         reinterpret_cast<PVOID>(static_cast<uintptr_t>(timer->DueTime.HighPart)));
  }
}

void ExpireTimedOutWaits(KernelState *s) {
  std::vector<SimThread *> expired;
  for (auto &t : s->threads)
    if (t->state == SimThread::State::Blocked && t->blockOn == SimThread::BlockOn::Wait && t->waitHasDue &&
        t->waitDue <= s->lastTick)
      expired.push_back(t.get());
  std::sort(expired.begin(), expired.end(), [](SimThread *a, SimThread *b) { return a->waitSeq < b->waitSeq; });
  for (SimThread *t : expired) {
    t->waitStatus = t->waitTimeoutStatus;
    MakeRunnable(t);
  }
}

// The clock interrupt at the last tick boundary at or before now.
void ClockInterrupt(KernelState *s) {
  uint64_t tick = s->now / kTimeIncrement * kTimeIncrement;
  if (tick == s->lastTick) return;
  s->lastTick = tick;
  PublishTickCount(tick);
  FireDueTimers(s);
  WakeSatisfiedWaiters();
  ExpireTimedOutWaits(s);
}

void CheckDeadline(KernelState *s, uint64_t target) {
  if (target <= s->runDeadline) return;
  std::string r;
  for (auto &t : s->threads)
    if (t->state != SimThread::State::Finished) r += "  " + ThreadLabel(t.get()) + ": " + DescribeBlocked(t.get()) + "\n";
  FatalFault(Fault::Hang, "scheduler",
             "virtual time passed the run's limit of " + std::to_string(s->options.virtualTimeLimitMs) +
                 " ms; still waiting:\n" + r);
}

void MoveTo(KernelState *s, uint64_t target) {
  CheckDeadline(s, target);
  s->now = std::max(s->now, target);
  FireDueInterrupts();
  FireDueWakes();
  ClockInterrupt(s);
}

// The tick at which something due at `due` expires.
uint64_t ExpiryTick(KernelState *s, uint64_t due) { return std::max(RoundUpToTick(due), s->lastTick + kTimeIncrement); }

}  // namespace

uint64_t TickLength() { return kTimeIncrement; }
uint64_t RoundUpToTick(uint64_t t) { return (t + kTimeIncrement - 1) / kTimeIncrement * kTimeIncrement; }

uint64_t DueFromTimeout(LONGLONG timeout) {
  uint64_t now = State()->now;
  if (timeout < 0) return now + static_cast<uint64_t>(-timeout);
  uint64_t absolute = static_cast<uint64_t>(timeout);
  if (absolute <= kBootSystemTime) return now;
  return std::max(now, absolute - kBootSystemTime);
}

bool AdvanceClock() {
  KernelState *s = State();
  uint64_t earliest = UINT64_MAX;
  for (const SetTimer &t : s->timers) earliest = std::min(earliest, ExpiryTick(s, t.due));
  for (auto &t : s->threads)
    if (t->state == SimThread::State::Blocked && t->blockOn == SimThread::BlockOn::Wait && t->waitHasDue)
      earliest = std::min(earliest, ExpiryTick(s, t->waitDue));
  earliest = std::min(earliest, NextInterruptDue());
  earliest = std::min(earliest, NextWakeDue());
  if (earliest == UINT64_MAX) return false;
  MoveTo(s, earliest);
  return true;
}

void SpendTime(uint64_t cost) {
  KernelState *s = State();
  MoveTo(s, s->now + cost);
}

void ResetClock() {
  KernelState *s = State();
  s->now = 0;
  s->lastTick = 0;
  PublishTickCount(0);
  // The I/O timer's second starts anywhere: its first call comes within the first second.
  s->ioClockPhase = NextRandom() % (1000 * 10000);
}

void RemoveSetTimer(PKTIMER timer) {
  KernelState *s = State();
  auto it = std::find_if(s->timers.begin(), s->timers.end(), [&](const SetTimer &t) { return t.timer == timer; });
  if (it != s->timers.end()) s->timers.erase(it);
  timer->Header.Inserted = FALSE;
}

std::string TimeLabel() {
  KernelState *s = State();
  uint64_t now = s ? s->now : 0;
  char buf[48];
  std::snprintf(buf, sizeof buf, "[%" PRIu64 ".%04" PRIu64 " ms]", now / 10000, now % 10000);
  return buf;
}

uint64_t Now100ns() { return State() ? State()->now : 0; }
uint64_t NowMs() { return Now100ns() / 10000; }

}  // namespace sim

using namespace sim;

ULONG NTAPI KeQueryTimeIncrement(void) { return static_cast<ULONG>(kTimeIncrement); }

VOID NTAPI KeQueryTickCount(PLARGE_INTEGER CurrentCount) {
  SchedulePoint();
  CurrentCount->QuadPart = static_cast<LONGLONG>(KeQueryInterruptTime() / kTimeIncrement);
}

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  CurrentTime->QuadPart = static_cast<LONGLONG>(kBootSystemTime + KeQueryInterruptTime());
}

// Both advance with the clock interrupt, as on Windows.
ULONGLONG NTAPI KeQueryInterruptTime(void) { return State() ? State()->lastTick : 0; }

VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
  KernelState *s = State();
  if (s != nullptr) {
    auto it = std::find_if(s->timers.begin(), s->timers.end(), [&](const SetTimer &t) { return t.timer == Timer; });
    if (it != s->timers.end()) {
      ReportFault(Fault::InvalidParameter, "KeInitializeTimerEx", "the timer is set: initialising it corrupts the timer list");
      s->timers.erase(it);
    }
    s->stableIds.erase(Timer);
  }
  Timer->Header.Type = Type == SynchronizationTimer ? kTimerSynchronizationObject : kTimerNotificationObject;
  Timer->Header.Absolute = FALSE;
  Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
  Timer->Header.Inserted = FALSE;
  Timer->Header.SignalState = 0;
  InitializeListHead(&Timer->Header.WaitListHead);
  Timer->DueTime.QuadPart = 0;
  InitializeListHead(&Timer->TimerListEntry);
  Timer->Dpc = nullptr;
  Timer->Period = 0;
}

VOID NTAPI KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
  SchedulePoint();
  KernelState *s = State();
  if (!IsTimer(Timer)) {
    ReportFault(Fault::InvalidParameter, "KeSetTimerEx", "not an initialised timer");
    return FALSE;
  }
  if (Period < 0) {
    ReportFault(Fault::InvalidParameter, "KeSetTimerEx", "negative period");
    Period = 0;
  }
  auto it = std::find_if(s->timers.begin(), s->timers.end(), [&](const SetTimer &t) { return t.timer == Timer; });
  BOOLEAN wasSet = it != s->timers.end();
  if (wasSet) s->timers.erase(it);
  Timer->Header.SignalState = 0;
  Timer->Header.Absolute = DueTime.QuadPart > 0;
  Timer->Dpc = Dpc;
  Timer->Period = Period;
  RaceRelease(Timer);
  if (Dpc != nullptr) RaceRelease(Dpc);
  InsertTimer(s, Timer, DueFromTimeout(DueTime.QuadPart));
  SchedulePointAfterEffect();
  return wasSet;
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) { return KeSetTimerEx(Timer, DueTime, 0, Dpc); }

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer) {
  SchedulePoint();
  KernelState *s = State();
  auto it = std::find_if(s->timers.begin(), s->timers.end(), [&](const SetTimer &t) { return t.timer == Timer; });
  if (it == s->timers.end()) return FALSE;
  s->timers.erase(it);
  Timer->Header.Inserted = FALSE;
  return TRUE;
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer) {
  SchedulePoint();
  return Timer->Header.SignalState != 0;
}
