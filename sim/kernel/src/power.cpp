// The power manager: power IRPs travel with PoCallDriver, every driver a
// set or query IRP visits starts the next one with PoStartNextPowerIrp
// exactly once, and PoRequestPowerIrp builds and finishes the IRPs it sends.
// As on XP, a device object gets one set or query IRP of each power type at a
// time (the next waits for PoStartNextPowerIrp), a DO_POWER_PAGABLE device
// gets them at PASSIVE_LEVEL and any other device may get them at
// DISPATCH_LEVEL.
#include <deque>
#include <map>
#include <set>
#include <memory>
#include <string>
#include <vector>

#include <wdm.h>

#include "io_private.h"
#include "sim/kernel/internal.h"
#include "sim/kernel/sim.h"
#include "sim/kernel/src/sched_internal.h"

namespace sim {
namespace power {
namespace {

// What the power manager knows of one set or query IRP in flight.
struct Visit {
  PDEVICE_OBJECT device;
  int location;  // the stack location the device's driver got
  bool settled;
};
struct PowerIrpRecord {
  UCHAR minor = 0;
  std::vector<Visit> visits;                        // in dispatch order
  std::map<PDEVICE_OBJECT, int> startNextCalls;     // PoStartNextPowerIrp per device
};

// The set or query IRP a device object has of one power type, and those
// sent to it meanwhile.
struct PowerQueue {
  PIRP active = nullptr;
  std::deque<PIRP> waiting;
};
using QueueKey = std::pair<PDEVICE_OBJECT, int>;  // device object, POWER_STATE_TYPE

struct PowerState {
  std::map<PIRP, std::shared_ptr<PowerIrpRecord>> irps;
  std::map<QueueKey, PowerQueue> queues;
  std::map<PDEVICE_OBJECT, POWER_STATE> deviceStates;
  std::map<PDEVICE_OBJECT, POWER_STATE> systemStates;
  std::set<PDEVICE_OBJECT> flagsReported;
};

PowerState &State() {
  static PowerState state;
  return state;
}

bool IsSetOrQuery(UCHAR minor) { return minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER; }

std::string Describe(UCHAR minor) {
  return std::string(minor == IRP_MN_SET_POWER ? "set" : minor == IRP_MN_QUERY_POWER ? "query" : "other") +
         " power IRP";
}

void NoteVisit(PowerIrpRecord &record, PDEVICE_OBJECT device, int location) {
  for (Visit &v : record.visits)
    if (v.device == device && v.location == location && !v.settled) return;
  record.visits.push_back(Visit{device, location, false});
}

QueueKey KeyOf(PDEVICE_OBJECT device, const IO_STACK_LOCATION *sp) {
  return QueueKey(device, static_cast<int>(sp->Parameters.Power.Type));
}

std::string IrpName(PIRP irp) {
  auto rec = io::FindIrp(irp);
  return "power IRP #" + std::to_string(rec ? rec->serial : 0);
}

// Before Vista every device object of a stack must carry the bus's
// DO_POWER_PAGABLE: the power manager calls the whole stack at the IRQL one
// setting allows. Checked once per device as a power IRP reaches it.
void CheckPowerFlagsAgree(PDEVICE_OBJECT device) {
  for (PDEVICE_OBJECT above = device->AttachedDevice; above != nullptr; above = above->AttachedDevice) {
    if (((above->Flags ^ device->Flags) & DO_POWER_PAGABLE) == 0) continue;
    if (!State().flagsReported.insert(above).second) return;
    ReportFault(Fault::PowerFlagsDiffer, "PoCallDriver",
                io::DeviceName(above) + (above->Flags & DO_POWER_PAGABLE ? " is" : " is not") +
                    " DO_POWER_PAGABLE over " + io::DeviceName(device) +
                    (device->Flags & DO_POWER_PAGABLE ? ", which is" : ", which is not") +
                    ": a driver takes the flag from the device below it");
    return;
  }
}

// The driver gets the IRP now, at the caller's IRQL or, for a device that
// is not DO_POWER_PAGABLE, at DISPATCH_LEVEL in a seeded share of calls.
NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  CheckPowerFlagsAgree(device);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  if (next->MajorFunction == IRP_MJ_POWER && IsSetOrQuery(next->MinorFunction)) {
    auto &record = State().irps[irp];
    if (!record) record = std::make_shared<PowerIrpRecord>();
    record->minor = next->MinorFunction;
    NoteVisit(*record, device, irp->CurrentLocation - 1);
  }
  bool raise = !(device->Flags & DO_POWER_PAGABLE) && internal::InSimulatedThread() &&
               KeGetCurrentIrql() < DISPATCH_LEVEL && NextRandom() % 2 == 0;
  KIRQL old = PASSIVE_LEVEL;
  if (raise) KeRaiseIrql(DISPATCH_LEVEL, &old);
  NTSTATUS status = internal::CallDriverFromPowerManager(device, irp);
  if (raise) KeLowerIrql(old);
  return status;
}

// The driver gets the IRP later, from a thread of the power manager's; the
// caller is answered STATUS_PENDING.
NTSTATUS DispatchLater(PDEVICE_OBJECT device, PIRP irp, const char *why) {
  if (TraceEnabled()) Trace(IrpName(irp) + " for " + io::DeviceName(device) + " held back: " + why);
  io::NotePendedByPowerManager(irp);
  NewThread("power manager", SimThread::Kind::Service, [device, irp] { Dispatch(device, irp); });
  return STATUS_PENDING;
}

// The IRP goes to the driver at an IRQL the device can take.
NTSTATUS Present(PDEVICE_OBJECT device, PIRP irp) {
  if ((device->Flags & DO_POWER_PAGABLE) && io::CurrentIrqlOrPassive() > PASSIVE_LEVEL)
    return DispatchLater(device, irp, "its device takes power IRPs at PASSIVE_LEVEL");
  return Dispatch(device, irp);
}

// PoStartNextPowerIrp for the device's active IRP: the next one waiting goes.
void StartNext(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  if (sp->MajorFunction != IRP_MJ_POWER || !IsSetOrQuery(sp->MinorFunction)) return;
  auto it = State().queues.find(KeyOf(device, sp));
  if (it == State().queues.end() || it->second.active != irp) return;
  PowerQueue &q = it->second;
  q.active = nullptr;
  if (q.waiting.empty()) return;
  q.active = q.waiting.front();
  q.waiting.pop_front();
  if (TraceEnabled()) Trace(IrpName(q.active) + " for " + io::DeviceName(device) + " started");
  NewThread("power manager", SimThread::Kind::Service, [device, next = q.active] { Dispatch(device, next); });
}

void Reset() { State() = PowerState(); }

void Teardown() { State() = PowerState(); }

const bool registered = RegisterSubsystem({"power manager", Reset, Teardown});

// The power manager's own stack location of a requested IRP.
struct RequestContext {
  PREQUEST_POWER_COMPLETE completion;
  PVOID context;
  POWER_STATE state;
  UCHAR minor;
  PDEVICE_OBJECT target;
};

NTSTATUS NTAPI RequestCompleted(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  std::unique_ptr<RequestContext> request(static_cast<RequestContext *>(context));
  // The callback comes after the request was made, on whatever processor
  // finished the IRP: what the requester wrote before is visible to it.
  RaceAcquire(request.get());
  if (request->completion)
    CallDriverRoutine(request->completion, request->target, request->minor, request->state, request->context, &irp->IoStatus);
  NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  if (request->minor == IRP_MN_WAIT_WAKE) internal::WaitWakeCompleted(status);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace
}  // namespace power

namespace internal {

// Completion has passed `location`: every driver the IRP was dispatched to
// there is done with it and must have started the next power IRP.
void PowerIrpLocationDone(PIRP irp, int location) {
  auto &irps = power::State().irps;
  auto it = irps.find(irp);
  if (it == irps.end()) return;
  auto record = it->second;
  for (power::Visit &v : record->visits) {
    if (v.location != location || v.settled) continue;
    v.settled = true;
    if (record->startNextCalls[v.device] == 0)
      ReportFault(Fault::PoStartNextPowerIrpMissing, "PoStartNextPowerIrp",
                  "the driver of " + io::DeviceName(v.device) + " completed or passed on a " + power::Describe(record->minor) +
                      " without calling PoStartNextPowerIrp for it");
  }
}

// The IRP is freed or reused: what was known of it goes, so a later IRP at
// the same address starts afresh.
void PowerIrpGone(PIRP irp) {
  auto &irps = power::State().irps;
  irps.erase(irp);
}

}  // namespace internal
}  // namespace sim

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  sim::SchedulePoint();
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  if (next->MajorFunction == IRP_MJ_POWER && sim::power::IsSetOrQuery(next->MinorFunction)) {
    sim::power::PowerQueue &q = sim::power::State().queues[sim::power::KeyOf(DeviceObject, next)];
    if (q.active != nullptr) {
      q.waiting.push_back(Irp);
      sim::io::NotePendedByPowerManager(Irp);
      if (sim::TraceEnabled())
        sim::Trace(sim::power::IrpName(Irp) + " for " + sim::io::DeviceName(DeviceObject) +
                   " queued behind " + sim::power::IrpName(q.active));
      return STATUS_PENDING;
    }
    q.active = Irp;
  }
  return sim::power::Present(DeviceObject, Irp);
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
  sim::SchedulePoint();
  auto &irps = sim::power::State().irps;
  auto it = irps.find(Irp);
  PDEVICE_OBJECT device = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
  if (it == irps.end()) {
    // A power IRP that did not come through PoCallDriver.
    auto record = std::make_shared<sim::power::PowerIrpRecord>();
    record->minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    it = irps.emplace(Irp, record).first;
  }
  // Only set and query IRPs are serialised; a wait-wake or power-sequence
  // IRP may be started any number of times, to no effect.
  if (!sim::power::IsSetOrQuery(it->second->minor)) return;
  sim::power::NoteVisit(*it->second, device, Irp->CurrentLocation);
  int &calls = it->second->startNextCalls[device];
  if (++calls > 1) {
    sim::ReportFault(sim::Fault::PoStartNextPowerIrpDoubled, "PoStartNextPowerIrp",
                     sim::power::Describe(it->second->minor) + ": PoStartNextPowerIrp called twice by the same driver");
    return;
  }
  sim::power::StartNext(device, Irp);
}

NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP *Irp) {
  if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER && MinorFunction != IRP_MN_WAIT_WAKE)
    return STATUS_INVALID_PARAMETER_2;
  // The request goes to the top of the device's stack.
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(DeviceObject);
  ObfDereferenceObject(top);
  PIRP irp = IoAllocateIrp((CCHAR)(top->StackSize + 1), FALSE);
  if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;

  auto *request = new sim::power::RequestContext{CompletionFunction, Context, PowerState, MinorFunction, DeviceObject};
  IoSetNextIrpStackLocation(irp);  // the power manager's own location
  IoGetCurrentIrpStackLocation(irp)->DeviceObject = DeviceObject;
  IoSetCompletionRoutine(irp, sim::power::RequestCompleted, request, TRUE, TRUE, TRUE);

  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = IRP_MJ_POWER;
  sp->MinorFunction = MinorFunction;
  if (MinorFunction == IRP_MN_WAIT_WAKE) {
    sp->Parameters.WaitWake.PowerState = PowerState.SystemState;
  } else {
    sp->Parameters.Power.Type = DevicePowerState;
    sp->Parameters.Power.State = PowerState;
  }
  if (Irp) *Irp = irp;
  sim::RaceRelease(request);
  PoCallDriver(top, irp);
  return STATUS_PENDING;
}

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  sim::SchedulePoint();
  auto &states = Type == DevicePowerState ? sim::power::State().deviceStates : sim::power::State().systemStates;
  POWER_STATE old;
  old.DeviceState = PowerDeviceUnspecified;
  auto it = states.find(DeviceObject);
  if (it != states.end()) old = it->second;
  states[DeviceObject] = State;
  return old;
}
