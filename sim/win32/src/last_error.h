// The calling thread's last-error value and the NT status to Win32 error
// mapping kernel32 applies.
#pragma once

#include <windows.h>

#include "sim/win32/src/nt_bridge.h"

namespace sim {
namespace win32 {

DWORD Win32ErrorFromNtStatus(NtStatus status);
// SetLastError(Win32ErrorFromNtStatus(status)).
void SetLastNtError(NtStatus status);
// A Win32 BOOL result from an NT status: TRUE on success, else FALSE with the
// last error set.
BOOL SucceededOrSetError(NtStatus status);

}  // namespace win32
}  // namespace sim
