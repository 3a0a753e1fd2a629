// Dispatcher objects (events, timers and threads as wait targets) and the
// waits on them.
#include <algorithm>
#include <cinttypes>

#include "sim/kernel/src/sched_internal.h"

namespace sim {
namespace {

bool IsEventType(UCHAR type) { return type == kEventNotificationObject || type == kEventSynchronizationObject; }

bool KnownType(DISPATCHER_HEADER *h) {
  switch (h->Type) {
    case kEventNotificationObject:
    case kEventSynchronizationObject:
    case kThreadObject:
    case kTimerNotificationObject:
    case kTimerSynchronizationObject:
      return true;
    default:
      return false;
  }
}

// Index of the object that satisfies the wait, or -1.
int Satisfier(const std::vector<DISPATCHER_HEADER *> &objects, WAIT_TYPE type) {
  if (objects.empty()) return -1;
  if (type == WaitAny) {
    for (size_t i = 0; i < objects.size(); ++i)
      if (ObjectSignalled(objects[i])) return static_cast<int>(i);
    return -1;
  }
  for (DISPATCHER_HEADER *h : objects)
    if (!ObjectSignalled(h)) return -1;
  return 0;
}

// A satisfied wait takes the signal of auto-reset objects.
void Consume(const std::vector<DISPATCHER_HEADER *> &objects, WAIT_TYPE type, int index) {
  auto take = [](DISPATCHER_HEADER *h) {
    if (h->Type == kEventSynchronizationObject || h->Type == kTimerSynchronizationObject) h->SignalState = 0;
  };
  if (type == WaitAny) {
    take(objects[index]);
    return;
  }
  for (DISPATCHER_HEADER *h : objects) take(h);
}

// The waiter sees what the signaller wrote before signalling.
void AcquireSatisfiers(const std::vector<DISPATCHER_HEADER *> &objects, WAIT_TYPE type, int index) {
  if (type == WaitAny) {
    RaceAcquire(objects[index]);
    return;
  }
  for (DISPATCHER_HEADER *h : objects) RaceAcquire(h);
}

std::string Hex(const void *p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%p", p);
  return buf;
}

// Only a poll (a zero time-out) may wait at DISPATCH_LEVEL.
void CheckWaitIrql(SimThread *self, const char *routine, PLARGE_INTEGER timeout) {
  bool poll = timeout != nullptr && timeout->QuadPart == 0;
  if (self->irql >= DISPATCH_LEVEL && !poll)
    ReportFault(Fault::WaitAtDispatch, routine,
                ThreadLabel(self) + " waits " + (timeout ? "with a time-out" : "without a time-out") +
                    " at IRQL " + std::to_string(self->irql));
}

// Every object is a dispatcher object; one whose header says event must
// also have been initialised as one (zeroed memory says NotificationEvent).
bool CheckWaitObjects(const char *routine, const std::vector<DISPATCHER_HEADER *> &objects) {
  KernelState *s = State();
  for (DISPATCHER_HEADER *h : objects) {
    if (s != nullptr && s->initialisedEvents.count(reinterpret_cast<uintptr_t>(h))) continue;
    if (IsEventType(h->Type)) {
      CheckEventInitialised(h, routine);
      return false;
    }
    if (!KnownType(h)) {
      ReportFault(Fault::InvalidParameter, routine, "object " + Hex(h) + " is not a dispatcher object");
      return false;
    }
  }
  return true;
}

NTSTATUS Wait(const char *routine, std::vector<DISPATCHER_HEADER *> objects, WAIT_TYPE type,
              PLARGE_INTEGER timeout, NTSTATUS timeoutStatus) {
  SimThread *self = Current();
  bool poll = timeout != nullptr && timeout->QuadPart == 0;
  if (!CheckWaitObjects(routine, objects)) return STATUS_INVALID_PARAMETER;
  SchedulePoint();
  int index = Satisfier(objects, type);
  if (index >= 0) {
    AcquireSatisfiers(objects, type, index);
    Consume(objects, type, index);
    return type == WaitAny ? STATUS_WAIT_0 + index : STATUS_SUCCESS;
  }
  if (poll) return timeoutStatus;
  KernelState *s = State();
  bool hasDue = timeout != nullptr;
  uint64_t due = timeout ? DueFromTimeout(timeout->QuadPart) : 0;
  for (;;) {
    self->blockOn = SimThread::BlockOn::Wait;
    self->waitObjects = objects;
    self->waitType = type;
    self->waitHasDue = hasDue;
    self->waitDue = due;
    self->waitSeq = ++s->waitSeq;
    self->waitTimeoutStatus = timeoutStatus;
    BlockCurrent(routine);
    if (self->waitStatus != kStatusKernelApc) {
      if (!self->waitObjects.empty() && self->waitStatus >= STATUS_WAIT_0 &&
          self->waitStatus < STATUS_WAIT_0 + static_cast<NTSTATUS>(self->waitObjects.size()))
        AcquireSatisfiers(self->waitObjects, type, static_cast<int>(self->waitStatus - STATUS_WAIT_0));
      self->waitObjects.clear();
      return self->waitStatus;
    }
    self->waitObjects.clear();
    // Interrupted to run kernel APCs (BlockCurrent ran them): the wait goes
    // on where it was, with the same due time.
    index = Satisfier(objects, type);
    if (index >= 0) {
      AcquireSatisfiers(objects, type, index);
      Consume(objects, type, index);
      return type == WaitAny ? STATUS_WAIT_0 + index : STATUS_SUCCESS;
    }
    if (hasDue && due <= s->now) return timeoutStatus;
  }
}

LONG Signal(PRKEVENT event) {
  LONG previous = event->Header.SignalState;
  event->Header.SignalState = 1;
  if (previous == 0 && State() != nullptr) WakeSatisfiedWaiters();
  return previous;
}

// The checks every event routine but KeInitializeEvent makes on entry.
bool EnterEventRoutine(PRKEVENT event, const char *routine) {
  CheckNoWaitOwed(Current(), routine);
  SchedulePoint();
  return CheckEventInitialised(event, routine);
}

}  // namespace

bool ObjectSignalled(DISPATCHER_HEADER *h) { return h->SignalState > 0; }

void WakeSatisfiedWaiters() {
  KernelState *s = State();
  std::vector<SimThread *> waiters;
  for (auto &t : s->threads)
    if (t->state == SimThread::State::Blocked && t->blockOn == SimThread::BlockOn::Wait) waiters.push_back(t.get());
  std::sort(waiters.begin(), waiters.end(), [](SimThread *a, SimThread *b) { return a->waitSeq < b->waitSeq; });
  for (SimThread *t : waiters) {
    int index = Satisfier(t->waitObjects, t->waitType);
    if (index < 0) continue;
    Consume(t->waitObjects, t->waitType, index);
    t->waitStatus = t->waitType == WaitAny ? STATUS_WAIT_0 + index : STATUS_SUCCESS;
    MakeRunnable(t);
  }
}

std::string DescribeObject(DISPATCHER_HEADER *h) {
  std::string kind;
  switch (h->Type) {
    case kEventNotificationObject: kind = "NotificationEvent"; break;
    case kEventSynchronizationObject: kind = "SynchronizationEvent"; break;
    case kTimerNotificationObject: kind = "NotificationTimer"; break;
    case kTimerSynchronizationObject: kind = "SynchronizationTimer"; break;
    case kThreadObject: {
      _KTHREAD *t = reinterpret_cast<_KTHREAD *>(h);
      kind = "thread T" + std::to_string(t->Id);
      if (t->Sim) kind += "(" + t->Sim->name + ")";
      break;
    }
    default: kind = "object of type " + std::to_string(h->Type);
  }
  return kind + " " + Hex(h);
}

std::string DescribeBlocked(SimThread *t) {
  if (t->state == SimThread::State::Runnable) return "runnable";
  if (t->state == SimThread::State::Finished) return "finished";
  switch (t->blockOn) {
    case SimThread::BlockOn::Dispatch:
      return "woken, runs at " + std::to_string(t->dispatchAt / 10) + " us";
    case SimThread::BlockOn::Wait: {
      std::string r;
      if (t->waitObjects.empty()) {
        r = "delays";
      } else {
        r = std::string("waits (") + (t->waitType == WaitAny ? "any" : "all") + ") on ";
        for (size_t i = 0; i < t->waitObjects.size(); ++i)
          r += (i ? ", " : "") + DescribeObject(t->waitObjects[i]);
      }
      if (t->waitHasDue) r += " until " + std::to_string(t->waitDue / 10000) + " ms";
      return r;
    }
    case SimThread::BlockOn::SpinLock: {
      std::string r = "spins on spin lock " + Hex(t->spinningOn);
      KernelState *s = State();
      bool owner = false;
      for (auto &o : s->threads)
        if (std::find(o->held.begin(), o->held.end(), t->spinningOn) != o->held.end()) {
          r += " held by " + ThreadLabel(o.get());
          owner = true;
        }
      if (!owner) r += " held by no thread (never initialised?)";
      return r;
    }
    case SimThread::BlockOn::Idle: return std::string("idle (") + (t->idleOn ? t->idleOn : "?") + ")";
    default: return "blocked";
  }
}

namespace internal {
void SetEventAtOnce(PKEVENT event) {
  if (CheckEventInitialised(event, "KeSetEvent")) Signal(event);
}
}  // namespace internal

}  // namespace sim

using namespace sim;

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  CheckNoWaitOwed(Current(), "KeInitializeEvent");
  Event->Header.Type = Type == SynchronizationEvent ? kEventSynchronizationObject : kEventNotificationObject;
  Event->Header.Absolute = 0;
  Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
  Event->Header.Inserted = 0;
  Event->Header.SignalState = State ? 1 : 0;
  InitializeListHead(&Event->Header.WaitListHead);
  RecordEvent(Event);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  if (!EnterEventRoutine(Event, "KeSetEvent")) return 0;
  SimThread *self = Current();
  if (self->irql > DISPATCH_LEVEL)
    ReportFault(Fault::InvalidParameter, "KeSetEvent", "called above DISPATCH_LEVEL");
  else if (Wait && self->irql > APC_LEVEL)
    ReportFault(Fault::InvalidParameter, "KeSetEvent",
                "Wait = TRUE at IRQL " + std::to_string(self->irql) +
                    ": the wait it promises must come at or below APC_LEVEL");
  RaceRelease(Event);
  LONG previous = Signal(Event);
  // With Wait = TRUE the caller keeps its processor until the wait it owes.
  if (Wait)
    OweWait(self);
  else
    SchedulePointAfterEffect();
  return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
  if (!EnterEventRoutine(Event, "KeClearEvent")) return;
  Event->Header.SignalState = 0;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
  if (!EnterEventRoutine(Event, "KeResetEvent")) return 0;
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
  if (!EnterEventRoutine(Event, "KeReadStateEvent")) return 0;
  return Event->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout) {
  SimThread *self = Current();
  PayOwedWait(self);
  CheckWaitIrql(self, "KeWaitForSingleObject", Timeout);
  return Wait("KeWaitForSingleObject", {static_cast<DISPATCHER_HEADER *>(Object)}, WaitAny, Timeout,
              STATUS_TIMEOUT);
}

NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                  KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray) {
  SimThread *self = Current();
  PayOwedWait(self);
  if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS || (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr)) {
    ReportFault(Fault::InvalidParameter, "KeWaitForMultipleObjects",
                std::to_string(Count) + " objects" +
                    (WaitBlockArray ? "" : " without a wait block array (at most 3 without one)"));
    return STATUS_INVALID_PARAMETER;
  }
  std::vector<DISPATCHER_HEADER *> objects;
  for (ULONG i = 0; i < Count; ++i) objects.push_back(static_cast<DISPATCHER_HEADER *>(Object[i]));
  CheckWaitIrql(self, "KeWaitForMultipleObjects", Timeout);
  return Wait("KeWaitForMultipleObjects", std::move(objects), WaitType, Timeout, STATUS_TIMEOUT);
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
  SimThread *self = Current();
  CheckNoWaitOwed(self, "KeDelayExecutionThread");
  if (Interval == nullptr) {
    ReportFault(Fault::InvalidParameter, "KeDelayExecutionThread", "no interval");
    return STATUS_INVALID_PARAMETER;
  }
  // Unlike a wait, a delay is no poll even with a zero interval: it gives up
  // the processor, which DISPATCH_LEVEL forbids.
  if (self->irql >= DISPATCH_LEVEL)
    ReportFault(Fault::WaitAtDispatch, "KeDelayExecutionThread",
                ThreadLabel(self) + " delays for " + std::to_string(-Interval->QuadPart / 10000) + " ms at IRQL " +
                    std::to_string(self->irql) + "; a delay needs IRQL <= APC_LEVEL whatever its interval");
  return Wait("KeDelayExecutionThread", {}, WaitAny, Interval, STATUS_SUCCESS);
}
