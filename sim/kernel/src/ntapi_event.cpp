// Event objects as user mode has them. The handle holds one reference and
// every request that names the event another, so an event whose handle is
// closed while a request is pending lives until that request completes.
#include <unordered_map>

#include "ntapi_private.h"
#include "sim/kernel/ntapi.h"

namespace sim {
namespace io {
namespace {

struct EventObject {
  KEVENT event;  // first: the object's address is the event's
  LONG references = 1;
};

// Not per kernel: a program's handles may outlive the machine they ran on.
std::unordered_map<PKEVENT, EventObject *> &Objects() {
  static auto *objects = new std::unordered_map<PKEVENT, EventObject *>;
  return *objects;
}

}  // namespace

bool ReferenceEventObject(PKEVENT event) {
  auto it = Objects().find(event);
  if (it == Objects().end()) return false;
  it->second->references++;
  return true;
}

void DereferenceEventObject(PKEVENT event) {
  auto it = Objects().find(event);
  if (it == Objects().end()) return;
  EventObject *object = it->second;
  if (--object->references > 0) return;
  Objects().erase(it);
  internal::ForgetEvents(&object->event, sizeof object->event);
  delete object;
}

}  // namespace io

using namespace io;

PKEVENT NtCreateEvent(EVENT_TYPE Type, BOOLEAN InitialState) {
  auto *object = new EventObject;
  KeInitializeEvent(&object->event, Type, InitialState);
  Objects()[&object->event] = object;
  return &object->event;
}

NTSTATUS NtCloseEvent(PKEVENT Event) {
  if (Objects().find(Event) == Objects().end()) return STATUS_INVALID_HANDLE;
  DereferenceEventObject(Event);
  return STATUS_SUCCESS;
}

}  // namespace sim
