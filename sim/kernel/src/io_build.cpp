// IRPs the I/O manager builds for drivers: device control and synchronous
// read/write requests, on the issuing thread's IRP list, finished and freed by
// the I/O manager on completion, in that thread.
#include "io_private.h"

namespace sim {
namespace io {

// Sets up the buffers of a device control IRP as the I/O manager does for
// the transfer type in the code; the caller's output stays in UserBuffer.
bool SetIoctlBuffers(PIRP irp, IrpRecord &rec, ULONG code, const void *in, ULONG inLength, PVOID out,
                     ULONG outLength) {
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  rec.outputLength = outLength;
  switch (METHOD_FROM_CTL_CODE(code)) {
    case METHOD_BUFFERED: {
      ULONG size = inLength > outLength ? inLength : outLength;
      if (size) {
        irp->AssociatedIrp.SystemBuffer = SystemAllocate(NonPagedPoolCacheAligned, size, kTagSystemBuffer);
        if (!irp->AssociatedIrp.SystemBuffer) return false;
        if (in && inLength) memcpy(irp->AssociatedIrp.SystemBuffer, in, inLength);
        irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        irp->UserBuffer = out;
        if (out && outLength) irp->Flags |= IRP_INPUT_OPERATION;
      }
      break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
      if (in && inLength) {
        irp->AssociatedIrp.SystemBuffer = SystemAllocate(NonPagedPoolCacheAligned, inLength, kTagSystemBuffer);
        if (!irp->AssociatedIrp.SystemBuffer) return false;
        memcpy(irp->AssociatedIrp.SystemBuffer, in, inLength);
        irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
      }
      if (out && outLength) {
        if (!AllocateMdl(out, outLength, false, irp, true)) return false;
        MmProbeAndLockPages(irp->MdlAddress, KernelMode,
                            METHOD_FROM_CTL_CODE(code) == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess);
      }
      irp->UserBuffer = out;
      break;
    case METHOD_NEITHER:
      sp->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void *>(in);
      irp->UserBuffer = out;
      break;
  }
  return true;
}

// Undoes a half-built IRP whose buffers could not be had.
void DiscardIrp(PIRP irp) {
  if (irp->AssociatedIrp.SystemBuffer && (irp->Flags & IRP_DEALLOCATE_BUFFER))
    PoolFree(irp->AssociatedIrp.SystemBuffer, "I/O manager");
  for (PMDL m = irp->MdlAddress; m;) {
    PMDL next = m->Next;
    IoFreeMdl(m);
    m = next;
  }
  ForgetIrp(irp);
  PoolFree(irp, "I/O manager");
}

}  // namespace io
}  // namespace sim

using namespace sim;
using namespace sim::io;

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  MaybeSchedule();
  CheckIrqlAtMost(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
  PIRP irp = AllocateIrp(DeviceObject->StackSize, IrpOrigin::Built, false);
  if (!irp) return nullptr;
  auto rec = FindIrp(irp);
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  sp->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  sp->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  sp->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  rec->majorFunction = sp->MajorFunction;
  if (!SetIoctlBuffers(irp, *rec, IoControlCode, InputBuffer, InputBufferLength, OutputBuffer, OutputBufferLength)) {
    DiscardIrp(irp);
    return nullptr;
  }
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  irp->RequestorMode = KernelMode;
  internal::QueueThreadIrp(irp);
  rec->thread = irp->Tail.Overlay.Thread;
  return irp;
}

PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                                  PLARGE_INTEGER StartingOffset, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  MaybeSchedule();
  CheckIrqlAtMost(PASSIVE_LEVEL, "IoBuildSynchronousFsdRequest");
  PIRP irp = AllocateIrp(DeviceObject->StackSize, IrpOrigin::Built, false);
  if (!irp) return nullptr;
  auto rec = FindIrp(irp);
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = (UCHAR)MajorFunction;
  rec->majorFunction = sp->MajorFunction;
  if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
    sp->Parameters.Read.Length = Length;
    if (StartingOffset) sp->Parameters.Read.ByteOffset = *StartingOffset;
    if (DeviceObject->Flags & DO_BUFFERED_IO) {
      if (Length) {
        irp->AssociatedIrp.SystemBuffer = SystemAllocate(NonPagedPoolCacheAligned, Length, kTagSystemBuffer);
        if (!irp->AssociatedIrp.SystemBuffer) {
          DiscardIrp(irp);
          return nullptr;
        }
        irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        if (MajorFunction == IRP_MJ_WRITE)
          memcpy(irp->AssociatedIrp.SystemBuffer, Buffer, Length);
        else
          irp->Flags |= IRP_INPUT_OPERATION;
      }
      irp->UserBuffer = Buffer;
      rec->outputLength = MajorFunction == IRP_MJ_READ ? Length : 0;
    } else if (DeviceObject->Flags & DO_DIRECT_IO) {
      if (Length) {
        if (!AllocateMdl(Buffer, Length, false, irp, true)) {
          DiscardIrp(irp);
          return nullptr;
        }
        MmProbeAndLockPages(irp->MdlAddress, KernelMode, MajorFunction == IRP_MJ_READ ? IoWriteAccess : IoReadAccess);
      }
    } else {
      irp->UserBuffer = Buffer;
    }
  }
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  irp->Flags |= IRP_SYNCHRONOUS_API;
  internal::QueueThreadIrp(irp);
  rec->thread = irp->Tail.Overlay.Thread;
  return irp;
}
