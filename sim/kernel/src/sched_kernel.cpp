// The machine's life: construction, runs, shutdown and its teardown checks,
// the fault list, the trace.
#include <set>
#include <algorithm>
#include <cinttypes>
#include <cstdlib>

#include "sim/kernel/src/sched_internal.h"

namespace sim {
namespace {

KernelState *g_state = nullptr;
Kernel *g_kernel = nullptr;

std::vector<SubsystemHooks> &Subsystems() {
  static std::vector<SubsystemHooks> hooks;
  return hooks;
}

const char *const kFaultNames[] = {
    "IrpCompletedTwice",
    "IrpCompletedWithCancelRoutine",
    "PendingNotMarked",
    "MarkedNotPending",
    "IrpNeverCompleted",
    "WaitAtDispatch",
    "PagedCodeAtDispatch",
    "SpinLockReleasedByNonOwner",
    "SpinLockAcquiredTwice",
    "LockOrderInversion",
    "IrpCompletedUnderSpinLock",
    "PoolLeak",
    "BadPoolFree",
    "PagedPoolAtDispatch",
    "IrqlNotRestored",
    "HandleLeak",
    "ThreadLeak",
    "PoStartNextPowerIrpMissing",
    "PoStartNextPowerIrpDoubled",
    "PowerIrpSentWithIoCallDriver",
    "DeviceDeletedWithTimerQueued",
    "DeviceDeletedWithDpcQueued",
    "DeviceDeletedWithWorkItemPending",
    "TimerQueuedInFreedMemory",
    "Deadlock",
    "Hang",
    "SetEventWaitNotFollowed",
    "EventNotInitialized",
    "IrqlLoweredHoldingSpinLock",
    "IrqlTooHigh",
    "FinalStatusForHeldIrp",
    "IrpSentWithCancelRoutine",
    "PnpPowerIrpStatusNotSet",
    "DeviceDeletedWhileAttached",
    "IoTimerInitializedTwice",
    "AllocatedIrpInitialized",
    "IrpFreedWhileOwnedBelow",
    "ZeroBytePoolAllocation",
    "ThreadEndedWithIrpPending",
    "StartIoNestedTooDeep",
    "TransferPendingAcrossPowerDown",
    "WmiProviderNotDeregistered",
    "MustSucceedIrpFailed",
    "StackLeftAfterRemove",
    "RoutineRunningOnDeletedDevice",
    "DiscardedCodeCalled",
    "DriverStackOverflow",
    "PowerFlagsDiffer",
    "InvalidParameter",
};

static_assert(sizeof(kFaultNames) / sizeof(kFaultNames[0]) == static_cast<size_t>(Fault::InvalidParameter) + 1,
              "a name for every fault");

void RequireHost(const char *routine) {
  if (CurrentSimThread() != nullptr) {
    std::fprintf(stderr, "%s: called from a simulated thread; only the host drives the machine\n", routine);
    std::abort();
  }
}

void CheckThreadsAtTeardown(KernelState *s) {
  for (auto &t : s->threads) {
    // Threads of the driver's making; the kernel's own and the harness's are simply ended.
    if (t->state == SimThread::State::Finished || t->kind != SimThread::Kind::System) continue;
    ReportFault(Fault::ThreadLeak, "Kernel::Shutdown",
                ThreadLabel(t.get()) + " still running: " + DescribeBlocked(t.get()));
  }
  for (_KTHREAD *o : s->threadObjects) {
    LONG_PTR viaHandles = std::count_if(s->handles.begin(), s->handles.end(),
                                        [o](const std::pair<const uintptr_t, HandleEntry> &h) { return h.second.object == o; });
    if (o->Sim == nullptr && o->References > viaHandles)
      ReportFault(Fault::HandleLeak, "Kernel::Shutdown",
                  "thread object of T" + std::to_string(o->Id) + " still referenced (" +
                      std::to_string(o->References - viaHandles) + " references not dereferenced)");
  }
}

void CheckHandlesAtTeardown(KernelState *s) {
  for (auto &h : s->handles)
    ReportFault(Fault::HandleLeak, "Kernel::Shutdown",
                std::string(internal::HandleKindName(h.second.kind)) + " handle left open");
}

}  // namespace

KernelState *State() { return g_state; }

KernelOptions KernelOptions::FromEnvironment() {
  KernelOptions o;
  if (const char *seed = std::getenv("USBMODEM_SEED")) o.seed = std::strtoull(seed, nullptr, 10);
  if (const char *trace = std::getenv("USBMODEM_TRACE")) o.traceFile = trace;
  if (const char *cpus = std::getenv("USBMODEM_CPUS")) o.cpus = static_cast<unsigned>(std::strtoul(cpus, nullptr, 10));
  return o;
}

const char *FaultName(Fault f) {
  size_t i = static_cast<size_t>(f);
  return i < sizeof(kFaultNames) / sizeof(kFaultNames[0]) ? kFaultNames[i] : "UnknownFault";
}

bool RegisterSubsystem(const SubsystemHooks &hooks) {
  Subsystems().push_back(hooks);
  return true;
}

void Trace(const std::string &line) {
  KernelState *s = g_state;
  if (s == nullptr || s->trace == nullptr) return;
  std::fprintf(s->trace, "%s #%" PRIu64 " %s\n", TimeLabel().c_str(), ++s->traceSeq, line.c_str());
}

bool TraceEnabled() { return g_state != nullptr && g_state->trace != nullptr; }

void ReportFault(Fault kind, const char *routine, const std::string &detail) {
  KernelState *s = g_state;
  if (s == nullptr) {
    std::fprintf(stderr, "fault %s in %s: %s (no kernel running)\n", FaultName(kind), routine, detail.c_str());
    std::abort();
  }
  s->faults.push_back(FaultRecord{kind, routine, detail});
  // The detail may name addresses, which differ run to run: the trace keeps the kind.
  Trace(std::string("fault ") + FaultName(kind) + " in " + routine);
  if (s->options.faultsAreFatal) {
    std::fprintf(stderr, "fault %s in %s: %s\nseed %" PRIu64 "\n", FaultName(kind), routine, detail.c_str(),
                 s->options.seed);
    if (s->trace) std::fflush(s->trace);
    std::exit(3);
  }
}

void FatalFault(Fault kind, const char *routine, const std::string &detail) {
  KernelState *s = g_state;
  if (s != nullptr) {
    s->faults.push_back(FaultRecord{kind, routine, detail});
    Trace(std::string("fatal ") + FaultName(kind) + " in " + routine);
    if (s->trace) std::fflush(s->trace);
  }
  std::fprintf(stderr, "fatal fault %s in %s: %s\nseed %" PRIu64 "\n", FaultName(kind), routine, detail.c_str(),
               s ? s->options.seed : 0);
  std::fflush(stderr);
  std::abort();
}

Kernel::Kernel(const KernelOptions &options) {
  if (g_state != nullptr) {
    std::fprintf(stderr, "Kernel: a kernel is already running; one machine at a time\n");
    std::abort();
  }
  RequireHost("Kernel::Kernel");
  g_state = new KernelState();
  g_kernel = this;
  KernelState *s = g_state;
  s->options = options;
  s->rng = options.seed;
  s->deviceRng = options.seed * 0xD1B54A32D192ED03ull + 0x64657669;
  s->host.id = 0;
  s->host.name = "host";
  s->host.kind = SimThread::Kind::Host;
  s->current = &s->host;
  s->host.object = NewThreadObject(&s->host);
  if (!options.traceFile.empty()) {
    // A test program makes one kernel per test: the first starts the file,
    // the others add to it, so the file holds the whole program's run.
    static std::set<std::string> started;
    bool first = started.insert(options.traceFile).second;
    s->trace = std::fopen(options.traceFile.c_str(), first ? "w" : "a");
    if (s->trace == nullptr) std::fprintf(stderr, "Kernel: cannot write trace %s\n", options.traceFile.c_str());
  }
  ResetProcessors(options.cpus);
  ResetClock();
  ResetDpcState();
  ResetIoTimers();
  Trace("boot seed " + std::to_string(options.seed) + " cpus " + std::to_string(s->cpus.size()));
  for (const SubsystemHooks &h : Subsystems())
    if (h.reset) h.reset();
}

Kernel::~Kernel() {
  Shutdown();
  KernelState *s = g_state;
  FreeAllThreadObjects();
  if (s->trace) std::fclose(s->trace);
  delete s;
  g_state = nullptr;
  g_kernel = nullptr;
}

void Kernel::Run(const ThreadBody &body) {
  RequireHost("Kernel::Run");
  KernelState *s = g_state;
  if (s->shutDown) FatalFault(Fault::InvalidParameter, "Kernel::Run", "the kernel has shut down");
  SimThread *t = NewThread("main", SimThread::Kind::Run, body);
  RunUntilTargetEnds(t, s->options.virtualTimeLimitMs * 10000);
}

void Kernel::Advance(uint64_t ms) {
  RequireHost("Kernel::Advance");
  KernelState *s = g_state;
  if (s->shutDown) FatalFault(Fault::InvalidParameter, "Kernel::Advance", "the kernel has shut down");
  LONGLONG interval = -static_cast<LONGLONG>(ms) * 10000;
  SimThread *t = NewThread("advance", SimThread::Kind::Run, [interval] {
    LARGE_INTEGER i;
    i.QuadPart = interval;
    KeDelayExecutionThread(KernelMode, FALSE, &i);
  });
  RunUntilTargetEnds(t, (s->options.virtualTimeLimitMs + ms) * 10000);
}

void Kernel::Shutdown() {
  RequireHost("Kernel::Shutdown");
  KernelState *s = g_state;
  if (s->shutDown) return;
  CheckThreadsAtTeardown(s);
  CheckHandlesAtTeardown(s);
  for (const SubsystemHooks &h : Subsystems())
    if (h.teardown) h.teardown();
  s->shutDown = true;
  AbandonThreads();
  JoinFinishedThreads();
  s->timers.clear();
  ResetDpcState();
  ResetWorkQueues();
  ResetIoTimers();
  Trace("shutdown");
  if (s->trace) std::fflush(s->trace);
}

const std::vector<FaultRecord> &Kernel::Faults() const { return g_state->faults; }
void Kernel::ClearFaults() { g_state->faults.clear(); }
uint64_t Kernel::Seed() const { return g_state->options.seed; }

Kernel &CurrentKernel() {
  if (g_kernel == nullptr) {
    std::fprintf(stderr, "CurrentKernel: no kernel is running\n");
    std::abort();
  }
  return *g_kernel;
}

}  // namespace sim
