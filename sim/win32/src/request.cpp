#include "sim/win32/src/file_api.h"

#include "sim/win32/src/last_error.h"

namespace sim {
namespace win32 {

namespace {

// The low bit of an OVERLAPPED's event handle only asks Windows not to post
// to a completion port; the handle is the rest.
HANDLE EventHandleOf(LPOVERLAPPED ov) {
  return reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(ov->hEvent) & ~static_cast<ULONG_PTR>(1));
}

BOOL Finish(NtStatus status, const IoStatus &iosb, LPDWORD transferred) {
  if (!SucceededOrSetError(status)) return FALSE;
  if (transferred != nullptr) *transferred = static_cast<DWORD>(iosb.Information);
  return TRUE;
}

// A request without OVERLAPPED: the caller's thread waits for it.
BOOL IssueSynchronous(FileObject *file, LPDWORD transferred, const RequestSender &send) {
  IoStatus iosb{};
  void *event = file->overlapped ? file->event : nullptr;
  if (event != nullptr) ClearEvent(event);
  NtStatus status = send(file->ntHandle, event, &iosb);
  if (status == kStatusPending) {
    WaitObjects(1, &event, false, -1);
    status = iosb.Status;
  }
  return Finish(status, iosb, transferred);
}

BOOL IssueOverlapped(FileObject *file, LPOVERLAPPED ov, LPDWORD transferred, const RequestSender &send) {
  Object *eventObject = nullptr;
  void *event = file->event;
  if (HANDLE h = EventHandleOf(ov)) {
    eventObject = Reference(h);
    if (eventObject == nullptr || eventObject->kind != ObjectKind::Event) {
      if (eventObject != nullptr) Release(eventObject);
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    event = eventObject->event;
  }
  IoStatus *iosb = reinterpret_cast<IoStatus *>(ov);
  ov->Internal = STATUS_PENDING;
  ov->InternalHigh = 0;
  ClearEvent(event);
  NtStatus status = send(file->ntHandle, event, iosb);
  BOOL result;
  if (status == kStatusPending) {
    if (file->overlapped) {
      SetLastError(ERROR_IO_PENDING);
      result = FALSE;
    } else {
      // A synchronous handle never leaves the caller with a pending request.
      WaitObjects(1, &event, false, -1);
      result = Finish(iosb->Status, *iosb, transferred);
    }
  } else {
    // Completed at once: the event is signalled as on Windows, so a caller
    // that waits on it regardless does not hang.
    SignalEvent(event);
    result = Finish(status, *iosb, transferred);
  }
  if (eventObject != nullptr) Release(eventObject);
  return result;
}

}  // namespace

BOOL IssueRequest(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpTransferred, const RequestSender &send) {
  if (lpTransferred != nullptr) *lpTransferred = 0;
  FileObject *file = ReferenceFile(hFile);
  if (file == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  BOOL result = lpOverlapped != nullptr ? IssueOverlapped(file, lpOverlapped, lpTransferred, send)
                                        : IssueSynchronous(file, lpTransferred, send);
  Release(file);
  return result;
}

BOOL SyncControl(HANDLE hFile, DWORD code, const void *in, DWORD inLength, void *out, DWORD outLength,
                 DWORD *returned) {
  FileObject *file = ReferenceFile(hFile);
  if (file == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // kernel32's comm helpers wait for their control requests even on an
  // overlapped handle, with an event of their own.
  void *event = NewEvent(true, false);
  if (event == nullptr) {
    Release(file);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  IoStatus iosb{};
  NtStatus status = Control(file->ntHandle, event, &iosb, code, in, inLength, out, outLength);
  if (status == kStatusPending) {
    WaitObjects(1, &event, false, -1);
    status = iosb.Status;
  }
  DeleteEvent(event);
  Release(file);
  DWORD transferred = 0;
  BOOL ok = Finish(status, iosb, &transferred);
  if (returned != nullptr) *returned = transferred;
  return ok;
}

}  // namespace win32
}  // namespace sim
