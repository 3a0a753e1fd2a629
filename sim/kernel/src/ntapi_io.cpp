// User-mode requests: read, write and device control IRPs built as the I/O
// manager builds them, synchronous or overlapped, and their cancellation.
#include "ntapi_private.h"
#include "sim/kernel/ntapi.h"

namespace sim {
namespace io {
namespace {

// Requests on a synchronous handle run one at a time, as on Windows.
struct FileLock {
  explicit FileLock(FileRecord *f) : file(f->overlapped ? nullptr : f->object) {
    if (file) KeWaitForSingleObject(&file->Lock, Executive, KernelMode, FALSE, nullptr);
  }
  ~FileLock() {
    if (file) KeSetEvent(&file->Lock, IO_NO_INCREMENT, FALSE);
  }
  PFILE_OBJECT file;
};

NTSTATUS Check(FileRecord *f, PKEVENT event) {
  if (!f) return STATUS_INVALID_HANDLE;
  if (f->overlapped && !event) return STATUS_INVALID_PARAMETER;
  return STATUS_SUCCESS;
}

// Read and write buffers by the transfer type of the device the IRP goes to.
bool SetTransferBuffers(PIRP irp, IrpRecord &rec, PDEVICE_OBJECT top, PVOID buffer, ULONG length, bool read) {
  if (!length) return true;
  if (top->Flags & DO_BUFFERED_IO) {
    irp->AssociatedIrp.SystemBuffer = SystemAllocate(NonPagedPool, length, kTagSystemBuffer);
    if (!irp->AssociatedIrp.SystemBuffer) return false;
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    if (read) {
      irp->Flags |= IRP_INPUT_OPERATION;
      rec.outputLength = length;
    } else {
      memcpy(irp->AssociatedIrp.SystemBuffer, buffer, length);
    }
  } else if (top->Flags & DO_DIRECT_IO) {
    if (!AllocateMdl(buffer, length, false, irp, true)) return false;
    MmProbeAndLockPages(irp->MdlAddress, UserMode, read ? IoWriteAccess : IoReadAccess);
  }
  irp->UserBuffer = buffer;
  return true;
}

NTSTATUS Transfer(HANDLE h, PKEVENT event, PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length, bool read) {
  MaybeSchedule();
  FileRecord *f = FileFromHandle(h);
  NTSTATUS status = Check(f, event);
  if (!NT_SUCCESS(status)) return status;
  FileLock lock(f);
  std::shared_ptr<UserRequest> req;
  PIRP irp = NewUserIrp(f, read ? IRP_MJ_READ : IRP_MJ_WRITE, event, iosb, &req, true, !f->overlapped);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->Parameters.Read.Length = length;
  if (!SetTransferBuffers(irp, *FindIrp(irp), AttachedTop(f->device), buffer, length, read)) {
    DiscardIrp(irp);
    ReleaseFile(f);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return Issue(f, irp, req, iosb);
}

}  // namespace

PIRP NewUserIrp(FileRecord *f, UCHAR major, PKEVENT event, PIO_STATUS_BLOCK iosb, std::shared_ptr<UserRequest> *req,
                bool holds, bool wait) {
  PDEVICE_OBJECT top = AttachedTop(f->device);
  PIRP irp = AllocateIrp(top->StackSize, IrpOrigin::User, true);
  if (!irp) return nullptr;
  auto rec = FindIrp(irp);
  *req = std::make_shared<UserRequest>();
  UserRequest &r = **req;
  r.wait = wait;
  if (event && ReferenceEventObject(event)) r.heldEvent = event;
  KeInitializeEvent(&r.done, NotificationEvent, FALSE);
  rec->user = *req;
  rec->majorFunction = major;
  rec->thread = PsGetCurrentThread();
  if (holds) {
    rec->file = f;
    f->references++;
  }
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = major;
  sp->FileObject = f->object;
  irp->RequestorMode = UserMode;
  irp->Tail.Overlay.OriginalFileObject = f->object;
  irp->Tail.Overlay.Thread = rec->thread;
  if (wait) {
    irp->UserIosb = &r.iosb;
    irp->UserEvent = &r.done;
    irp->Flags |= IRP_SYNCHRONOUS_API;
    r.callerIosb = iosb;
    r.callerEvent = event;
  } else {
    irp->UserIosb = iosb;
    irp->UserEvent = event;
  }
  if (event) KeClearEvent(event);
  return irp;
}

NTSTATUS Issue(FileRecord *f, PIRP irp, const std::shared_ptr<UserRequest> &req, PIO_STATUS_BLOCK iosb) {
  auto rec = FindIrp(irp);
  NTSTATUS status = CallDriver(AttachedTop(f->device), irp, false);
  if (!req->wait) return status;
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&req->done, Executive, KernelMode, FALSE, nullptr);
  } else if (!rec->freed) {
    // A final status returned for an IRP not yet completed: the caller goes
    // on, and the late completion must not write to what it has left.
    req->abandoned = true;
    iosb->Status = status;
    iosb->Information = 0;
    return status;
  }
  *iosb = req->iosb;
  return req->iosb.Status;
}

// As Windows cancels a thread's requests: at APC_LEVEL, so that one
// completing meanwhile stays until the walk is over (its finish is the
// thread's APC) and each IRP is still there when it is cancelled.
void CancelAtApcLevel(const std::vector<std::pair<PIRP, uint64_t>> &irps) {
  if (irps.empty()) return;
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);
  for (auto &m : irps) {
    auto rec = FindIrp(m.first);
    if (rec && rec->serial == m.second) IoCancelIrp(m.first);
  }
  KeLowerIrql(old);
}

}  // namespace io

using namespace io;

NTSTATUS NtReadFile(HANDLE FileHandle, PKEVENT Event, PIO_STATUS_BLOCK Iosb, PVOID Buffer, ULONG Length) {
  return Transfer(FileHandle, Event, Iosb, Buffer, Length, true);
}

NTSTATUS NtWriteFile(HANDLE FileHandle, PKEVENT Event, PIO_STATUS_BLOCK Iosb, const void *Buffer, ULONG Length) {
  return Transfer(FileHandle, Event, Iosb, const_cast<void *>(Buffer), Length, false);
}

NTSTATUS NtDeviceIoControlFile(HANDLE FileHandle, PKEVENT Event, PIO_STATUS_BLOCK Iosb, ULONG IoControlCode,
                               const void *InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                               ULONG OutputBufferLength) {
  MaybeSchedule();
  FileRecord *f = FileFromHandle(FileHandle);
  NTSTATUS status = Check(f, Event);
  if (!NT_SUCCESS(status)) return status;
  FileLock lock(f);
  std::shared_ptr<UserRequest> req;
  PIRP irp = NewUserIrp(f, IRP_MJ_DEVICE_CONTROL, Event, Iosb, &req, true, !f->overlapped);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  sp->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  sp->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  if (!SetIoctlBuffers(irp, *FindIrp(irp), IoControlCode, InputBuffer, InputBufferLength, OutputBuffer,
                       OutputBufferLength)) {
    DiscardIrp(irp);
    ReleaseFile(f);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return Issue(f, irp, req, Iosb);
}

// The I/O manager waits for a flush even on a handle opened for overlapped I/O.
NTSTATUS NtFlushBuffersFile(HANDLE FileHandle, PIO_STATUS_BLOCK Iosb) {
  MaybeSchedule();
  FileRecord *f = FileFromHandle(FileHandle);
  if (!f) return STATUS_INVALID_HANDLE;
  FileLock lock(f);
  std::shared_ptr<UserRequest> req;
  PIRP irp = NewUserIrp(f, IRP_MJ_FLUSH_BUFFERS, nullptr, Iosb, &req, true, true);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  return Issue(f, irp, req, Iosb);
}

NTSTATUS NtCancelIoFile(HANDLE FileHandle, PIO_STATUS_BLOCK Iosb) {
  MaybeSchedule();
  FileRecord *f = FileFromHandle(FileHandle);
  if (!f) return STATUS_INVALID_HANDLE;
  PETHREAD self = PsGetCurrentThread();
  std::vector<std::pair<PIRP, uint64_t>> mine;
  for (auto &l : LiveIrps())
    if (l.second->origin == IrpOrigin::User && l.second->file == f && l.second->thread == self &&
        l.first->CurrentLocation <= l.first->StackCount + 1)
      mine.emplace_back(l.first, l.second->serial);
  CancelAtApcLevel(mine);
  Iosb->Status = STATUS_SUCCESS;
  Iosb->Information = 0;
  return STATUS_SUCCESS;
}

namespace internal {

namespace {
std::vector<std::pair<PIRP, uint64_t>> UserIrps(PETHREAD thread) {
  std::vector<std::pair<PIRP, uint64_t>> mine;
  for (auto &l : io::LiveIrps())
    if (l.second->origin == io::IrpOrigin::User && l.second->thread == thread &&
        l.first->CurrentLocation <= l.first->StackCount + 1)
      mine.emplace_back(l.first, l.second->serial);
  return mine;
}
}  // namespace

size_t CancelUserIrpsOf(PETHREAD thread) {
  auto mine = UserIrps(thread);
  io::CancelAtApcLevel(mine);
  return mine.size();
}

size_t UserIrpsOf(PETHREAD thread) { return UserIrps(thread).size(); }

}  // namespace internal
}  // namespace sim
