// Shared by the files that send requests on a file handle.
#pragma once

#include <windows.h>

#include <functional>

#include "sim/win32/src/handles.h"

namespace sim {
namespace win32 {

// One request on a device handle, as kernel32 issues ReadFile, WriteFile and
// DeviceIoControl: synchronous calls block the calling thread; with an
// OVERLAPPED the OVERLAPPED is the status block and a pending request returns
// FALSE with ERROR_IO_PENDING.
using RequestSender = std::function<NtStatus(void *ntHandle, void *event, IoStatus *iosb)>;
BOOL IssueRequest(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpTransferred, const RequestSender &send);

// A control request with a synchronous outcome, as the comm helpers send it
// (also on overlapped handles, where kernel32 waits for it itself).
BOOL SyncControl(HANDLE hFile, DWORD code, const void *in, DWORD inLength, void *out, DWORD outLength,
                 DWORD *returned = nullptr);

}  // namespace win32
}  // namespace sim
