// System threads and thread objects: a thread object is a dispatcher object
// signalled when its thread ends, and lives while references remain.
#include "sim/kernel/src/sched_internal.h"

// The thread object type drivers may pass to ObReferenceObjectByHandle.
struct _OBJECT_TYPE {
  const char *Name;
};
namespace {
_OBJECT_TYPE g_threadType = {"Thread"};
POBJECT_TYPE g_threadTypePointer = &g_threadType;
}  // namespace

POBJECT_TYPE *PsThreadType = &g_threadTypePointer;

namespace sim {
namespace {

// Set once by the I/O side (SetObjectReferenceHook); it outlives any one kernel.
internal::ObjectReferenceHook g_referenceHook = nullptr;

_KTHREAD *AsThreadObject(PVOID object) {
  KernelState *s = State();
  if (s == nullptr) return nullptr;
  auto it = s->threadObjects.find(static_cast<_KTHREAD *>(object));
  return it == s->threadObjects.end() ? nullptr : *it;
}

LONG_PTR Dereference(_KTHREAD *o, const char *routine) {
  KernelState *s = State();
  if (o->References <= 0) {
    ReportFault(Fault::InvalidParameter, routine, "thread object of T" + std::to_string(o->Id) + " over-dereferenced");
    return 0;
  }
  LONG_PTR left = --o->References;
  if (left == 0) {
    if (o->Sim != nullptr) o->Sim->object = nullptr;
    s->threadObjects.erase(o);
    delete reinterpret_cast<_ETHREAD *>(o);
  }
  return left;
}

void CloseThreadHandle(void *object) { Dereference(static_cast<_KTHREAD *>(object), "ZwClose"); }

}  // namespace

_KTHREAD *NewThreadObject(SimThread *t) {
  auto *e = new _ETHREAD();
  _KTHREAD *o = &e->Tcb;
  o->Header.Type = kThreadObject;
  o->Header.Size = sizeof(_ETHREAD) / sizeof(LONG);
  o->Header.SignalState = 0;
  InitializeListHead(&o->Header.WaitListHead);
  o->Sim = t;
  o->References = 1;  // the running thread's own
  o->Id = t->id;
  InitializeListHead(&e->IrpList);
  State()->threadObjects.insert(o);
  return o;
}

void ThreadEnded(SimThread *t) {
  _KTHREAD *o = t->object;
  if (o == nullptr) return;
  o->Header.SignalState = 1;
  o->Sim = nullptr;
  t->object = nullptr;
  WakeSatisfiedWaiters();
  Dereference(o, "PsTerminateSystemThread");
}

void FreeAllThreadObjects() {
  KernelState *s = State();
  for (_KTHREAD *o : s->threadObjects) {
    if (o->Sim != nullptr) o->Sim->object = nullptr;
    delete reinterpret_cast<_ETHREAD *>(o);
  }
  s->threadObjects.clear();
}

}  // namespace sim

using namespace sim;

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                              HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext) {
  SchedulePoint();
  KernelState *s = State();
  if (ThreadHandle == nullptr || StartRoutine == nullptr) {
    ReportFault(Fault::InvalidParameter, "PsCreateSystemThread", "no handle or no start routine");
    return STATUS_INVALID_PARAMETER;
  }
  if (Current()->irql != PASSIVE_LEVEL)
    ReportFault(Fault::InvalidParameter, "PsCreateSystemThread", "called above PASSIVE_LEVEL");
  std::string name = "system-" + std::to_string(s->nextSystemThread++);
  SimThread *t = NewThread(name, SimThread::Kind::System, [StartRoutine, StartContext] { CallDriverRoutine(StartRoutine, StartContext); });
  ++t->object->References;  // the handle's
  *ThreadHandle = internal::AllocateHandle(internal::HandleKind::Thread, t->object, CloseThreadHandle);
  if (ClientId != nullptr) {
    ClientId->UniqueProcess = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(4));
    ClientId->UniqueThread = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(t->id) * 4);
  }
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus) {
  SimThread *self = CurrentSimThread();
  if (self == nullptr || self->kind != SimThread::Kind::System) {
    ReportFault(Fault::InvalidParameter, "PsTerminateSystemThread", "not called from a system thread");
    return STATUS_INVALID_PARAMETER;
  }
  throw ThreadUnwind();
}

PETHREAD NTAPI PsGetCurrentThread(void) { return reinterpret_cast<PETHREAD>(Current()->object); }
PKTHREAD NTAPI KeGetCurrentThread(void) { return Current()->object; }

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID *Object,
                                   POBJECT_HANDLE_INFORMATION HandleInformation) {
  SchedulePoint();
  KernelState *s = State();
  auto it = s->handles.find(reinterpret_cast<uintptr_t>(Handle));
  if (it == s->handles.end()) {
    ReportFault(Fault::InvalidParameter, "ObReferenceObjectByHandle", "handle is not open");
    return STATUS_INVALID_HANDLE;
  }
  bool isThread = it->second.kind == internal::HandleKind::Thread;
  if (ObjectType != nullptr && ObjectType == *PsThreadType && !isThread) return STATUS_OBJECT_TYPE_MISMATCH;
  if (!isThread && g_referenceHook == nullptr) return STATUS_OBJECT_TYPE_MISMATCH;
  ObfReferenceObject(it->second.object);
  *Object = it->second.object;
  if (HandleInformation != nullptr) {
    HandleInformation->HandleAttributes = 0;
    HandleInformation->GrantedAccess = DesiredAccess;
  }
  return STATUS_SUCCESS;
}

LONG_PTR FASTCALL ObfReferenceObject(PVOID Object) {
  SchedulePoint();
  if (_KTHREAD *o = AsThreadObject(Object)) return ++o->References;
  if (g_referenceHook != nullptr) return g_referenceHook(Object, +1);
  ReportFault(Fault::InvalidParameter, "ObfReferenceObject", "not an object the kernel knows");
  return 0;
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
  SchedulePoint();
  if (_KTHREAD *o = AsThreadObject(Object)) return Dereference(o, "ObfDereferenceObject");
  if (g_referenceHook != nullptr) return g_referenceHook(Object, -1);
  ReportFault(Fault::InvalidParameter, "ObfDereferenceObject", "not an object the kernel knows");
  return 0;
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
  SchedulePoint();
  if (!internal::ReleaseHandle(Handle)) {
    ReportFault(Fault::InvalidParameter, "ZwClose", "handle is not open");
    return STATUS_INVALID_HANDLE;
  }
  return STATUS_SUCCESS;
}

namespace sim {
namespace internal {

HANDLE AllocateHandle(HandleKind kind, void *object, HandleCloseFn close) {
  KernelState *s = State();
  uintptr_t value = s->nextHandle;
  s->nextHandle += 4;
  s->handles.emplace(value, HandleEntry{kind, object, close});
  return reinterpret_cast<HANDLE>(value);
}

void *LookupHandle(HANDLE handle, HandleKind kind) {
  KernelState *s = State();
  auto it = s->handles.find(reinterpret_cast<uintptr_t>(handle));
  return it != s->handles.end() && it->second.kind == kind ? it->second.object : nullptr;
}

bool ReleaseHandle(HANDLE handle) {
  KernelState *s = State();
  auto it = s->handles.find(reinterpret_cast<uintptr_t>(handle));
  if (it == s->handles.end()) return false;
  HandleEntry entry = it->second;
  s->handles.erase(it);
  if (entry.close) entry.close(entry.object);
  return true;
}

const char *HandleKindName(HandleKind kind) {
  switch (kind) {
    case HandleKind::Thread: return "thread";
    case HandleKind::RegistryKey: return "registry key";
    case HandleKind::File: return "file";
    default: return "kernel";
  }
}

void SetObjectReferenceHook(ObjectReferenceHook hook) { g_referenceHook = hook; }
bool HasObjectReferenceHook() { return g_referenceHook != nullptr; }

}  // namespace internal
}  // namespace sim
