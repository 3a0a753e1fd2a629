#include "sim/win32/src/last_error.h"

#include <mutex>
#include <unordered_map>

namespace sim {
namespace win32 {

namespace {

// Per simulated thread, keyed by the kernel's thread object.
std::mutex &ErrorLock() {
  static std::mutex lock;
  return lock;
}

std::unordered_map<void *, DWORD> &Errors() {
  static std::unordered_map<void *, DWORD> errors;
  return errors;
}

struct StatusMapping {
  uint32_t status;
  DWORD error;
};

// The rows of RtlNtStatusToDosError that the serial stack and the registry can produce.
const StatusMapping kMappings[] = {
    {0x00000000, ERROR_SUCCESS},
    {0x00000102, ERROR_TIMEOUT},                 // STATUS_TIMEOUT
    {0x00000103, ERROR_IO_PENDING},              // STATUS_PENDING
    {0x80000005, ERROR_MORE_DATA},               // STATUS_BUFFER_OVERFLOW
    {0x80000011, ERROR_BUSY},                    // STATUS_DEVICE_BUSY
    {0x8000001A, ERROR_NO_MORE_ITEMS},           // STATUS_NO_MORE_ENTRIES
    {0xC0000001, ERROR_GEN_FAILURE},             // STATUS_UNSUCCESSFUL
    {0xC0000002, ERROR_INVALID_FUNCTION},        // STATUS_NOT_IMPLEMENTED
    {0xC0000005, ERROR_NOACCESS},                // STATUS_ACCESS_VIOLATION
    {0xC0000008, ERROR_INVALID_HANDLE},          // STATUS_INVALID_HANDLE
    {0xC000000D, ERROR_INVALID_PARAMETER},       // STATUS_INVALID_PARAMETER
    {0xC000000E, ERROR_FILE_NOT_FOUND},          // STATUS_NO_SUCH_DEVICE
    {0xC0000010, ERROR_INVALID_FUNCTION},        // STATUS_INVALID_DEVICE_REQUEST
    {0xC0000017, ERROR_NOT_ENOUGH_MEMORY},       // STATUS_NO_MEMORY
    {0xC0000022, ERROR_ACCESS_DENIED},           // STATUS_ACCESS_DENIED
    {0xC0000023, ERROR_INSUFFICIENT_BUFFER},     // STATUS_BUFFER_TOO_SMALL
    {0xC0000033, ERROR_INVALID_NAME},            // STATUS_OBJECT_NAME_INVALID
    {0xC0000034, ERROR_FILE_NOT_FOUND},          // STATUS_OBJECT_NAME_NOT_FOUND
    {0xC0000035, ERROR_ALREADY_EXISTS},          // STATUS_OBJECT_NAME_COLLISION
    {0xC000003A, ERROR_PATH_NOT_FOUND},          // STATUS_OBJECT_PATH_NOT_FOUND
    {0xC000003B, ERROR_BAD_PATHNAME},            // STATUS_OBJECT_PATH_SYNTAX_BAD
    {0xC0000056, ERROR_ACCESS_DENIED},           // STATUS_DELETE_PENDING
    {0xC000009A, ERROR_NO_SYSTEM_RESOURCES},     // STATUS_INSUFFICIENT_RESOURCES
    {0xC000009C, ERROR_CRC},                     // STATUS_DEVICE_DATA_ERROR
    {0xC000009D, ERROR_DEVICE_NOT_CONNECTED},    // STATUS_DEVICE_NOT_CONNECTED
    {0xC00000A3, ERROR_NOT_READY},               // STATUS_DEVICE_NOT_READY
    {0xC00000B5, ERROR_SEM_TIMEOUT},             // STATUS_IO_TIMEOUT
    {0xC00000BB, ERROR_NOT_SUPPORTED},           // STATUS_NOT_SUPPORTED
    {0xC00000C0, ERROR_DEV_NOT_EXIST},           // STATUS_DEVICE_DOES_NOT_EXIST
    {0xC0000120, ERROR_OPERATION_ABORTED},       // STATUS_CANCELLED
    {0xC000017C, ERROR_KEY_DELETED},             // STATUS_KEY_DELETED
    {0xC0000181, ERROR_CHILD_MUST_BE_VOLATILE},  // STATUS_CHILD_MUST_BE_VOLATILE
    {0xC0000184, ERROR_BAD_COMMAND},             // STATUS_INVALID_DEVICE_STATE
};

}  // namespace

DWORD Win32ErrorFromNtStatus(NtStatus status) {
  for (const StatusMapping &m : kMappings) {
    if (m.status == static_cast<uint32_t>(status)) return m.error;
  }
  return ERROR_MR_MID_NOT_FOUND;  // what Windows reports for a status it has no row for
}

void SetLastNtError(NtStatus status) { SetLastError(Win32ErrorFromNtStatus(status)); }

BOOL SucceededOrSetError(NtStatus status) {
  if (NtSuccess(status)) return TRUE;
  SetLastNtError(status);
  return FALSE;
}

}  // namespace win32
}  // namespace sim

using namespace sim::win32;

extern "C" DWORD WINAPI GetLastError(void) {
  void *thread = CurrentThreadKey();
  std::lock_guard<std::mutex> guard(ErrorLock());
  auto it = Errors().find(thread);
  return it == Errors().end() ? ERROR_SUCCESS : it->second;
}

extern "C" VOID WINAPI SetLastError(DWORD dwErrCode) {
  void *thread = CurrentThreadKey();
  std::lock_guard<std::mutex> guard(ErrorLock());
  Errors()[thread] = dwErrCode;
}
