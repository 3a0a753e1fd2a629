// The device queue of StartIo drivers: IoStartPacket and IoStartNextPacket,
// StartIo called at DISPATCH_LEVEL.
#include <map>

#include "io_private.h"

namespace sim {
namespace io {
namespace {

// FALSE when the queue was idle (now busy, the caller starts the packet),
// TRUE when queued.
bool InsertDeviceQueue(PKDEVICE_QUEUE queue, PKDEVICE_QUEUE_ENTRY entry, const ULONG *key) {
  KeAcquireSpinLockAtDpcLevel(&queue->Lock);
  bool inserted = false;
  entry->Inserted = FALSE;
  if (queue->Busy) {
    if (key) {
      entry->SortKey = *key;
      PLIST_ENTRY next = queue->DeviceListHead.Flink;
      while (next != &queue->DeviceListHead &&
             CONTAINING_RECORD(next, KDEVICE_QUEUE_ENTRY, DeviceListEntry)->SortKey <= *key)
        next = next->Flink;
      InsertTailList(next, &entry->DeviceListEntry);  // before `next`
    } else {
      InsertTailList(&queue->DeviceListHead, &entry->DeviceListEntry);
    }
    entry->Inserted = TRUE;
    inserted = true;
  } else {
    queue->Busy = TRUE;
  }
  KeReleaseSpinLockFromDpcLevel(&queue->Lock);
  return inserted;
}

// The next entry, or NULL and the queue idle.
PKDEVICE_QUEUE_ENTRY RemoveDeviceQueue(PKDEVICE_QUEUE queue) {
  KeAcquireSpinLockAtDpcLevel(&queue->Lock);
  PKDEVICE_QUEUE_ENTRY entry = nullptr;
  if (IsListEmpty(&queue->DeviceListHead)) {
    queue->Busy = FALSE;
  } else {
    entry = CONTAINING_RECORD(RemoveHeadList(&queue->DeviceListHead), KDEVICE_QUEUE_ENTRY, DeviceListEntry);
    entry->Inserted = FALSE;
  }
  KeReleaseSpinLockFromDpcLevel(&queue->Lock);
  return entry;
}

// A StartIo that ends its packet at once and starts the next from inside
// itself recurses once per queued packet; on a 12 KiB x86 kernel stack a few
// levels are all there is room for.
constexpr int kStartIoNestingLimit = 4;

std::map<PKTHREAD, int> &StartIoDepth() {
  static std::map<PKTHREAD, int> depth;
  return depth;
}

void StartIo(PDEVICE_OBJECT device, PIRP irp) {
  if (TraceEnabled()) Trace("StartIo " + DeviceName(device) + " IRP #" + std::to_string(FindIrp(irp) ? FindIrp(irp)->serial : 0));
  PKTHREAD thread = KeGetCurrentThread();
  int depth = ++StartIoDepth()[thread];
  if (depth == kStartIoNestingLimit + 1) {
    ReportFault(Fault::StartIoNestedTooDeep, "IoStartNextPacket",
                DeviceName(device) + ": StartIo entered " + std::to_string(depth) +
                    " times on one stack; each packet that ends inside StartIo starts the next from within it");
  }
  CallDriverRoutine(device->DriverObject->DriverStartIo, device, irp);
  if (--StartIoDepth()[thread] == 0) StartIoDepth().erase(thread);
}

}  // namespace
}  // namespace io
}  // namespace sim

using namespace sim;
using namespace sim::io;

BOOLEAN NTAPI KeInsertDeviceQueue(PKDEVICE_QUEUE DeviceQueue, PKDEVICE_QUEUE_ENTRY DeviceQueueEntry) {
  return InsertDeviceQueue(DeviceQueue, DeviceQueueEntry, nullptr);
}

BOOLEAN NTAPI KeInsertByKeyDeviceQueue(PKDEVICE_QUEUE DeviceQueue, PKDEVICE_QUEUE_ENTRY DeviceQueueEntry, ULONG SortKey) {
  return InsertDeviceQueue(DeviceQueue, DeviceQueueEntry, &SortKey);
}

PKDEVICE_QUEUE_ENTRY NTAPI KeRemoveDeviceQueue(PKDEVICE_QUEUE DeviceQueue) { return RemoveDeviceQueue(DeviceQueue); }

BOOLEAN NTAPI KeRemoveEntryDeviceQueue(PKDEVICE_QUEUE DeviceQueue, PKDEVICE_QUEUE_ENTRY DeviceQueueEntry) {
  KIRQL old = KfAcquireSpinLock(&DeviceQueue->Lock);
  BOOLEAN was = DeviceQueueEntry->Inserted;
  if (was) {
    DeviceQueueEntry->Inserted = FALSE;
    RemoveEntryList(&DeviceQueueEntry->DeviceListEntry);
  }
  KfReleaseSpinLock(&DeviceQueue->Lock, old);
  return was;
}

VOID NTAPI IoStartPacket(PDEVICE_OBJECT DeviceObject, PIRP Irp, PULONG Key, PDRIVER_CANCEL CancelFunction) {
  MaybeSchedule();
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KIRQL cancelIrql = DISPATCH_LEVEL;
  internal::RoutineEntry entry = internal::EnterDriverRoutine();
  if (CancelFunction) {
    IoAcquireCancelSpinLock(&cancelIrql);
    Irp->CancelRoutine = CancelFunction;
  }
  if (!InsertDeviceQueue(&DeviceObject->DeviceQueue, &Irp->Tail.Overlay.DeviceQueueEntry, Key)) {
    DeviceObject->CurrentIrp = Irp;
    if (CancelFunction) IoReleaseCancelSpinLock(cancelIrql);
    StartIo(DeviceObject, Irp);
  } else if (CancelFunction) {
    if (Irp->Cancel) {
      // Cancelled before it was queued: its routine runs now, with the lock held.
      Irp->CancelIrql = cancelIrql;
      Irp->CancelRoutine = nullptr;
      CancelFunction(DeviceObject, Irp);
      internal::CheckDriverRoutineReturn(entry, "cancel routine",
                                         "cancel routine of a packet IoStartPacket found cancelled at " +
                                             DeviceName(DeviceObject));
    } else {
      IoReleaseCancelSpinLock(cancelIrql);
    }
  }
  KeLowerIrql(old);
}

VOID NTAPI IoStartNextPacket(PDEVICE_OBJECT DeviceObject, BOOLEAN Cancelable) {
  MaybeSchedule();
  // Unlike IoStartPacket it does not raise: below DISPATCH_LEVEL StartIo
  // would run at the caller's IRQL.
  if (CurrentIrqlOrPassive() != DISPATCH_LEVEL)
    ReportFault(Fault::InvalidParameter, "IoStartNextPacket",
                "called at IRQL " + std::to_string(CurrentIrqlOrPassive()) + "; callers must be at DISPATCH_LEVEL");
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KIRQL cancelIrql = DISPATCH_LEVEL;
  if (Cancelable) IoAcquireCancelSpinLock(&cancelIrql);
  DeviceObject->CurrentIrp = nullptr;
  PKDEVICE_QUEUE_ENTRY entry = RemoveDeviceQueue(&DeviceObject->DeviceQueue);
  if (entry) {
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.DeviceQueueEntry);
    DeviceObject->CurrentIrp = irp;
    if (Cancelable) IoReleaseCancelSpinLock(cancelIrql);
    StartIo(DeviceObject, irp);
  } else if (Cancelable) {
    IoReleaseCancelSpinLock(cancelIrql);
  }
  KeLowerIrql(old);
}
