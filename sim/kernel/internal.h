// What the parts of the simulated kernel ask of each other. Host only.
#pragma once

#include <string>
#include <vector>

#include <wdm.h>

namespace sim {
namespace internal {

// ---- scheduler, dispatcher, timers, threads (sim/kernel/src: scheduler side)
// Spin locks the current simulated thread holds (driver and kernel locks alike).
int SpinLocksHeldByCurrentThread();
// True while the current context is a simulated thread (not the host's own).
bool InSimulatedThread();
// Whether the current simulated thread holds this spin lock.
bool CurrentThreadHolds(PKSPIN_LOCK lock);
// A driver routine the kernel calls (dispatch, completion, cancel) must return
// at the IRQL it was called at, holding the spin locks its caller held and no
// others. Taken just before the call; checked when the routine returns, which
// reports an IrqlNotRestored fault naming `kind` and puts the IRQL and the
// locks back so the run can go on.
struct RoutineEntry {
  KIRQL irql;
  std::vector<PKSPIN_LOCK> held;
};
RoutineEntry EnterDriverRoutine();
void CheckDriverRoutineReturn(const RoutineEntry &entry, const char *kind, const std::string &what);
// A KTIMER that is set, or a KDPC that is queued, inside [begin, begin+size):
// memory about to be freed or a device object about to be deleted.
bool FindQueuedTimerOrDpc(const void *begin, size_t size, std::string *what);
// A DPC routine whose KDPC lies inside [begin, begin+size), or the I/O timer
// routine of a device object there, executing on a processor other than the
// caller's own context: the routine would go on using what is being freed.
bool FindRunningRoutine(const void *begin, size_t size, std::string *what);
// A work item queued or running for this device object; with
// `exceptCurrentRoutine`, the routine that is running the question is not counted.
bool WorkItemPendingFor(PDEVICE_OBJECT device, bool exceptCurrentRoutine = false);
// IoDeleteDevice calls this: the device's I/O timer stops and is freed, as
// the real IoDeleteDevice does. True when the timer was still started.
bool ReleaseIoTimer(PDEVICE_OBJECT device);
// Memory about to be freed or reused holds no initialised KEVENT any more:
// an event there must be initialised again before it is used.
void ForgetEvents(const void *begin, size_t size);
// KeSetEvent with no schedule point before the event is set: the I/O
// manager writes a request's status block and sets its event in one step,
// so no thread sees the one without the other.
void SetEventAtOnce(PKEVENT event);

// Kernel APCs: the routine runs in `thread`, at APC_LEVEL, as soon as that
// thread is below APC_LEVEL (at once when it is the caller; a thread waiting
// at PASSIVE_LEVEL is interrupted, runs it and waits on). False when the
// thread has ended.
using KernelApcRoutine = void (*)(void *context);
bool QueueKernelApc(PETHREAD thread, KernelApcRoutine routine, void *context);
// Whether the thread runs at APC_LEVEL or above now, holding off its kernel APCs.
bool ThreadHoldsOffApcs(PETHREAD thread);
// The current thread's list of the IRPs it issued: the IRP goes on it (and
// Irp->Tail.Overlay.Thread names the thread) until its final completion.
void QueueThreadIrp(PIRP irp);
void RemoveThreadIrp(PIRP irp);

// Kernel handles (ZwClose closes any of them). Handles still open when the
// kernel shuts down are reported as a HandleLeak.
enum class HandleKind { Thread, RegistryKey, File, Other };
using HandleCloseFn = void (*)(void *object);
HANDLE AllocateHandle(HandleKind kind, void *object, HandleCloseFn close);
// The object behind an open handle of this kind, or NULL.
void *LookupHandle(HANDLE handle, HandleKind kind);
// Closes the handle (calling its close routine); false when it is not open.
bool ReleaseHandle(HANDLE handle);
const char *HandleKindName(HandleKind kind);

// Reference counting of objects the I/O side owns (device and file objects):
// ObfReferenceObject/ObfDereferenceObject pass any object that is not a
// thread to this hook with +1 or -1; it returns the new count. Set it once
// (e.g. from a static registration); it stays across kernels.
using ObjectReferenceHook = LONG_PTR (*)(PVOID object, LONG delta);
void SetObjectReferenceHook(ObjectReferenceHook hook);
bool HasObjectReferenceHook();

// ---- I/O manager, objects, pool (sim/kernel/src: I/O side)
// A driver object for a driver of the simulated machine (ours, or the bus
// driver's), with every MajorFunction entry set to the I/O manager's default
// that completes with STATUS_INVALID_DEVICE_REQUEST.
PDRIVER_OBJECT CreateDriverObject(const WCHAR *name);
// Loads a driver: makes its driver object and calls its entry with the
// service's registry path. The object is returned even when the entry fails.
NTSTATUS LoadDriver(const WCHAR *name, PDRIVER_INITIALIZE entry, const WCHAR *registryPath,
                    PDRIVER_OBJECT *driverObject);
// Calls DriverUnload (if set) and frees the driver object.
void UnloadDriver(PDRIVER_OBJECT driverObject);
// The device object a name in the object namespace leads to, following
// symbolic links (L"\\DosDevices\\COM7", L"\\??\\COM7", L"\\Device\\USBPDO-0").
PDEVICE_OBJECT LookupDevice(const WCHAR *path);
// The power manager's view of completion: stack location `location` of a
// power IRP is done (every driver dispatched there must have called
// PoStartNextPowerIrp), and an IRP freed or reused.
void PowerIrpLocationDone(PIRP irp, int location);
void PowerIrpGone(PIRP irp);
// A thread ended while this IRP it issued was outstanding: reported, and the
// IRP, taken off the thread, finishes without writing to what the thread left.
void IrpOfEndedThread(PIRP irp, const std::string &thread);
// The requests a thread made through the Nt* calls and that have not ended:
// cancelled with IoCancelIrp (returns how many were), or counted.
size_t CancelUserIrpsOf(PETHREAD thread);
size_t UserIrpsOf(PETHREAD thread);
// IofCallDriver as PoCallDriver uses it: a power IRP passes without the
// check that catches power IRPs sent with IoCallDriver.
NTSTATUS CallDriverFromPowerManager(PDEVICE_OBJECT device, PIRP irp);
// IoDeleteDevice calls this: a device still registered as a WMI provider is
// reported and its registration dropped.
void WmiDeviceDeleted(PDEVICE_OBJECT device, const std::string &name);
// A file object opened on `device` is gone (its close went out): the Plug
// and Play manager sends a surprise-removed node its removal when this was
// the last one open on its stack.
void FileObjectGone(PDEVICE_OBJECT device);
// A wait-wake the power manager requested (PoRequestPowerIrp) completed:
// with success while the system sleeps, the system wakes.
void WaitWakeCompleted(NTSTATUS status);

}  // namespace internal
}  // namespace sim
