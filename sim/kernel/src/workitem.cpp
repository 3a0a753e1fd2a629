// Work items: queued by drivers, run at PASSIVE_LEVEL by the system worker
// threads of their queue, several per queue as on XP, so items of one queue
// may run at the same time.
#include <algorithm>

#include "sim/kernel/src/sched_internal.h"

namespace sim {
namespace {

// "IoWk" in a pool dump: the tag's bytes in memory order.
constexpr ULONG kWorkItemTag = 'I' | 'o' << 8 | 'W' << 16 | 'k' << 24;
const char *const kWorkerNames[] = {"worker-critical", "worker-delayed", "worker-hypercritical"};
// XP's least: 5 critical and 3 delayed workers, one hypercritical.
constexpr size_t kWorkersPerQueue[] = {5, 3, 1};

void WorkerLoop(WorkQueue *q, size_t index) {
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
    RaceAcquire(item);
    item->Queued = false;
    // The routine may free its own item: only the device is kept.
    PDEVICE_OBJECT device = item->Device;
    PIO_WORKITEM_ROUTINE routine = item->Routine;
    PVOID context = item->Context;
    q->workers[index].running = device;
    if (TraceEnabled()) Trace("work item W" + std::to_string(StableId(item)) + " runs");
    CallDriverRoutine(routine, device, context);
    CheckIrqlRestored(self, "work item routine");
    q->workers[index].running = nullptr;
    if (internal::HasObjectReferenceHook()) ObfDereferenceObject(device);
    SchedulePoint();
  }
}

bool Idle(const Worker &w) {
  return w.thread->state == SimThread::State::Blocked && w.thread->blockOn == SimThread::BlockOn::Idle;
}

// An idle worker takes the new item; with none, the pool grows to its size.
void WakeWorker(WorkQueue &q, size_t type) {
  for (Worker &w : q.workers)
    if (Idle(w)) {
      MakeRunnable(w.thread);
      return;
    }
  if (q.workers.size() >= kWorkersPerQueue[type]) return;
  size_t index = q.workers.size();
  std::string name = std::string(kWorkerNames[type]) + "-" + std::to_string(index);
  q.workers.push_back(Worker{});
  q.workers[index].thread = NewThread(name, SimThread::Kind::Service, [&q, index] { WorkerLoop(&q, index); });
}

}  // namespace

void ResetWorkQueues() {
  KernelState *s = State();
  for (WorkQueue &q : s->workQueues) {
    q.items.clear();
    q.workers.clear();
  }
}

namespace internal {
bool WorkItemPendingFor(PDEVICE_OBJECT device, bool exceptCurrentRoutine) {
  KernelState *s = State();
  if (s == nullptr) return false;
  for (WorkQueue &q : s->workQueues) {
    for (const Worker &w : q.workers) {
      bool own = exceptCurrentRoutine && w.thread == CurrentSimThread();
      if (w.running == device && !own) return true;
    }
    for (PIO_WORKITEM i : q.items)
      if (i->Device == device) return true;
  }
  return false;
}
}  // namespace internal

}  // namespace sim

using namespace sim;

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
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

VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
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
  RaceRelease(IoWorkItem);
  q.items.push_back(IoWorkItem);
  WakeWorker(q, type);
  SchedulePointAfterEffect();
}

VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
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
