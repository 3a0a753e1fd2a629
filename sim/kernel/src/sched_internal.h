// The scheduler side's own state: simulated threads, the clock, timers,
// the DPC queue, handles. Only the files of that side include this.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sim/kernel/internal.h"
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
  enum class BlockOn { None, Wait, SpinLock, Idle };

  uint32_t id = 0;
  std::string name;
  Kind kind = Kind::App;
  State state = State::Runnable;
  std::thread os;
  std::condition_variable cv;
  ThreadBody body;
  bool abandon = false;

  KIRQL irql = PASSIVE_LEVEL;
  KIRQL baseIrql = PASSIVE_LEVEL;   // what the thread must be at when its work returns
  std::vector<PKSPIN_LOCK> held;

  BlockOn blockOn = BlockOn::None;
  // A dispatcher wait.
  std::vector<DISPATCHER_HEADER *> waitObjects;
  WAIT_TYPE waitType = WaitAny;
  bool waitHasDue = false;
  uint64_t waitDue = 0;
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

struct WorkQueue {
  std::deque<PIO_WORKITEM> items;
  SimThread *worker = nullptr;
  PDEVICE_OBJECT running = nullptr;  // device of the item whose routine runs now
};

struct KernelState {
  KernelOptions options;

  // The baton: exactly one of `threads` (or the host) runs.
  std::mutex mutex;
  SimThread host;
  SimThread *current = nullptr;
  std::vector<std::unique_ptr<SimThread>> threads;
  SimThread *runTarget = nullptr;
  uint32_t nextThreadId = 1;
  uint32_t nextSystemThread = 1;

  uint64_t rng = 0;
  uint64_t waitSeq = 0;
  uint64_t pointsSinceClockMoved = 0;

  // Virtual time, always on a tick boundary.
  uint64_t now = 0;
  uint64_t runDeadline = UINT64_MAX;

  std::vector<SetTimer> timers;
  uint64_t timerSeq = 0;
  std::deque<PKDPC> dpcQueue;
  SimThread *dpcThread = nullptr;
  std::map<const void *, uint32_t> stableIds;
  uint32_t nextStableId = 1;

  // Spin lock order: pairs (held, then taken).
  std::set<std::pair<uintptr_t, uintptr_t>> lockOrder;
  std::set<std::pair<uintptr_t, uintptr_t>> inversionsReported;

  std::map<uintptr_t, HandleEntry> handles;
  uintptr_t nextHandle = 0x80000004;
  std::set<_KTHREAD *> threadObjects;

  std::vector<PIO_TIMER> ioTimers;
  KTIMER ioClock;
  KDPC ioClockDpc;
  WorkQueue workQueues[3];

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

// Scheduler.
SimThread *NewThread(const std::string &name, SimThread::Kind kind, ThreadBody body);
void BlockCurrent(const char *routine);  // the caller has filled in what it blocks on
void MakeRunnable(SimThread *t);
void RunUntilTargetEnds(SimThread *target, uint64_t limit100ns);
void AbandonThreads();
void JoinFinishedThreads();
uint64_t NextRandom();

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
bool ObjectSignalled(DISPATCHER_HEADER *h);
std::string DescribeObject(DISPATCHER_HEADER *h);
std::string DescribeBlocked(SimThread *t);

// Clock.
uint64_t TickLength();
uint64_t RoundUpToTick(uint64_t t);
bool AdvanceClock();  // false: nothing is due
uint64_t DueFromTimeout(LONGLONG timeout);
void RemoveSetTimer(PKTIMER timer);

// DPCs.
void QueueDpcFromKernel(PKDPC dpc, PVOID arg1, PVOID arg2);
void ResetDpcState();

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
