// The simulated machine's own interface: what tests, the world and the other
// simulated components use beside the DDK routines. Host only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <wdm.h>

namespace sim {

// ------------------------------------------------------------------ options
struct KernelOptions {
  uint64_t seed = 1;          // USBMODEM_SEED when set
  std::string traceFile;      // USBMODEM_TRACE when set: the run's trace goes there
  bool faultsAreFatal = false;  // print the first fault and exit(3) (tools); tests collect them
  uint64_t virtualTimeLimitMs = 3600 * 1000;  // a run that passes this is reported as a hang
  unsigned cpus = 2;          // USBMODEM_CPUS when set
  static KernelOptions FromEnvironment();
};

// ------------------------------------------------------------------ verifier
enum class Fault {
  IrpCompletedTwice,
  IrpCompletedWithCancelRoutine,
  PendingNotMarked,        // STATUS_PENDING returned without IoMarkIrpPending
  MarkedNotPending,        // IoMarkIrpPending but a final status returned and the IRP not yet completed
  IrpNeverCompleted,       // an IRP still outstanding at teardown
  WaitAtDispatch,          // wait with a non-zero time-out at DISPATCH_LEVEL
  PagedCodeAtDispatch,
  SpinLockReleasedByNonOwner,
  SpinLockAcquiredTwice,
  LockOrderInversion,
  IrpCompletedUnderSpinLock,  // under the cancel spin lock
  PoolLeak,
  BadPoolFree,             // unknown pointer or double free
  PagedPoolAtDispatch,
  IrqlNotRestored,
  HandleLeak,              // registry or thread handle left open
  ThreadLeak,              // a system thread still running at teardown
  PoStartNextPowerIrpMissing,
  PoStartNextPowerIrpDoubled,
  PowerIrpSentWithIoCallDriver,
  DeviceDeletedWithTimerQueued,
  DeviceDeletedWithDpcQueued,
  DeviceDeletedWithWorkItemPending,  // while its queued item holds no reference on it
  TimerQueuedInFreedMemory,
  Deadlock,
  Hang,                    // virtual time limit passed
  SetEventWaitNotFollowed,     // KeSetEvent(Wait = TRUE) not followed at once by a KeWaitFor* call
  EventNotInitialized,         // a KEVENT used that KeInitializeEvent never set up, or whose memory went
  IrqlLoweredHoldingSpinLock,  // IRQL lowered below DISPATCH_LEVEL with a spin lock still held
  IrqlTooHigh,             // a routine called above the highest IRQL it allows
  FinalStatusForHeldIrp,   // a dispatch routine returned a final status for an IRP it kept
  IrpSentWithCancelRoutine,  // IofCallDriver with the IRP's cancel routine still set
  PnpPowerIrpStatusNotSet, // a PnP or power IRP sent with a status other than STATUS_NOT_SUPPORTED
  DeviceDeletedWhileAttached,  // IoDeleteDevice of a device still attached to a lower one
  IoTimerInitializedTwice, // IoInitializeTimer called again for a device object
  AllocatedIrpInitialized, // IoInitializeIrp on an IRP of IoAllocateIrp
  IrpFreedWhileOwnedBelow, // IoFreeIrp of an IRP a lower driver still has
  ZeroBytePoolAllocation,  // ExAllocatePoolWithTag of 0 bytes
  ThreadEndedWithIrpPending,  // a thread ended while an IRP it issued was outstanding
  StartIoNestedTooDeep,    // StartIo entered again and again on one stack (IoStartNextPacket from StartIo's own path)
  TransferPendingAcrossPowerDown,  // a device set-power to D1-D3 reached a USB PDO with URBs still pending
  WmiProviderNotDeregistered,  // IoDeleteDevice of a device still registered with IoWMIRegistrationControl
  MustSucceedIrpFailed,    // a stack failed a Plug and Play or power IRP that may not fail (remove, surprise removal, stop, cancel, system set-power)
  StackLeftAfterRemove,    // IRP_MN_REMOVE_DEVICE completed with the function driver's device still attached to the PDO
  RoutineRunningOnDeletedDevice,  // IoDeleteDevice (or a free) while a DPC routine whose KDPC lies in the memory, or the device's I/O timer routine, runs on a processor
  DiscardedCodeCalled,     // code of a driver image's INIT section run after DriverEntry returned
  DriverStackOverflow,     // a driver overran its 12 KiB kernel stack, or called the kernel with too little of it left
  PowerFlagsDiffer,        // devices of one stack disagree on DO_POWER_PAGABLE, which XP requires them to share
  InvalidParameter,        // a platform routine called with arguments it rejects
};
const char *FaultName(Fault f);

struct FaultRecord {
  Fault kind;
  std::string routine;
  std::string detail;
};

// Reports a fault found by a check. Collected by the running kernel (or fatal,
// see KernelOptions). Safe to call from any simulated context.
void ReportFault(Fault kind, const char *routine, const std::string &detail);

// ------------------------------------------------------------------ trace
// One line of the run's trace: scheduler switches, IRPs, completions, URBs.
void Trace(const std::string &line);
bool TraceEnabled();

// ------------------------------------------------------------------ scheduling
// A point where the scheduler may switch to another simulated thread. Every
// kernel routine that touches shared state calls it; so may simulated devices.
void SchedulePoint();
// A point right after a call took effect that may have made another context
// runnable (an event set, a DPC queued, an IRP completed): the woken context
// usually gets there first, as on a multiprocessor.
void SchedulePointAfterEffect();
// Runs `action` once, in the simulated context that passes the n-th schedule
// point from now (1 = the next), or the first one after it where that context
// holds no spin lock, so that the action may take locks of its own. A new call
// replaces an armed action; each new kernel starts with none.
void AtSchedulePoint(uint64_t n, std::function<void()> action);
// Schedule points passed so far in the running kernel.
uint64_t SchedulePoints();

// Simulated threads. A body runs at PASSIVE_LEVEL unless it raises.
using ThreadBody = std::function<void()>;
struct SimThread;
SimThread *CreateThread(const std::string &name, ThreadBody body);
bool ThreadFinished(SimThread *t);

// The current virtual time in 100 ns units since boot.
uint64_t Now100ns();
uint64_t NowMs();

// ------------------------------------------------------------------ devices
// A device's interrupt at an exact virtual time, independent of the clock
// tick: then `dpc` is queued, at DISPATCH_LEVEL on one of the processors.
// False when the DPC already awaits an interrupt.
bool RequestInterrupt(uint64_t due100ns, PKDPC dpc, PVOID arg1 = nullptr, PVOID arg2 = nullptr);
// False when it was not awaiting one (it may be queued or running already).
bool CancelInterrupt(PKDPC dpc);

// A seeded choice for a simulated device, in [0, bound) (any value for 0):
// a stream of its own, so a device's choices never shift the scheduler's.
uint64_t DeviceRandom(uint64_t bound);

// A woken system thread (PsCreateSystemThread's) becomes ready only a seeded
// 0 to `maxUs` microseconds later, as on a loaded machine; 0 turns it off.
// Set inside a kernel's life; each new kernel starts with none.
void SetSystemThreadWakeLatency(uint32_t maxUs);

// Schedule switches made so far by every kernel of this process (benchmarks).
uint64_t SwitchCount();

// ------------------------------------------------------------------ Plug and Play
// A bus names one of its physical device objects and its device instance
// path (USB\Vid_0572&Pid_1329\5&0&0&1): only these take device interfaces
// and answer IoGetDeviceProperty. Forgotten when the device object is deleted.
void RegisterPhysicalDevice(PDEVICE_OBJECT pdo, const std::string &instancePath);
// The enabled interfaces of a class, by their symbolic link names
// (\??\USB#Vid_0572&Pid_1329#5&0&0&1#{guid}), in the order they were registered.
std::vector<std::u16string> EnabledDeviceInterfaces(const GUID &interfaceClass);

// ------------------------------------------------------------------ census
// Driver pool blocks (every driver tag), IRPs allocated and not freed, open
// kernel handles, and system threads that have not ended, right now.
struct Census {
  size_t driverPoolBlocks = 0;
  size_t irps = 0;
  size_t handles = 0;
  size_t systemThreads = 0;
  bool operator==(const Census &o) const {
    return driverPoolBlocks == o.driverPoolBlocks && irps == o.irps && handles == o.handles &&
           systemThreads == o.systemThreads;
  }
};
Census TakeCensus();

// ------------------------------------------------------------------ the machine
class Kernel {
 public:
  explicit Kernel(const KernelOptions &options = KernelOptions::FromEnvironment());
  ~Kernel();
  Kernel(const Kernel &) = delete;
  Kernel &operator=(const Kernel &) = delete;

  // Runs body as a simulated PASSIVE_LEVEL thread and drives the machine until
  // it returns; other threads, DPCs and timers run meanwhile as the seed decides.
  void Run(const ThreadBody &body);

  // Drives the machine with no thread of the caller's until virtual time
  // `ms` milliseconds from now (timers fire, DPCs and threads run).
  void Advance(uint64_t ms);

  // Ends the run: stops the kernel's own service threads and runs the
  // teardown checks (leaks, IRPs never completed, threads, handles).
  void Shutdown();

  const std::vector<FaultRecord> &Faults() const;
  void ClearFaults();
  uint64_t Seed() const;
};

// The kernel that is running now (exactly one at a time).
Kernel &CurrentKernel();

// ------------------------------------------------------------------ subsystems
// Parts of the simulated machine hook into each kernel's life: `reset` when a
// kernel is created, `teardown` (its checks) when it shuts down.
struct SubsystemHooks {
  const char *name;
  void (*reset)();
  void (*teardown)();
};
bool RegisterSubsystem(const SubsystemHooks &hooks);

}  // namespace sim
