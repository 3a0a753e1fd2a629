// Kernel APCs: a routine queued to one thread runs in that thread, at
// APC_LEVEL, once the thread is below APC_LEVEL: at its next schedule point,
// or by interrupting a wait it is blocked in (the wait then goes on). The I/O
// manager finishes the IRPs a thread issued this way, so their status block
// and event are written in the issuer's own context. Also each thread's list
// of the IRPs it issued.
#include <vector>

#include "sim/kernel/src/sched_internal.h"

namespace sim {
namespace {

// Waits and idle service threads may be interrupted; a thread spinning on a
// lock is at DISPATCH_LEVEL and is not.
bool Interruptible(const SimThread *t) {
  return t->state == SimThread::State::Blocked && t->irql < APC_LEVEL &&
         (t->blockOn == SimThread::BlockOn::Wait || t->blockOn == SimThread::BlockOn::Idle);
}

void RunQueued(SimThread *t) {
  while (!t->kernelApcs.empty()) {
    SimThread::KernelApc apc = t->kernelApcs.front();
    t->kernelApcs.pop_front();
    apc.routine(apc.context);
  }
}

// At teardown a thread still alive may have APCs it never got to run (it sat
// at a raised IRQL): the kernel runs them in its stead, while its stack is
// still there, so that the IRPs they finish are not lost.
void RunLeftOverApcs() {
  for (auto &t : State()->threads)
    if (t->state != SimThread::State::Finished) RunQueued(t.get());
}

const bool registered = RegisterSubsystem({"kernel APCs", nullptr, RunLeftOverApcs});

}  // namespace

void DeliverKernelApcs(SimThread *t) {
  if (t->kernelApcs.empty() || t->inKernelApc || t->irql >= APC_LEVEL) return;
  struct Scope {
    SimThread *t;
    KIRQL old;
    ~Scope() {
      t->irql = old;
      t->inKernelApc = false;
    }
  } scope{t, t->irql};
  t->inKernelApc = true;
  t->irql = APC_LEVEL;
  RunQueued(t);
}

// As the I/O manager runs down an ending thread: every IRP it still has out
// is cancelled, and the thread waits for them, in 100 ms steps for at most
// five minutes; what is left after that is reported below.
void CancelThreadIo(_ETHREAD *thread) {
  PETHREAD self = reinterpret_cast<PETHREAD>(thread);
  bool userIrps = internal::CancelUserIrpsOf(self) > 0;
  if (IsListEmpty(&thread->IrpList) && !userIrps) return;
  std::vector<PIRP> irps;
  for (PLIST_ENTRY e = thread->IrpList.Flink; e != &thread->IrpList; e = e->Flink)
    irps.push_back(CONTAINING_RECORD(e, IRP, ThreadListEntry));
  for (PIRP irp : irps) {
    // Completion of an earlier one may have freed a later one already.
    bool listed = false;
    for (PLIST_ENTRY e = thread->IrpList.Flink; e != &thread->IrpList; e = e->Flink)
      listed = listed || CONTAINING_RECORD(e, IRP, ThreadListEntry) == irp;
    if (listed) IoCancelIrp(irp);
  }
  LARGE_INTEGER step;
  step.QuadPart = -100 * 10000LL;
  for (int i = 0; i < 3000 && (!IsListEmpty(&thread->IrpList) || internal::UserIrpsOf(self) > 0); ++i)
    KeDelayExecutionThread(KernelMode, FALSE, &step);
}

void ThreadExiting(SimThread *t) {
  try {
    DeliverKernelApcs(t);
  } catch (ThreadUnwind &) {
    return;  // the kernel is going down meanwhile
  }
  auto *thread = reinterpret_cast<_ETHREAD *>(t->object);
  if (thread == nullptr) return;
  try {
    CancelThreadIo(thread);
  } catch (ThreadUnwind &) {
    return;
  }
  while (!IsListEmpty(&thread->IrpList)) {
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(&thread->IrpList), IRP, ThreadListEntry);
    InitializeListHead(&irp->ThreadListEntry);
    irp->Tail.Overlay.Thread = nullptr;
    internal::IrpOfEndedThread(irp, ThreadLabel(t));
  }
}

namespace internal {

bool QueueKernelApc(PETHREAD thread, KernelApcRoutine routine, void *context) {
  SimThread *t = thread->Tcb.Sim;
  if (t == nullptr) return false;
  // The host has no schedule points and nothing runs beside it.
  if (t->kind == SimThread::Kind::Host) {
    routine(context);
    return true;
  }
  t->kernelApcs.push_back(SimThread::KernelApc{routine, context});
  if (t == CurrentSimThread()) {
    DeliverKernelApcs(t);
  } else if (Interruptible(t)) {
    t->waitStatus = kStatusKernelApc;
    MakeRunnable(t);
  }
  return true;
}

bool ThreadHoldsOffApcs(PETHREAD thread) {
  SimThread *t = thread->Tcb.Sim;
  return t != nullptr && t->kind != SimThread::Kind::Host && (t->irql >= APC_LEVEL || t->inKernelApc);
}

void QueueThreadIrp(PIRP irp) {
  auto *thread = reinterpret_cast<_ETHREAD *>(Current()->object);
  irp->Tail.Overlay.Thread = thread;
  InsertHeadList(&thread->IrpList, &irp->ThreadListEntry);
}

void RemoveThreadIrp(PIRP irp) {
  RemoveEntryList(&irp->ThreadListEntry);
  InitializeListHead(&irp->ThreadListEntry);
}

}  // namespace internal
}  // namespace sim
