// The system side of the power manager: system power transitions sent to
// every started device node's stack, one transition at a time on a power
// manager thread, and the wake a wait-wake brings.
#include <deque>

#include "io_private.h"
#include "sim/kernel/internal.h"
#include "sim/kernel/power_manager.h"
#include "sim/kernel/sim.h"
#include "sim/kernel/src/pnp_private.h"
#include "sim/kernel/src/sched_internal.h"

namespace sim {
namespace power {
namespace {

struct SystemState {
  SYSTEM_POWER_STATE current = PowerSystemWorking;
  std::deque<SystemRequestInfo> requests;  // index id - 1
  std::deque<SystemRequestId> queue;
  bool running = false;
  SystemRequestId currentRequest = 0;
  std::vector<SentSystemIrp> log;
  bool eventReady = false;
  KEVENT settled;
};

SystemState &Sys() {
  static SystemState *state = new SystemState;
  return *state;
}

void Reset() { Sys() = SystemState(); }

const bool registered = RegisterSubsystem({"system power", Reset, Reset});

void EnsureEvent() {
  if (Sys().eventReady) return;
  Sys().eventReady = true;
  KeInitializeEvent(&Sys().settled, NotificationEvent, FALSE);
}

bool Sleeping(SYSTEM_POWER_STATE s) { return s >= PowerSystemSleeping1 && s <= PowerSystemHibernate; }

POWER_ACTION ActionFor(SYSTEM_POWER_STATE s) {
  if (s == PowerSystemHibernate) return PowerActionHibernate;
  if (s == PowerSystemShutdown) return PowerActionShutdownOff;
  if (Sleeping(s)) return PowerActionSleep;
  return PowerActionNone;
}

std::string StateName(SYSTEM_POWER_STATE s) { return "S" + std::to_string(int(s) - int(PowerSystemWorking)); }

// One system power IRP to the top of the node's stack, with PoCallDriver.
NTSTATUS Send(pnp::NodeId node, UCHAR minor, SYSTEM_POWER_STATE state, POWER_ACTION action) {
  PDEVICE_OBJECT pdo = pnp::PdoOf(node);
  NTSTATUS status = pnp_internal::SendAndWait(
      pdo,
      [&](PIO_STACK_LOCATION stack) {
        stack->MajorFunction = IRP_MJ_POWER;
        stack->MinorFunction = minor;
        stack->Parameters.Power.Type = SystemPowerState;
        stack->Parameters.Power.State.SystemState = state;
        stack->Parameters.Power.ShutdownType = action;
      },
      true);
  Sys().log.push_back(SentSystemIrp{node, Sys().currentRequest, minor, state, action, status});
  if (minor == IRP_MN_SET_POWER && !NT_SUCCESS(status))
    ReportFault(Fault::MustSucceedIrpFailed, "IRP_MN_SET_POWER",
                "the stack of " + io::DeviceName(pdo) + " failed a system set-power to " + StateName(state) +
                    " with " + io::Hex(ULONG(status)) + "; a driver may not fail a system set-power IRP");
  return status;
}

void SetEach(const std::vector<pnp::NodeId> &nodes, SYSTEM_POWER_STATE state, POWER_ACTION action) {
  for (pnp::NodeId n : nodes) Send(n, IRP_MN_SET_POWER, state, action);
}

// Every stack is asked; a refusal vetoes the sleep, and those that agreed
// are told the system stays working. A shutdown cannot be refused.
SystemOutcome GoDown(SYSTEM_POWER_STATE state) {
  std::vector<pnp::NodeId> nodes = pnp_internal::StartedNodes();
  std::vector<pnp::NodeId> order(nodes.rbegin(), nodes.rend());  // the newest first
  POWER_ACTION action = ActionFor(state);
  std::vector<pnp::NodeId> agreed;
  bool vetoed = false;
  for (pnp::NodeId n : order) {
    if (NT_SUCCESS(Send(n, IRP_MN_QUERY_POWER, state, action)))
      agreed.push_back(n);
    else
      vetoed = true;
  }
  if (vetoed && state != PowerSystemShutdown) {
    SetEach(agreed, Sys().current, PowerActionNone);
    return SystemOutcome::Vetoed;
  }
  SetEach(order, state, action);
  Sys().current = state;
  return SystemOutcome::Done;
}

SystemOutcome WakeUp() {
  SetEach(pnp_internal::StartedNodes(), PowerSystemWorking, PowerActionNone);
  Sys().current = PowerSystemWorking;
  return SystemOutcome::Done;
}

SystemOutcome Carry(SYSTEM_POWER_STATE target) {
  SYSTEM_POWER_STATE now = Sys().current;
  if (target == now || now == PowerSystemShutdown) return SystemOutcome::Skipped;
  if (target == PowerSystemWorking) return WakeUp();
  if (now != PowerSystemWorking) return SystemOutcome::Skipped;  // asleep: wake first
  return GoDown(target);
}

void Worker() {
  EnsureEvent();
  SystemState &s = Sys();
  while (!s.queue.empty()) {
    SystemRequestId id = s.queue.front();
    s.queue.pop_front();
    s.currentRequest = id;
    s.requests[id - 1].outcome = SystemOutcome::Running;
    pnp_internal::LockTree();
    SystemOutcome outcome = Carry(s.requests[id - 1].state);
    pnp_internal::UnlockTree();
    s.requests[id - 1].outcome = outcome;
    s.currentRequest = 0;
    if (TraceEnabled())
      Trace("power manager: system " + StateName(s.requests[id - 1].state) + (s.requests[id - 1].byWake ? " (wake)" : "") +
            " -> " + SystemOutcomeName(outcome) + ", system in " + StateName(s.current));
  }
  s.running = false;
  KeSetEvent(&s.settled, IO_NO_INCREMENT, FALSE);
}

SystemRequestId Queue(SYSTEM_POWER_STATE state, bool byWake) {
  SystemState &s = Sys();
  SystemRequestInfo info;
  info.state = state;
  info.byWake = byWake;
  s.requests.push_back(info);
  SystemRequestId id = SystemRequestId(s.requests.size());
  s.queue.push_back(id);
  if (!s.running) {
    s.running = true;
    NewThread("power manager", SimThread::Kind::Service, Worker);
  }
  return id;
}

// Whether the system is asleep or on its way there, with no return to S0 queued.
bool WakeWouldMatter() {
  SystemState &s = Sys();
  bool goingDown = s.currentRequest != 0 && s.requests[s.currentRequest - 1].state != PowerSystemWorking;
  if (!Sleeping(s.current) && !goingDown) return false;
  for (SystemRequestId id : s.queue)
    if (s.requests[id - 1].state == PowerSystemWorking) return false;
  return true;
}

}  // namespace

SystemRequestId SetSystemPowerState(SYSTEM_POWER_STATE state) { return Queue(state, false); }

bool Settled() { return !Sys().running; }

void WaitSettled() {
  EnsureEvent();
  for (;;) {
    KeClearEvent(&Sys().settled);
    if (Settled()) return;
    KeWaitForSingleObject(&Sys().settled, Executive, KernelMode, FALSE, nullptr);
  }
}

void WaitFor(SystemRequestId request) {
  for (;;) {
    SystemOutcome o = Info(request).outcome;
    if (o != SystemOutcome::Queued && o != SystemOutcome::Running) return;
    WaitSettled();
  }
}

SYSTEM_POWER_STATE CurrentSystemState() { return Sys().current; }

SystemRequestInfo Info(SystemRequestId request) {
  auto &requests = Sys().requests;
  if (request < 1 || request > requests.size()) {
    SystemRequestInfo none;
    none.outcome = SystemOutcome::Skipped;
    return none;
  }
  return requests[request - 1];
}

std::vector<SentSystemIrp> SystemLog() { return Sys().log; }

const char *SystemOutcomeName(SystemOutcome outcome) {
  switch (outcome) {
    case SystemOutcome::Queued: return "queued";
    case SystemOutcome::Running: return "running";
    case SystemOutcome::Done: return "done";
    case SystemOutcome::Vetoed: return "vetoed";
    case SystemOutcome::Skipped: return "skipped";
  }
  return "?";
}

}  // namespace power

namespace internal {

// The device signalled a wake while the system slept: back to S0.
void WaitWakeCompleted(NTSTATUS status) {
  if (!NT_SUCCESS(status) || !power::WakeWouldMatter()) return;
  if (TraceEnabled()) Trace("power manager: a wait-wake completed; the system wakes");
  power::Queue(PowerSystemWorking, true);
}

}  // namespace internal
}  // namespace sim
