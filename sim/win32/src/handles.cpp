#include "sim/win32/src/handles.h"

#include "sim/win32/src/process_exit.h"

#include <mutex>
#include <unordered_set>
#include <vector>

namespace sim {
namespace win32 {

namespace {

std::mutex &TableLock() {
  static std::mutex lock;
  return lock;
}

// Never destroyed: handles a program leaves open stay reachable at exit.
std::unordered_set<Object *> &Table() {
  static auto *table = new std::unordered_set<Object *>;
  return *table;
}

// A request still pending on the object's event holds the event itself.
void Destroy(Object *object) {
  if (object->event != nullptr) DeleteEvent(object->event);
  switch (object->kind) {
    case ObjectKind::File: delete static_cast<FileObject *>(object); break;
    case ObjectKind::Thread: delete static_cast<ThreadObject *>(object); break;
    case ObjectKind::Event: delete object; break;
  }
}

}  // namespace

HANDLE InsertObject(Object *object) {
  std::lock_guard<std::mutex> guard(TableLock());
  Table().insert(object);
  return object;
}

Object *Reference(HANDLE h) {
  std::lock_guard<std::mutex> guard(TableLock());
  auto it = Table().find(static_cast<Object *>(h));
  if (it == Table().end()) return nullptr;
  (*it)->references++;
  return *it;
}

FileObject *ReferenceFile(HANDLE h) {
  Object *object = Reference(h);
  if (object == nullptr) return nullptr;
  if (object->kind != ObjectKind::File) {
    Release(object);
    return nullptr;
  }
  return static_cast<FileObject *>(object);
}

void Release(Object *object) {
  bool last;
  {
    std::lock_guard<std::mutex> guard(TableLock());
    last = --object->references == 0;
  }
  if (last) Destroy(object);
}

Object *RemoveHandle(HANDLE h) {
  std::lock_guard<std::mutex> guard(TableLock());
  auto it = Table().find(static_cast<Object *>(h));
  if (it == Table().end()) return nullptr;
  Object *object = *it;
  Table().erase(it);
  // The handle's reference passes to the caller.
  return object;
}

void CloseProcessHandles() {
  std::vector<HANDLE> open;
  {
    std::lock_guard<std::mutex> guard(TableLock());
    open.assign(Table().begin(), Table().end());
  }
  for (HANDLE h : open) CloseHandle(h);
  CloseProcessKeys();
}

}  // namespace win32
}  // namespace sim
