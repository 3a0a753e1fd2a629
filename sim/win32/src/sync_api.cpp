// Events, waits, threads and time for Win32 programs: kernel events,
// simulated threads and the virtual clock.
#include <windows.h>

#include <string>
#include <vector>

#include "sim/win32/src/handles.h"
#include "sim/win32/src/last_error.h"

using namespace sim::win32;

namespace {

HANDLE NewEventObject(BOOL bManualReset, BOOL bInitialState) {
  Object *object = new Object;
  object->kind = ObjectKind::Event;
  object->event = NewEvent(bManualReset != FALSE, bInitialState != FALSE);
  return InsertObject(object);
}

// Both arms in 64 bits: mixed with the DWORD, -1 would become 2^32 - 1 ms.
int64_t TimeoutOf(DWORD dwMilliseconds) {
  return dwMilliseconds == INFINITE ? int64_t{-1} : int64_t{dwMilliseconds};
}

DWORD WaitResult(NtStatus status) {
  if (status == kStatusTimeout) return WAIT_TIMEOUT;
  if (status >= 0 && status < MAXIMUM_WAIT_OBJECTS) return WAIT_OBJECT_0 + static_cast<DWORD>(status);
  SetLastNtError(status);
  return WAIT_FAILED;
}

Object *ReferenceEvent(HANDLE h) {
  Object *object = Reference(h);
  if (object != nullptr && object->kind != ObjectKind::Event) {
    Release(object);
    object = nullptr;
  }
  if (object == nullptr) SetLastError(ERROR_INVALID_HANDLE);
  return object;
}

}  // namespace

extern "C" HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                      BOOL bInitialState, LPCWSTR lpName) {
  if (lpName != nullptr) {
    // Named events would need a namespace shared between processes; a
    // simulated machine runs one program.
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  return NewEventObject(bManualReset, bInitialState);
}

extern "C" HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                      BOOL bInitialState, LPCSTR lpName) {
  if (lpName != nullptr) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  return NewEventObject(bManualReset, bInitialState);
}

extern "C" BOOL WINAPI SetEvent(HANDLE hEvent) {
  Object *object = ReferenceEvent(hEvent);
  if (object == nullptr) return FALSE;
  SignalEvent(object->event);
  Release(object);
  return TRUE;
}

extern "C" BOOL WINAPI ResetEvent(HANDLE hEvent) {
  Object *object = ReferenceEvent(hEvent);
  if (object == nullptr) return FALSE;
  ClearEvent(object->event);
  Release(object);
  return TRUE;
}

extern "C" DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

extern "C" DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll,
                                               DWORD dwMilliseconds) {
  if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<Object *> objects;
  std::vector<void *> events;
  for (DWORD i = 0; i < nCount; ++i) {
    Object *object = Reference(lpHandles[i]);
    if (object == nullptr) {
      for (Object *o : objects) Release(o);
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    objects.push_back(object);
    events.push_back(object->event);
  }
  NtStatus status = WaitObjects(nCount, events.data(), bWaitAll != FALSE, TimeoutOf(dwMilliseconds));
  for (Object *o : objects) Release(o);
  return WaitResult(status);
}

extern "C" HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                                      LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                                      DWORD dwCreationFlags, LPDWORD lpThreadId) {
  static DWORD nextId = 1;
  if (lpStartAddress == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (dwCreationFlags != 0) {
    // Suspended creation is not simulated.
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  ThreadObject *thread = new ThreadObject;
  thread->kind = ObjectKind::Thread;
  thread->event = NewEvent(true, false);
  thread->id = nextId++;
  thread->references = 2;  // the handle and the running thread
  if (lpThreadId != nullptr) *lpThreadId = thread->id;
  HANDLE handle = InsertObject(thread);
  StartThread("win32-thread-" + std::to_string(thread->id), [thread, lpStartAddress, lpParameter]() {
    // The running thread's reference goes also when the machine ends the
    // thread early (the process exits while it still runs).
    struct RunningReference {
      ThreadObject *thread;
      ~RunningReference() { Release(thread); }
    } running{thread};
    DWORD code = lpStartAddress(lpParameter);
    thread->exitCode = code;
    SignalEvent(thread->event);
  });
  return handle;
}

extern "C" BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  Object *object = Reference(hThread);
  if (object == nullptr || object->kind != ObjectKind::Thread) {
    if (object != nullptr) Release(object);
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *lpExitCode = static_cast<ThreadObject *>(object)->exitCode;
  Release(object);
  return TRUE;
}

extern "C" VOID WINAPI Sleep(DWORD dwMilliseconds) { DelayMs(dwMilliseconds); }

extern "C" DWORD WINAPI GetTickCount(void) { return TickCountMs(); }

// The performance counter runs at the ACPI power-management timer's rate,
// as on most XP machines; programs must ask for it rather than assume it.
const LONGLONG kPerformanceFrequency = 3579545;

extern "C" BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER *lpFrequency) {
  if (!lpFrequency) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  lpFrequency->QuadPart = kPerformanceFrequency;
  return TRUE;
}

extern "C" BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER *lpPerformanceCount) {
  if (!lpPerformanceCount) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  // Whole seconds and the rest apart: the product of both would overflow 64
  // bits, and 32-bit x86 has no wider integer.
  const uint64_t now = Now100ns(), perSecond = 10000000;
  uint64_t ticks = now / perSecond * kPerformanceFrequency + now % perSecond * kPerformanceFrequency / perSecond;
  lpPerformanceCount->QuadPart = (LONGLONG)ticks;
  return TRUE;
}
