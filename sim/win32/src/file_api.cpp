// CreateFile, ReadFile, WriteFile, DeviceIoControl, GetOverlappedResult,
// CancelIo and CloseHandle over the simulated I/O manager.
#include "sim/win32/src/file_api.h"

#include <string>

#include "sim/win32/src/last_error.h"

using namespace sim::win32;

namespace {

using WideString = std::basic_string<uint16_t>;

bool StartsWith(const WideString &s, const char *prefix) {
  size_t n = strlen(prefix);
  if (s.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (s[i] != static_cast<uint16_t>(prefix[i])) return false;
  }
  return true;
}

bool IsBareComName(const WideString &s) {
  // "COM1".."COM9", optionally with a colon: DOS device names Windows maps
  // to \\.\COMn from any directory.
  auto upper = [](uint16_t c) { return (c >= 'a' && c <= 'z') ? static_cast<uint16_t>(c - 32) : c; };
  if (s.size() < 4 || s.size() > 5) return false;
  if (upper(s[0]) != 'C' || upper(s[1]) != 'O' || upper(s[2]) != 'M') return false;
  if (s[3] < '1' || s[3] > '9') return false;
  return s.size() == 4 || s[4] == ':';
}

// The object-namespace path of a Win32 device name; empty when the name
// names nothing the simulated machine has.
WideString NtPathOf(const WideString &name) {
  static const uint16_t kDosDevices[] = {'\\', '?', '?', '\\'};
  WideString prefix(kDosDevices, kDosDevices + 4);
  if (StartsWith(name, "\\\\.\\") || StartsWith(name, "\\\\?\\")) return prefix + name.substr(4);
  if (IsBareComName(name)) return prefix + name.substr(0, 4);
  return WideString();
}

HANDLE OpenFile(const WideString &name, DWORD access, DWORD flags) {
  WideString path = NtPathOf(name);
  if (path.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  bool overlapped = (flags & FILE_FLAG_OVERLAPPED) != 0;
  FileObject *file = new FileObject;
  file->kind = ObjectKind::File;
  file->overlapped = overlapped;
  file->event = NewEvent(true, false);
  IoStatus iosb{};
  NtStatus status = OpenDevice(path.c_str(), access, overlapped, &file->ntHandle, &iosb);
  if (!NtSuccess(status)) {
    DeleteEvent(file->event);
    delete file;
    SetLastNtError(status);
    return INVALID_HANDLE_VALUE;
  }
  SetLastError(ERROR_SUCCESS);
  return InsertObject(file);
}

}  // namespace

extern "C" HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                                     DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  if (lpFileName == nullptr) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const uint16_t *p = reinterpret_cast<const uint16_t *>(lpFileName);
  WideString name;
  while (*p != 0) name.push_back(*p++);
  return OpenFile(name, dwDesiredAccess, dwFlagsAndAttributes);
}

extern "C" HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                                     DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  if (lpFileName == nullptr) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  // 16-bit units, not std::wstring: the C++ library's wide strings are built
  // for a 32-bit wchar_t.
  WideString name;
  for (const char *p = lpFileName; *p != 0; ++p) name.push_back(static_cast<unsigned char>(*p));
  return OpenFile(name, dwDesiredAccess, dwFlagsAndAttributes);
}

extern "C" BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  return IssueRequest(hFile, lpOverlapped, lpNumberOfBytesRead, [&](void *h, void *event, IoStatus *iosb) {
    return Read(h, event, iosb, lpBuffer, nNumberOfBytesToRead);
  });
}

extern "C" BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                 LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  return IssueRequest(hFile, lpOverlapped, lpNumberOfBytesWritten, [&](void *h, void *event, IoStatus *iosb) {
    return Write(h, event, iosb, lpBuffer, nNumberOfBytesToWrite);
  });
}

extern "C" BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                                       DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                                       LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
  return IssueRequest(hDevice, lpOverlapped, lpBytesReturned, [&](void *h, void *event, IoStatus *iosb) {
    return Control(h, event, iosb, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize);
  });
}

extern "C" BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                           LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
  if (static_cast<DWORD>(lpOverlapped->Internal) == STATUS_PENDING) {
    if (!bWait) {
      SetLastError(ERROR_IO_INCOMPLETE);
      return FALSE;
    }
    // Wait on the request's event, or on the file when it has none.
    HANDLE waitOn = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(lpOverlapped->hEvent) &
                                             ~static_cast<ULONG_PTR>(1));
    if (waitOn == nullptr) waitOn = hFile;
    if (WaitForSingleObject(waitOn, INFINITE) != WAIT_OBJECT_0) return FALSE;
  }
  if (lpNumberOfBytesTransferred != nullptr) {
    *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
  }
  return SucceededOrSetError(static_cast<NtStatus>(static_cast<DWORD>(lpOverlapped->Internal)));
}

extern "C" BOOL WINAPI CancelIo(HANDLE hFile) {
  FileObject *file = ReferenceFile(hFile);
  if (file == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  NtStatus status = CancelRequests(file->ntHandle);
  Release(file);
  return SucceededOrSetError(status);
}

// A driver without a flush routine gets the I/O manager's default answer,
// STATUS_INVALID_DEVICE_REQUEST: the program sees ERROR_INVALID_FUNCTION.
extern "C" BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
  FileObject *file = ReferenceFile(hFile);
  if (file == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  IoStatus iosb = {};
  NtStatus status = Flush(file->ntHandle, &iosb);
  Release(file);
  return SucceededOrSetError(status);
}

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject) {
  Object *object = RemoveHandle(hObject);
  if (object == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (object->kind == ObjectKind::File) {
    // Cleanup, then close once the requests still in flight let go.
    CloseDevice(static_cast<FileObject *>(object)->ntHandle);
  }
  Release(object);
  return TRUE;
}
