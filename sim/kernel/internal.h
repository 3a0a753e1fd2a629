// What the parts of the simulated kernel ask of each other. Host only.
#pragma once

#include <string>

#include <wdm.h>

namespace sim {
namespace internal {

// ---- scheduler, dispatcher, timers, threads (sim/kernel/src: scheduler side)
// Spin locks the current simulated thread holds (driver and kernel locks alike).
int SpinLocksHeldByCurrentThread();
// True while the current context is a simulated thread (not the host's own).
bool InSimulatedThread();
// A KTIMER that is set, or a KDPC that is queued, inside [begin, begin+size):
// memory about to be freed or a device object about to be deleted.
bool FindQueuedTimerOrDpc(const void *begin, size_t size, std::string *what);
// A work item queued or running for this device object.
bool WorkItemPendingFor(PDEVICE_OBJECT device);

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

}  // namespace internal
}  // namespace sim
