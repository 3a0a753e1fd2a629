// The I/O timer: one per device object, called once a second of virtual
// time at DISPATCH_LEVEL from the DPC processor while started.
#include <algorithm>

#include "sim/kernel/src/sched_internal.h"

namespace sim {
namespace {

constexpr LONG kIoTimerPeriodMs = 1000;

bool AnyStarted(KernelState *s) {
  return std::any_of(s->ioTimers.begin(), s->ioTimers.end(), [](PIO_TIMER t) { return t->Started; });
}

VOID NTAPI IoClockTick(PKDPC, PVOID, PVOID, PVOID) {
  KernelState *s = State();
  SimThread *self = CurrentSimThread();
  // By index: a routine may start or stop timers (its own or others').
  for (size_t i = 0; i < s->ioTimers.size(); ++i) {
    PIO_TIMER t = s->ioTimers[i];
    if (!t->Started) continue;
    if (TraceEnabled()) Trace("io timer I" + std::to_string(StableId(t)));
    RaceAcquire(t);
    s->cpus[self->dpcCpu].runningIoTimerOf = t->Device;
    CallDriverRoutine(t->Routine, t->Device, t->Context);
    s->cpus[self->dpcCpu].runningIoTimerOf = nullptr;
    CheckIrqlRestored(self, "I/O timer routine");
  }
  if (!AnyStarted(s)) KeCancelTimer(&s->ioClock);
}

// The I/O timer runs once a second at the machine's own phase, so a device's
// first call comes anywhere within the second after IoStartTimer.
void ArmClock(KernelState *s) {
  if (s->ioClock.Header.Inserted) return;
  constexpr uint64_t kPeriod = kIoTimerPeriodMs * 10000ull;
  uint64_t next = s->now / kPeriod * kPeriod + s->ioClockPhase;
  if (next <= s->now) next += kPeriod;
  LARGE_INTEGER due;
  KeQuerySystemTime(&due);
  due.QuadPart += static_cast<LONGLONG>(next - KeQueryInterruptTime());
  KeSetTimerEx(&s->ioClock, due, kIoTimerPeriodMs, &s->ioClockDpc);
}

PIO_TIMER TimerOf(PDEVICE_OBJECT device, const char *routine) {
  PIO_TIMER t = device->Timer;
  KernelState *s = State();
  if (t == nullptr || std::find(s->ioTimers.begin(), s->ioTimers.end(), t) == s->ioTimers.end()) {
    ReportFault(Fault::InvalidParameter, routine, "the device object has no I/O timer (IoInitializeTimer)");
    return nullptr;
  }
  return t;
}

}  // namespace

void ResetIoTimers() {
  KernelState *s = State();
  for (PIO_TIMER t : s->ioTimers) delete t;
  s->ioTimers.clear();
  KeInitializeTimer(&s->ioClock);
  KeInitializeDpc(&s->ioClockDpc, IoClockTick, nullptr);
}

namespace internal {
bool ReleaseIoTimer(PDEVICE_OBJECT device) {
  KernelState *s = State();
  auto it = std::find(s->ioTimers.begin(), s->ioTimers.end(), device->Timer);
  if (it == s->ioTimers.end()) return false;
  bool started = (*it)->Started;
  delete *it;
  s->ioTimers.erase(it);
  device->Timer = nullptr;
  if (!AnyStarted(s)) KeCancelTimer(&s->ioClock);
  return started;
}
}  // namespace internal

}  // namespace sim

using namespace sim;

NTSTATUS NTAPI IoInitializeTimer(PDEVICE_OBJECT DeviceObject, PIO_TIMER_ROUTINE TimerRoutine, PVOID Context) {
  SchedulePoint();
  KernelState *s = State();
  PIO_TIMER t = DeviceObject->Timer;
  if (t == nullptr || std::find(s->ioTimers.begin(), s->ioTimers.end(), t) == s->ioTimers.end()) {
    t = new _IO_TIMER();
    s->ioTimers.push_back(t);
    DeviceObject->Timer = t;
    t->Started = false;
  } else {
    // Once per device object: a second call swaps the routine of a timer
    // that may be started and running on another CPU.
    ReportFault(Fault::IoTimerInitializedTwice, "IoInitializeTimer",
                "the device object has an I/O timer already; call IoInitializeTimer once, from AddDevice");
  }
  t->Device = DeviceObject;
  t->Routine = TimerRoutine;
  t->Context = Context;
  return STATUS_SUCCESS;
}

VOID NTAPI IoStartTimer(PDEVICE_OBJECT DeviceObject) {
  SchedulePoint();
  PIO_TIMER t = TimerOf(DeviceObject, "IoStartTimer");
  if (t == nullptr) return;
  RaceRelease(t);
  t->Started = true;
  ArmClock(State());
}

VOID NTAPI IoStopTimer(PDEVICE_OBJECT DeviceObject) {
  SchedulePoint();
  PIO_TIMER t = TimerOf(DeviceObject, "IoStopTimer");
  if (t != nullptr) t->Started = false;
}
