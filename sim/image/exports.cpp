// Every routine an image imports is bound to its gate; a variable (KeTickCount)
// to the simulated kernel's own.
#include "sim/image/exports.h"

#include <strings.h>

#include <cstring>

#include <ntddk.h>
#include <usbdlib.h>
#include <wdm.h>
#include <wmilib.h>

#include "sim/image/gate.h"
#include "sim/image/int64_helpers.h"

namespace sim {
namespace image {
namespace {

// The C library's own are declared noexcept, which is no convention.
void *ImageMemcpy(void *to, const void *from, size_t bytes) { return std::memcpy(to, from, bytes); }
void *ImageMemset(void *to, int value, size_t bytes) { return std::memset(to, value, bytes); }

struct Export {
  const char *dll;
  const char *name;
  void *address;
  const void *routine;  // the simulated kernel's routine behind the gate; nullptr for data
};

#define GATE_AS(dll, name, routine) \
  { dll, name, reinterpret_cast<void *>(&Gate<decltype(routine)>::template Entry<&routine>), reinterpret_cast<const void *>(&routine) }
#define GATE(dll, routine) GATE_AS(dll, #routine, routine)
#define DATA(dll, variable) \
  { dll, #variable, const_cast<void *>(reinterpret_cast<const volatile void *>(&variable)), nullptr }

const char kHal[] = "HAL.dll";
const char kNt[] = "ntoskrnl.exe";
const char kUsbd[] = "USBD.SYS";
const char kWmi[] = "WMILIB.SYS";

const Export kExports[] = {
    GATE(kHal, KeGetCurrentIrql),
    GATE(kHal, KfAcquireSpinLock),
    GATE(kHal, KfLowerIrql),
    GATE(kHal, KfRaiseIrql),
    GATE(kHal, KfReleaseSpinLock),
    GATE(kNt, ExAllocatePoolWithTag),
    GATE(kNt, ExFreePool),
    GATE(kNt, IoAllocateIrp),
    GATE(kNt, IoAllocateWorkItem),
    GATE(kNt, IoAttachDeviceToDeviceStack),
    GATE(kNt, IoBuildDeviceIoControlRequest),
    GATE(kNt, IoCancelIrp),
    GATE(kNt, IoCreateDevice),
    GATE(kNt, IoCreateSymbolicLink),
    GATE(kNt, IoDeleteDevice),
    GATE(kNt, IoDeleteSymbolicLink),
    GATE(kNt, IoDetachDevice),
    GATE(kNt, IoFreeIrp),
    GATE(kNt, IoFreeWorkItem),
    GATE(kNt, IoGetDeviceProperty),
    GATE(kNt, IoInitializeTimer),
    GATE(kNt, IoOpenDeviceRegistryKey),
    GATE(kNt, IoQueueWorkItem),
    GATE(kNt, IoRegisterDeviceInterface),
    GATE(kNt, IoReleaseCancelSpinLock),
    GATE(kNt, IoSetDeviceInterfaceState),
    GATE(kNt, IoStartNextPacket),
    GATE(kNt, IoStartPacket),
    GATE(kNt, IoStartTimer),
    GATE(kNt, IoStopTimer),
    GATE(kNt, IoWMIRegistrationControl),
    GATE(kNt, IofCallDriver),
    GATE(kNt, IofCompleteRequest),
    GATE(kNt, KeCancelTimer),
    GATE(kNt, KeClearEvent),
    GATE(kNt, KeInitializeDpc),
    GATE(kNt, KeInitializeEvent),
    GATE(kNt, KeInitializeTimerEx),
    GATE(kNt, KeInsertQueueDpc),
    GATE(kNt, KeQueryActiveProcessors),
    GATE(kNt, KeQueryTimeIncrement),
    GATE(kNt, KeRemoveQueueDpc),
    GATE(kNt, KeSetEvent),
    GATE(kNt, KeSetTargetProcessorDpc),
    GATE(kNt, KeSetTimerEx),
    DATA(kNt, KeTickCount),
    GATE(kNt, KeWaitForMultipleObjects),
    GATE(kNt, KeWaitForSingleObject),
    GATE(kNt, MmMapLockedPagesSpecifyCache),
    GATE(kNt, ObReferenceObjectByHandle),
    GATE(kNt, ObfDereferenceObject),
    GATE(kNt, PoCallDriver),
    GATE(kNt, PoRequestPowerIrp),
    GATE(kNt, PoSetPowerState),
    GATE(kNt, PoStartNextPowerIrp),
    GATE(kNt, PsCreateSystemThread),
    GATE(kNt, PsTerminateSystemThread),
    GATE(kNt, RtlAppendUnicodeToString),
    GATE(kNt, RtlDeleteRegistryValue),
    GATE(kNt, RtlFreeUnicodeString),
    GATE(kNt, RtlInitUnicodeString),
    GATE(kNt, RtlWriteRegistryValue),
    GATE(kNt, ZwClose),
    GATE(kNt, ZwQueryValueKey),
    GATE(kNt, _alldiv),
    GATE(kNt, _allrem),
    GATE(kNt, _aulldiv),
    GATE(kNt, _aullrem),
    GATE_AS(kNt, "memcpy", ImageMemcpy),
    GATE_AS(kNt, "memset", ImageMemset),
    GATE(kNt, wcscmp),
    GATE(kNt, wcslen),
    GATE(kNt, wcsncpy),
    // USBD.SYS exports its stdcall routines under both names.
    GATE(kUsbd, USBD_CreateConfigurationRequestEx),
    GATE(kUsbd, USBD_ParseConfigurationDescriptorEx),
    GATE(kUsbd, USBD_ParseDescriptors),
    GATE_AS(kUsbd, "_USBD_CreateConfigurationRequestEx@8", USBD_CreateConfigurationRequestEx),
    GATE_AS(kUsbd, "_USBD_ParseConfigurationDescriptorEx@28", USBD_ParseConfigurationDescriptorEx),
    GATE_AS(kUsbd, "_USBD_ParseDescriptors@16", USBD_ParseDescriptors),
    GATE(kWmi, WmiCompleteRequest),
    GATE(kWmi, WmiSystemControl),
};

}  // namespace

void *ResolveExport(const char *dll, const char *name) {
  for (const Export &e : kExports)
    if (strcasecmp(e.dll, dll) == 0 && std::strcmp(e.name, name) == 0) return e.address;
  return nullptr;
}

const char *ExportNameOf(const void *routine) {
  for (const Export &e : kExports)
    if (e.routine == routine) return e.name;
  return "a kernel routine";
}

}  // namespace image
}  // namespace sim
