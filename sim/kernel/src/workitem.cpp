// Work items: queued by drivers, run at PASSIVE_LEVEL on a system worker
// thread, one worker per queue type.
#include <algorithm>

#include "sim/kernel/src/sched_internal.h"

namespace sim {
namespace {

// "IoWk" in a pool dump: the tag's bytes in memory order.
constexpr ULONG kWorkItemTag = 'I' | 'o' << 8 | 'W' << 16 | 'k' << 24;
const char *const kWorkerNames[] = {"worker-critical", "worker-delayed", "worker-hypercritical"};

void Worker(WorkQueue *q) {
  SimThread *self = CurrentSimThread();
  for (;;) {
    if (q->items.empty()) {
      self->blockOn = SimThread::BlockOn::Idle;
      self->idleOn = "work queue empty";
      BlockCurrent("system worker");
      continue;
    }
    PIO_WORKITEM item = q->items.front();
    q->items.pop_front();
    item->Queued = false;
    // The routine may free its own item: only the device is kept.
    PDEVICE_OBJECT device = item->Device;
    PIO_WORKITEM_ROUTINE routine = item->Routine;
    PVOID context = item->Context;
    q->running = device;
    if (TraceEnabled()) Trace("work item W" + std::to_string(StableId(item)) + " runs");
    routine(device, context);
    CheckIrqlRestored(self, "work item routine");
    q->running = nullptr;
    if (internal::HasObjectReferenceHook()) ObfDereferenceObject(device);
    SchedulePoint();
  }
}

}  // namespace

void ResetWorkQueues() {
  KernelState *s = State();
  for (WorkQueue &q : s->workQueues) {
    q.items.clear();
    q.worker = nullptr;
    q.running = nullptr;
  }
}

namespace internal {
bool WorkItemPendingFor(PDEVICE_OBJECT device, bool exceptCurrentRoutine) {
  KernelState *s = State();
  if (s == nullptr) return false;
  for (WorkQueue &q : s->workQueues) {
    bool own = exceptCurrentRoutine && q.worker == CurrentSimThread();
    if (q.running == device && !own) return true;
    for (PIO_WORKITEM i : q.items)
      if (i->Device == device) return true;
  }
  return false;
}
}  // namespace internal

}  // namespace sim

using namespace sim;

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  SchedulePoint();
  auto *item = static_cast<PIO_WORKITEM>(ExAllocatePoolWithTag(NonPagedPool, sizeof(_IO_WORKITEM), kWorkItemTag));
  if (item == nullptr) return nullptr;
  item->Device = DeviceObject;
  item->Routine = nullptr;
  item->Context = nullptr;
  item->Queued = false;
  State()->stableIds.erase(item);
  return item;
}

VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                     PVOID Context) {
  SchedulePoint();
  KernelState *s = State();
  if (IoWorkItem->Queued) {
    ReportFault(Fault::InvalidParameter, "IoQueueWorkItem", "the work item is already queued");
    return;
  }
  if (Current()->irql > DISPATCH_LEVEL)
    ReportFault(Fault::InvalidParameter, "IoQueueWorkItem", "called above DISPATCH_LEVEL");
  size_t type = static_cast<size_t>(QueueType) < 3 ? static_cast<size_t>(QueueType) : 1;
  WorkQueue &q = s->workQueues[type];
  // The device object stays while its work item is queued.
  if (internal::HasObjectReferenceHook()) ObfReferenceObject(IoWorkItem->Device);
  IoWorkItem->Routine = WorkerRoutine;
  IoWorkItem->Context = Context;
  IoWorkItem->Queued = true;
  q.items.push_back(IoWorkItem);
  if (q.worker == nullptr) q.worker = NewThread(kWorkerNames[type], SimThread::Kind::Service, [&q] { Worker(&q); });
  if (q.worker->state == SimThread::State::Blocked) MakeRunnable(q.worker);
}

VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  SchedulePoint();
  KernelState *s = State();
  if (IoWorkItem->Queued) {
    ReportFault(Fault::InvalidParameter, "IoFreeWorkItem", "the work item is still queued; its routine would run on freed memory");
    for (WorkQueue &q : s->workQueues) {
      auto it = std::find(q.items.begin(), q.items.end(), IoWorkItem);
      if (it == q.items.end()) continue;
      q.items.erase(it);
      if (internal::HasObjectReferenceHook()) ObfDereferenceObject(IoWorkItem->Device);
    }
  }
  ExFreePool(IoWorkItem);
}
