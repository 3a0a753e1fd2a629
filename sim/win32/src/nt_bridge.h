// What the Win32 layer needs from the simulated kernel, in plain types, so
// that the files implementing <windows.h> never see the kernel's headers.
// Implemented over sim/kernel/ntapi.h and the dispatcher in nt_bridge.cpp,
// the registry in nt_bridge_registry.cpp.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {
namespace win32 {

using NtStatus = int32_t;

const NtStatus kStatusSuccess = 0;
const NtStatus kStatusTimeout = 0x102;
const NtStatus kStatusPending = 0x103;
const NtStatus kStatusInvalidHandle = static_cast<NtStatus>(0xC0000008);
const NtStatus kStatusInvalidParameter = static_cast<NtStatus>(0xC000000D);
const NtStatus kStatusNoMemory = static_cast<NtStatus>(0xC0000017);
const NtStatus kStatusObjectNameNotFound = static_cast<NtStatus>(0xC0000034);

inline bool NtSuccess(NtStatus s) { return s >= 0; }

// Layout of the kernel's IO_STATUS_BLOCK (checked in nt_bridge.cpp); an
// OVERLAPPED's Internal/InternalHigh pair has the same layout.
struct IoStatus {
  union {
    NtStatus Status;
    void *Pointer;
  };
  uintptr_t Information;
};

// ---- kernel event objects: DeleteEvent drops the caller's reference; a
// request that names the event holds its own until it completes
void *NewEvent(bool manualReset, bool initialState);
void DeleteEvent(void *event);
void SignalEvent(void *event);
void ClearEvent(void *event);
bool EventIsSignalled(void *event);

// Waits on kernel dispatcher objects; timeoutMs < 0 waits without limit.
// Returns the kernel's status: STATUS_WAIT_0 + index, or STATUS_TIMEOUT.
NtStatus WaitObjects(uint32_t count, void *const *objects, bool waitAll, int64_t timeoutMs);
void DelayMs(uint32_t ms);
// GetTickCount's milliseconds: they move with the clock interrupt, a tick at a time.
uint32_t TickCountMs();
uint64_t NowMs();

// ---- threads: each Win32 thread is a simulated PASSIVE_LEVEL thread
void StartThread(const std::string &name, std::function<void()> body);
// Identifies the calling simulated thread (for per-thread last-error values).
void *CurrentThreadKey();

// ---- the I/O manager's user-mode entry (see sim/kernel/ntapi.h)
NtStatus OpenDevice(const uint16_t *ntPath, uint32_t access, bool overlapped, void **ntHandle, IoStatus *iosb);
NtStatus Read(void *ntHandle, void *event, IoStatus *iosb, void *buffer, uint32_t length);
NtStatus Write(void *ntHandle, void *event, IoStatus *iosb, const void *buffer, uint32_t length);
NtStatus Control(void *ntHandle, void *event, IoStatus *iosb, uint32_t code, const void *in, uint32_t inLength,
                 void *out, uint32_t outLength);
NtStatus CancelRequests(void *ntHandle);
NtStatus Flush(void *ntHandle, IoStatus *iosb);
NtStatus CloseDevice(void *ntHandle);

// ---- device interfaces: the kernel's link names (\??\USB#...#{guid}) of
// the enabled interfaces of a class, given as the 16 bytes of its GUID
std::vector<std::u16string> EnabledInterfaces(const void *interfaceClass);
// The virtual clock in 100 ns units since boot
uint64_t Now100ns();

// ---- the registry: keys by their kernel handles; `root` NULL takes `path`
// as absolute (\Registry\Machine\...), else relative to that open key
NtStatus OpenKey(void *root, const std::u16string &path, uint32_t access, void **key);
NtStatus CloseKey(void *key);
NtStatus QueryValue(void *key, const std::u16string &name, uint32_t *type, std::vector<uint8_t> *data);
// STATUS_NO_MORE_ENTRIES past the last value.
NtStatus EnumValue(void *key, uint32_t index, std::u16string *name, uint32_t *type, std::vector<uint8_t> *data);
struct KeyCounts {
  uint32_t subKeys, maxSubKeyNameBytes, values, maxValueNameBytes, maxValueDataBytes;
  uint64_t lastWrite;  // 100 ns units since 1601, as FILETIME
};
NtStatus QueryKey(void *key, KeyCounts *counts);

// ---- observation for tests: every control code the Win32 layer sends
using ControlObserver = std::function<void(uint32_t code)>;
void SetControlObserver(ControlObserver observer);

}  // namespace win32
}  // namespace sim
