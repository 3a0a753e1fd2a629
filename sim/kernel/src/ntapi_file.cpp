// User-mode handles: NtCreateFile opens a device (IRP_MJ_CREATE), NtClose
// sends cleanup, and close follows once no request holds the file object.
#include <set>

#include "io_private.h"
#include "ntapi_private.h"
#include "sim/kernel/ntapi.h"

namespace sim {
namespace io {
namespace {

constexpr CSHORT kIoTypeFile = 5;
constexpr ULONG kFoSynchronousIo = 0x00000002;

struct FileTable {
  std::set<FileRecord *> files;
};

FileTable &Files() {
  static FileTable *t = new FileTable;
  return *t;
}

// A device still being set up, or any above it, cannot be opened.
bool Initializing(PDEVICE_OBJECT device) {
  for (PDEVICE_OBJECT d = device; d; d = d->AttachedDevice)
    if (d->Flags & DO_DEVICE_INITIALIZING) return true;
  return false;
}

void Destroy(FileRecord *f) {
  PDEVICE_OBJECT device = f->device;
  PoolFree(f->object, "NtClose");
  Files().files.erase(f);
  delete f;
  device->ReferenceCount--;
  internal::FileObjectGone(device);
  DeviceReleased(device);
}

void SendClose(FileRecord *f) {
  std::shared_ptr<UserRequest> req;
  PIRP irp = NewUserIrp(f, IRP_MJ_CLOSE, nullptr, nullptr, &req, false, true);
  if (irp) {
    IO_STATUS_BLOCK iosb;
    Issue(f, irp, req, &iosb);
  }
  Destroy(f);
}

// The handle goes (NtClose or ZwClose): cleanup now, close once no request
// holds the file object.
void CloseHandle(void *object) {
  auto *f = static_cast<FileRecord *>(object);
  std::shared_ptr<UserRequest> req;
  PIRP irp = NewUserIrp(f, IRP_MJ_CLEANUP, nullptr, nullptr, &req, true, true);
  if (irp) {
    IO_STATUS_BLOCK iosb;
    Issue(f, irp, req, &iosb);
  }
  f->handleClosed = true;
  if (--f->references == 0) SendClose(f);
}

}  // namespace

FileRecord *FileFromHandle(HANDLE h) {
  return static_cast<FileRecord *>(internal::LookupHandle(h, internal::HandleKind::File));
}

FileRecord *FindFile(const void *fileObject) {
  for (FileRecord *f : Files().files)
    if (f->object == fileObject) return f;
  return nullptr;
}

void ReleaseFile(FileRecord *file) {
  if (--file->references > 0 || !file->handleClosed) return;
  if (file->noClose) {
    Destroy(file);
    return;
  }
  // The last request finished after the handle closed: close from a thread of
  // the I/O manager's, since completion may run at DISPATCH_LEVEL.
  CreateThread("I/O manager close", [file] { SendClose(file); });
}

void ResetFiles() {
  for (FileRecord *f : Files().files) delete f;
  Files().files.clear();
}

}  // namespace io

using namespace io;

NTSTATUS NtCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, const WCHAR *Path, PIO_STATUS_BLOCK Iosb,
                      bool Overlapped) {
  MaybeSchedule();
  *FileHandle = nullptr;
  PDEVICE_OBJECT device = internal::LookupDevice(Path);
  NTSTATUS status = STATUS_SUCCESS;
  if (!device)
    status = STATUS_OBJECT_NAME_NOT_FOUND;
  else if (Initializing(device))
    status = STATUS_NO_SUCH_DEVICE;
  else if ((device->Flags & DO_EXCLUSIVE) && device->ReferenceCount != 0)
    status = STATUS_ACCESS_DENIED;
  if (!NT_SUCCESS(status)) {
    Iosb->Status = status;
    Iosb->Information = 0;
    return status;
  }
  auto fo = static_cast<PFILE_OBJECT>(SystemAllocate(NonPagedPool, sizeof(FILE_OBJECT), kTagFile));
  if (!fo) return Iosb->Status = STATUS_INSUFFICIENT_RESOURCES;
  memset(fo, 0, sizeof *fo);
  fo->Type = kIoTypeFile;
  fo->Size = sizeof *fo;
  fo->DeviceObject = device;
  fo->Flags = Overlapped ? 0 : kFoSynchronousIo;
  fo->ReadAccess = (DesiredAccess & GENERIC_READ) != 0;
  fo->WriteAccess = (DesiredAccess & GENERIC_WRITE) != 0;
  KeInitializeEvent(&fo->Lock, SynchronizationEvent, TRUE);
  KeInitializeEvent(&fo->Event, NotificationEvent, FALSE);
  auto *f = new FileRecord;
  f->object = fo;
  f->device = device;
  f->overlapped = Overlapped;
  Files().files.insert(f);
  device->ReferenceCount++;

  std::shared_ptr<UserRequest> req;
  PIRP irp = NewUserIrp(f, IRP_MJ_CREATE, nullptr, nullptr, &req, true, true);
  if (!irp) {
    Destroy(f);
    return Iosb->Status = STATUS_INSUFFICIENT_RESOURCES;
  }
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->Parameters.Create.Options = 1u << 24;  // FILE_OPEN
  status = Issue(f, irp, req, Iosb);
  if (!NT_SUCCESS(status)) {
    if (f->references == 0) Destroy(f);
    else f->handleClosed = f->noClose = true;  // the create IRP is still out; the file goes with it
    return status;
  }
  f->references++;  // the handle's
  *FileHandle = internal::AllocateHandle(internal::HandleKind::File, f, CloseHandle);
  return status;
}

NTSTATUS NtClose(HANDLE Handle) {
  MaybeSchedule();
  if (!FileFromHandle(Handle)) return STATUS_INVALID_HANDLE;
  internal::ReleaseHandle(Handle);
  return STATUS_SUCCESS;
}

}  // namespace sim
