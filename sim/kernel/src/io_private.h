// State the I/O side of the simulated kernel shares between its files:
// the pool's internal entry points, the registry of live IRPs, device and
// file records. Host only; not for drivers or tests.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <wdm.h>

#include "sim/kernel/driver_code.h"
#include "sim/kernel/internal.h"
#include "sim/kernel/sim.h"
#include "sim/kernel/src/race.h"

namespace sim {
namespace io {

// ---------------------------------------------------------------- tags
constexpr ULONG MakeTag(const char (&s)[5]) {
  return (ULONG)(UCHAR)s[0] | ((ULONG)(UCHAR)s[1] << 8) | ((ULONG)(UCHAR)s[2] << 16) | ((ULONG)(UCHAR)s[3] << 24);
}
// The I/O manager's own blocks carry these, so a leak report names the driver's tags only.
constexpr ULONG kTagIrp = MakeTag("Irp ");
constexpr ULONG kTagSystemBuffer = MakeTag("IoSb");
constexpr ULONG kTagDevice = MakeTag("Devi");
constexpr ULONG kTagDriver = MakeTag("Driv");
constexpr ULONG kTagFile = MakeTag("File");
constexpr ULONG kTagMdl = MakeTag("Mdl ");
constexpr ULONG kTagName = MakeTag("ObNm");
constexpr ULONG kTagNone = MakeTag("None");

std::string TagName(ULONG tag);
std::string Narrow(const WCHAR *s, size_t count);
std::string Narrow(const UNICODE_STRING *s);
std::string Hex(uint64_t v);

// ---------------------------------------------------------------- pool (internal)
// The I/O manager's allocations: left out of the driver leak report (IRPs
// and objects have their own checks) and exempt from the count and chance
// knobs unless made `onDriversBehalf` (IoAllocateIrp, IoAllocateMdl); a
// tag knob always applies.
PVOID SystemAllocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, bool onDriversBehalf = false);
// Frees a block of any origin; `checkTimers` false when the caller has
// already reported a queued timer or DPC in it.
void PoolFree(PVOID p, const char *routine, bool checkTimers = true);
// True when p is the start of a live pool block; its size in *size.
bool PoolBlockLive(const void *p, SIZE_T *size);
// True when [p, p+size) lies inside one live pool block.
bool PoolRangeLive(const void *p, SIZE_T size);
// Releases every block: the kernel they belonged to is gone.
void ReleaseAllPool();
void ResetPoolKnobs();
void ResetMdlKnob();
// Only in a simulated thread may the IRQL be asked and the scheduler entered.
void MaybeSchedule();
KIRQL CurrentIrqlOrPassive();
// Reports an IrqlTooHigh fault when the caller is above `limit`; false then.
bool CheckIrqlAtMost(KIRQL limit, const char *routine);

// An MDL for [va, va+length), chained to irp when given; `system` for the
// I/O manager's own.
PMDL AllocateMdl(PVOID va, ULONG length, bool secondary, PIRP irp, bool system);

// ---------------------------------------------------------------- IRPs
enum class IrpOrigin {
  Driver,       // IoAllocateIrp: the allocator completes and frees it
  Initialized,  // driver memory given to IoInitializeIrp
  Built,        // IoBuild*Request: the I/O manager finishes and frees it
  User,         // a user-mode request through ntapi
};

// One IofCallDriver into a dispatch routine, kept until both the routine
// has returned and completion has passed its stack location, so the pending
// rules can be judged whichever comes first.
struct CallFrame {
  int location = 0;
  uint64_t seq = 0;  // order of the calls on the IRP
  std::string what;
  bool returned = false;
  NTSTATUS status = 0;
  bool walked = false;
  bool markedAtWalk = false;
};

struct FileRecord;
struct UserRequest;

struct IrpRecord {
  uint64_t serial = 0;
  IrpOrigin origin = IrpOrigin::Driver;
  bool freed = false;
  int completions = 0;  // IofCompleteRequest calls since allocation or reuse
  std::vector<std::shared_ptr<CallFrame>> frames;
  uint64_t calls = 0;
  uint64_t heldReportedAt = 0;  // the call whose routine was last found still holding the IRP
  // Where the power manager held the IRP back and answered STATUS_PENDING
  // for the calls made so far: (stack location, last call then).
  std::vector<std::pair<int, uint64_t>> pendedByPowerManager;
  // Final completion of I/O-manager IRPs.
  ULONG outputLength = 0;
  FileRecord *file = nullptr;
  PETHREAD thread = nullptr;
  std::shared_ptr<UserRequest> user;
  UCHAR majorFunction = 0;
};

PIRP AllocateIrp(CCHAR stackSize, IrpOrigin origin, bool system);
std::shared_ptr<IrpRecord> FindIrp(const IRP *irp);
void ForgetIrp(PIRP irp);
std::vector<std::pair<PIRP, std::shared_ptr<IrpRecord>>> LiveIrps();
inline PIO_STACK_LOCATION StackLocation(PIRP irp, int location) {
  return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (location - 1);
}
void ResetIrps();
void TeardownIrps();

// IofCallDriver, with the power manager's exemption from the power-IRP check.
NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, bool fromPowerManager);
// Completion passes a stack location: settle the dispatch calls made at it.
void NoteLocationWalked(IrpRecord &rec, PIRP irp, int location);
// The power manager queues the IRP for the next stack location and returns
// STATUS_PENDING: the calls made so far count as pending there, and when
// completion passes it, PendingReturned goes up as if the driver below had
// returned STATUS_PENDING.
void NotePendedByPowerManager(PIRP irp);
bool PendedByPowerManager(const IrpRecord &rec, int location, uint64_t seq = 0);
// The I/O manager's part of completion, after the last stack location.
void FinishIrp(PIRP irp, const std::shared_ptr<IrpRecord> &rec);

// Buffers of a device control IRP by the transfer type in the code.
bool SetIoctlBuffers(PIRP irp, IrpRecord &rec, ULONG code, const void *in, ULONG inLength, PVOID out,
                     ULONG outLength);
// Undoes an IRP the I/O manager could not finish building.
void DiscardIrp(PIRP irp);
KSPIN_LOCK &CancelLock();

// ---------------------------------------------------------------- devices and files
struct DeviceRecord {
  uint64_t serial = 0;
  std::string name;  // for traces and faults
  std::u16string nsName;
  SIZE_T extensionSize = 0;
  bool deleted = false;
  PDEVICE_OBJECT attachedTo = nullptr;
  LONG references = 0;  // ObReferenceObject's, beside the open count in ReferenceCount
};
DeviceRecord *FindDevice(const DEVICE_OBJECT *device);
std::string DeviceName(const DEVICE_OBJECT *device);
PDEVICE_OBJECT AttachedTop(PDEVICE_OBJECT device);
// The last reference of a deleted device went: its memory goes too.
void DeviceReleased(PDEVICE_OBJECT device);
void ResetDevices();

// A request's reference on an event object (see NtCreateEvent); false when
// the event is no such object but kernel memory its owner keeps alive.
bool ReferenceEventObject(PKEVENT event);
void DereferenceEventObject(PKEVENT event);

// The user-mode request a user IRP belongs to: where its status goes when
// the caller waits, and whether the caller has stopped waiting for it. It
// goes with the IRP's record, and the reference on its event with it.
struct UserRequest {
  UserRequest() = default;
  UserRequest(const UserRequest &) = delete;
  UserRequest &operator=(const UserRequest &) = delete;
  ~UserRequest() {
    if (heldEvent) DereferenceEventObject(heldEvent);
  }
  PKEVENT heldEvent = nullptr;
  KEVENT done;
  IO_STATUS_BLOCK iosb{};
  bool wait = false;
  // A waited request's caller: its status block is written and its event
  // set at completion, together, as for a request that is not waited for.
  PIO_STATUS_BLOCK callerIosb = nullptr;
  PKEVENT callerEvent = nullptr;
  bool abandoned = false;
};

struct FileRecord {
  PFILE_OBJECT object = nullptr;
  PDEVICE_OBJECT device = nullptr;  // the opened (named) device
  bool overlapped = false;
  int references = 0;  // the handle plus each request in flight
  bool handleClosed = false;
  bool noClose = false;  // a failed open: no close goes to the driver
};
// A request that held the file object finished.
void ReleaseFile(FileRecord *file);
FileRecord *FindFile(const void *fileObject);
void ResetFiles();

// ---------------------------------------------------------------- namespace
NTSTATUS InsertName(const std::u16string &path, PDEVICE_OBJECT device);
void RemoveName(const std::u16string &path);
std::u16string ToU16(const UNICODE_STRING *s);
std::u16string ToU16(const WCHAR *s);
void ResetNamespace();

// ---------------------------------------------------------------- Plug and Play
// The instance path a bus gave its PDO; null for any other device object.
const std::string *PhysicalDeviceInstance(const DEVICE_OBJECT *device);
// IoDeleteDevice: the device's enabled interfaces are disabled, its PDO record goes.
void PhysicalDeviceDeleted(PDEVICE_OBJECT device);

const char *MajorName(UCHAR major);

}  // namespace io
}  // namespace sim
