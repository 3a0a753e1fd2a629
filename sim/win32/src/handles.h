// Win32 handles: files on a device, events and threads. A handle is the
// address of its object; the table tells live handles from stale ones.
#pragma once

#include <windows.h>

#include <cstdint>

#include "sim/win32/src/nt_bridge.h"

namespace sim {
namespace win32 {

enum class ObjectKind { File, Event, Thread };

struct Object {
  ObjectKind kind;
  // Handles open on the object plus waits in progress; the object goes when
  // both are gone, so closing a handle another thread waits on is safe.
  int references = 1;
  // The kernel event that is signalled when the object is: the event itself,
  // a thread's end, a file's completion of requests without an event of
  // their own.
  void *event = nullptr;
};

struct FileObject : Object {
  void *ntHandle = nullptr;
  bool overlapped = false;
};

struct ThreadObject : Object {
  DWORD exitCode = STILL_ACTIVE;
  DWORD id = 0;
};

// Registers a new object; returns its handle.
HANDLE InsertObject(Object *object);
// Takes a reference on the live object behind h (NULL when h is not a live
// handle of that kind); drop it with Release.
Object *Reference(HANDLE h);
FileObject *ReferenceFile(HANDLE h);
void Release(Object *object);
// Closes the handle: unregisters it and drops the handle's reference.
// Returns the object (still referenced by the caller) or NULL.
Object *RemoveHandle(HANDLE h);

}  // namespace win32
}  // namespace sim
