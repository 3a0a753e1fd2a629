// The scheduler side's own state: simulated threads, the clock, timers,
// the DPC queue, handles. Only the files of that side include this.
#pragma once

#include <ucontext.h>

#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "sim/kernel/driver_code.h"
#include "sim/kernel/internal.h"
#include "sim/kernel/src/race.h"
#include "sim/kernel/sim.h"

// Dispatcher object kinds, as the kernel numbers them in DISPATCHER_HEADER.Type.
enum : UCHAR {
  kEventNotificationObject = 0,
  kEventSynchronizationObject = 1,
  kThreadObject = 6,
  kTimerNotificationObject = 8,
  kTimerSynchronizationObject = 9,
};

// The thread object a handle and a wait refer to. Its header comes first so
// that it is a dispatcher object like any other.
struct _KTHREAD {
  DISPATCHER_HEADER Header;
  sim::SimThread *Sim;  // NULL once the simulated thread is gone
  LONG_PTR References;  // one for the running thread, one per handle and reference
  uint32_t Id;
};
struct _ETHREAD {
  _KTHREAD Tcb;
  LIST_ENTRY IrpList;  // the IRPs the thread issued, through IRP.ThreadListEntry
};

struct _IO_TIMER {
  PDEVICE_OBJECT Device;
  PIO_TIMER_ROUTINE Routine;
  PVOID Context;
  bool Started;
};

struct _IO_WORKITEM {
  PDEVICE_OBJECT Device;
  PIO_WORKITEM_ROUTINE Routine;
  PVOID Context;
  bool Queued;
};

namespace sim {

// Thrown into a simulated thread to end it (PsTerminateSystemThread, or the
// kernel abandoning the thread at teardown); caught where the thread began.
struct ThreadUnwind {};

struct SimThread {
  enum class Kind { Host, Run, App, System, Service };
  enum class State { Runnable, Blocked, Finished };
  enum class BlockOn { None, Wait, SpinLock, Idle, Dispatch };

  uint32_t id = 0;
  std::string name;
  Kind kind = Kind::App;
  State state = State::Runnable;
  ThreadBody body;
  bool abandon = false;

  // The fiber the thread runs on (the host's is the process's own stack).
  ucontext_t context;
  void *stack = nullptr;
  size_t stackSize = 0;
  const void *stackBottom = nullptr;  // as the sanitizers know it
  size_t stackBytes = 0;
  void *fakeStack = nullptr;          // AddressSanitizer's, saved across a switch
  void *raceFiber = nullptr;          // ThreadSanitizer's
  std::unique_ptr<DriverStack> driverStack;  // where image code runs (driver_code.h)

  // The processor the thread is on while it runs, or -1 while it is ready
  // (preempted) or blocked. A DPC processor's thread never leaves its own.
  int cpu = -1;
  int dpcCpu = -1;  // >= 0: this thread is that processor's DPC context

  KIRQL irql = PASSIVE_LEVEL;
  KIRQL baseIrql = PASSIVE_LEVEL;   // what the thread must be at when its work returns
  std::vector<PKSPIN_LOCK> held;
  // KeSetEvent(Wait = TRUE) left the thread at DISPATCH_LEVEL owing a wait,
  // which returns it to the IRQL it had before.
  bool waitOwed = false;
  KIRQL irqlBeforeSetEvent = PASSIVE_LEVEL;

  BlockOn blockOn = BlockOn::None;
  // A dispatcher wait.
  std::vector<DISPATCHER_HEADER *> waitObjects;
  WAIT_TYPE waitType = WaitAny;
  bool waitHasDue = false;
  uint64_t waitDue = 0;
  uint64_t dispatchAt = 0;  // BlockOn::Dispatch: woken, ready only from this time
  uint64_t waitSeq = 0;
  NTSTATUS waitStatus = STATUS_SUCCESS;
  NTSTATUS waitTimeoutStatus = STATUS_TIMEOUT;
  // Spinning on a lock another thread holds.
  PKSPIN_LOCK spinningOn = nullptr;
  // A kernel service thread with nothing to do.
  const char *idleOn = nullptr;

  _KTHREAD *object = nullptr;

  // Kernel APCs queued to the thread: they run in it, at APC_LEVEL, once it
  // is below APC_LEVEL (apc.cpp).
  struct KernelApc {
    void (*routine)(void *context);
    void *context;
  };
  std::deque<KernelApc> kernelApcs;
  bool inKernelApc = false;
};

struct SetTimer {
  PKTIMER timer;
  uint64_t due;  // 100 ns interrupt time
  uint64_t seq;
};

struct HandleEntry {
  internal::HandleKind kind;
  void *object;
  internal::HandleCloseFn close;
};

struct Worker {
  SimThread *thread = nullptr;
  PDEVICE_OBJECT running = nullptr;  // device of the item whose routine runs now
};

struct WorkQueue {
  std::deque<PIO_WORKITEM> items;
  std::vector<Worker> workers;
};

// A simulated processor: what runs on it, and its DPC queue. While a DPC
// runs, the thread it interrupted waits on the processor for it to finish.
struct Processor {
  SimThread *running = nullptr;
  SimThread *interrupted = nullptr;
  std::deque<PKDPC> dpcs;
  SimThread *dpcThread = nullptr;
  // What the DPC context executes now, for the deletion checks.
  PKDPC runningDpc = nullptr;
  PDEVICE_OBJECT runningIoTimerOf = nullptr;  // the device whose I/O timer routine runs
};

// A device's interrupt, due at an exact virtual time (not on a clock tick).
struct PendingInterrupt {
  uint64_t due;
  uint64_t seq;
  PKDPC dpc;
  PVOID arg1;
  PVOID arg2;
};

struct KernelState {
  KernelOptions options;

  // Exactly one fiber (a simulated thread's, or the host's) executes.
  SimThread host;
  SimThread *current = nullptr;
  SimThread *switchedFrom = nullptr;
  std::vector<std::unique_ptr<SimThread>> threads;
  SimThread *runTarget = nullptr;
  uint32_t nextThreadId = 1;
  uint32_t nextSystemThread = 1;

  uint64_t rng = 0;
  uint64_t deviceRng = 0;  // devices' own stream: their choices do not shift the scheduler's
  uint64_t waitSeq = 0;
  uint64_t pointsSinceBlock = 0;
  // Schedule points passed, and the action armed for one of them (AtSchedulePoint).
  uint64_t schedulePoints = 0;
  uint64_t actionAtPoint = 0;  // 0: none armed
  std::function<void()> pointAction;

  // Processors, and the threads ready to run that none of them runs now.
  std::vector<Processor> cpus;
  std::vector<SimThread *> ready;

  // Virtual time in 100 ns units. Every schedule point costs a little of it.
  uint64_t now = 0;
  uint64_t lastTick = 0;   // the clock interrupt last handled, on a tick boundary
  uint64_t runDeadline = UINT64_MAX;
  uint64_t ioClockPhase = 0;  // where in each second the I/O timer runs

  std::vector<SetTimer> timers;
  uint64_t timerSeq = 0;
  std::vector<PendingInterrupt> interrupts;
  // Scheduling latency of woken system threads, as on a loaded machine.
  uint32_t systemWakeLatencyUs = 0;
  std::vector<SimThread *> delayedWakes;
  uint64_t interruptSeq = 0;
  std::map<const void *, uint32_t> stableIds;
  uint32_t nextStableId = 1;

  // Spin lock order: pairs (held, then taken).
  std::set<std::pair<uintptr_t, uintptr_t>> lockOrder;
  // Order cycles reported, each as the sorted set of its locks.
  std::set<std::vector<uintptr_t>> cyclesReported;

  // Addresses of the events KeInitializeEvent set up, until their memory is
  // freed. Stack memory going out of scope is never seen: a stale address
  // stays, which can hide a fault but never invents one.
  std::set<uintptr_t> initialisedEvents;

  std::map<uintptr_t, HandleEntry> handles;
  uintptr_t nextHandle = 0x80000004;
  std::set<_KTHREAD *> threadObjects;

  std::vector<PIO_TIMER> ioTimers;
  KTIMER ioClock;
  KDPC ioClockDpc;
  WorkQueue workQueues[3];  // critical, delayed, hypercritical

  std::vector<FaultRecord> faults;
  FILE *trace = nullptr;
  uint64_t traceSeq = 0;
  bool shutDown = false;
};

// The live kernel's state, or NULL between kernels.
KernelState *State();
// The simulated thread running now, or the host's context.
SimThread *Current();
SimThread *CurrentSimThread();  // NULL on the host

// Reports a fault after which the machine cannot go on: prints it with the
// seed and aborts the process.
[[noreturn]] void FatalFault(Fault kind, const char *routine, const std::string &detail);

// Fibers.
void StartFiber(SimThread *t, void (*entry)());
void SwitchFiber(SimThread *from, SimThread *to);
void ExitFiber(SimThread *from, SimThread *to);  // `from` never runs again
void FreeFiber(SimThread *t);

// Scheduler.
// A new thread is ready to run unless `ready` is false (a DPC context waits for its DPCs).
SimThread *NewThread(const std::string &name, SimThread::Kind kind, ThreadBody body, bool ready = true);
void BlockCurrent(const char *routine);  // the caller has filled in what it blocks on
void MakeRunnable(SimThread *t);
void RunUntilTargetEnds(SimThread *target, uint64_t limit100ns);
void AbandonThreads();
void JoinFinishedThreads();
uint64_t NextRandom();

// Processors.
void ResetProcessors(unsigned count);
int CurrentCpu();  // the current thread's processor; 0 for the host
// A DPC was queued on `cpu`: it preempts what runs there below DISPATCH_LEVEL.
void DpcQueuedOn(int cpu);
// The current thread lowered its IRQL below DISPATCH_LEVEL.
void IrqlLowered();
void LeaveProcessor(SimThread *t);
void FillIdleProcessors();
void MakeReady(SimThread *t);  // into the ready pool, unless a processor has it
void Unready(SimThread *t);
std::string DescribeProcessors();
// Kernel APCs. A wait interrupted to run them ends with this status inside
// the kernel, and is resumed.
constexpr NTSTATUS kStatusKernelApc = 0x00000100;
// Runs the thread's queued kernel APCs if it is below APC_LEVEL and not in
// one already; the thread is the one running.
void DeliverKernelApcs(SimThread *t);
// The thread's body has returned: its APCs run, and IRPs it issued that are
// still outstanding are reported and taken off it.
void ThreadExiting(SimThread *t);

// Dispatcher.
void WakeSatisfiedWaiters();
// KeSetEvent(Wait = TRUE) leaves the thread at DISPATCH_LEVEL owing a
// wait; the wait pays it, restoring the IRQL the thread had before.
void OweWait(SimThread *t);
void PayOwedWait(SimThread *t);
// A thread owing that wait calls `routine` instead (NULL: some kernel
// routine the caller cannot name), or returns from its routine: the fault
// is reported and the thread put back at its own IRQL.
void CheckNoWaitOwed(SimThread *t, const char *routine);
void CheckNoWaitOwedAtReturn(SimThread *t, const char *routine);
// KeInitializeEvent's record of initialised events (see initialisedEvents);
// a check that fails reports the fault for `routine`.
void RecordEvent(const void *event);
bool CheckEventInitialised(const void *event, const char *routine);
bool ObjectSignalled(DISPATCHER_HEADER *h);
std::string DescribeObject(DISPATCHER_HEADER *h);
std::string DescribeBlocked(SimThread *t);

// Clock.
uint64_t TickLength();
uint64_t RoundUpToTick(uint64_t t);
bool AdvanceClock();  // idle: time jumps to the next due event; false: nothing is due
void SpendTime(uint64_t cost);  // a step cost this much: what falls due meanwhile happens
uint64_t DueFromTimeout(LONGLONG timeout);
void RemoveSetTimer(PKTIMER timer);
void ResetClock();

// DPCs. The kernel's own (timer and interrupt DPCs) go to a processor it picks.
void QueueDpcFromKernel(PKDPC dpc, PVOID arg1, PVOID arg2);
void ResetDpcState();
void FireDueInterrupts();
// Woken system threads whose scheduling latency has passed become ready.
void FireDueWakes();
uint64_t NextWakeDue();  // UINT64_MAX: none
uint64_t NextInterruptDue();  // UINT64_MAX: none

// Threads and objects.
_KTHREAD *NewThreadObject(SimThread *t);
void ThreadEnded(SimThread *t);
void FreeAllThreadObjects();

// Stable id for trace lines (pointers differ run to run).
uint32_t StableId(const void *p);
std::string ThreadLabel(const SimThread *t);
std::string TimeLabel();

// Service-thread teardown.
void ResetIoTimers();
void ResetWorkQueues();
void CheckIrqlRestored(SimThread *t, const char *routine);

}  // namespace sim
