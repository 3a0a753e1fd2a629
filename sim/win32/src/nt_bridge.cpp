// One of the two files of sim/win32 that see the kernel (the registry's is
// nt_bridge_registry.cpp): Win32 objects and requests become kernel events,
// simulated threads and ntapi.h requests.
#include "sim/win32/src/nt_bridge.h"

#include <sim/kernel/ntapi.h>
#include <sim/kernel/sim.h>

#include <cstddef>
#include <vector>

namespace sim {
namespace win32 {

static_assert(sizeof(IoStatus) == sizeof(IO_STATUS_BLOCK), "IoStatus must match IO_STATUS_BLOCK");
static_assert(offsetof(IoStatus, Information) == offsetof(IO_STATUS_BLOCK, Information),
              "IoStatus must match IO_STATUS_BLOCK");

namespace {
ControlObserver &Observer() {
  static ControlObserver observer;
  return observer;
}
PIO_STATUS_BLOCK Kernel(IoStatus *iosb) { return reinterpret_cast<PIO_STATUS_BLOCK>(iosb); }
}  // namespace

void *NewEvent(bool manualReset, bool initialState) {
  return sim::NtCreateEvent(manualReset ? NotificationEvent : SynchronizationEvent, initialState ? TRUE : FALSE);
}

void DeleteEvent(void *event) { sim::NtCloseEvent(static_cast<PKEVENT>(event)); }

void SignalEvent(void *event) { KeSetEvent(static_cast<PKEVENT>(event), 0, FALSE); }

void ClearEvent(void *event) { KeClearEvent(static_cast<PKEVENT>(event)); }

bool EventIsSignalled(void *event) { return KeReadStateEvent(static_cast<PKEVENT>(event)) != 0; }

NtStatus WaitObjects(uint32_t count, void *const *objects, bool waitAll, int64_t timeoutMs) {
  LARGE_INTEGER timeout;
  PLARGE_INTEGER pTimeout = nullptr;
  if (timeoutMs >= 0) {
    timeout.QuadPart = -timeoutMs * 10000;  // relative, in 100 ns units
    pTimeout = &timeout;
  }
  if (count == 1) return KeWaitForSingleObject(objects[0], UserRequest, UserMode, FALSE, pTimeout);
  std::vector<PVOID> list(objects, objects + count);
  std::vector<KWAIT_BLOCK> blocks(count);
  return KeWaitForMultipleObjects(count, list.data(), waitAll ? WaitAll : WaitAny, UserRequest, UserMode, FALSE,
                                  pTimeout, blocks.data());
}

void DelayMs(uint32_t ms) {
  LARGE_INTEGER interval;
  interval.QuadPart = -static_cast<LONGLONG>(ms) * 10000;
  KeDelayExecutionThread(UserMode, FALSE, &interval);
}

uint64_t NowMs() { return sim::NowMs(); }

uint64_t Now100ns() { return sim::Now100ns(); }

std::vector<std::u16string> EnabledInterfaces(const void *interfaceClass) {
  GUID g;
  memcpy(&g, interfaceClass, sizeof g);
  return sim::EnabledDeviceInterfaces(g);
}

uint32_t TickCountMs() {
  LARGE_INTEGER ticks;
  KeQueryTickCount(&ticks);
  return static_cast<uint32_t>(static_cast<ULONGLONG>(ticks.QuadPart) * KeQueryTimeIncrement() / 10000);
}

void StartThread(const std::string &name, std::function<void()> body) { sim::CreateThread(name, std::move(body)); }

void *CurrentThreadKey() { return KeGetCurrentThread(); }

NtStatus OpenDevice(const uint16_t *ntPath, uint32_t access, bool overlapped, void **ntHandle, IoStatus *iosb) {
  HANDLE h = nullptr;
  NTSTATUS status = sim::NtCreateFile(&h, access, reinterpret_cast<const WCHAR *>(ntPath),
                                      Kernel(iosb), overlapped);
  *ntHandle = NT_SUCCESS(status) ? h : nullptr;
  return status;
}

NtStatus Read(void *ntHandle, void *event, IoStatus *iosb, void *buffer, uint32_t length) {
  return sim::NtReadFile(ntHandle, static_cast<PKEVENT>(event), Kernel(iosb), buffer, length);
}

NtStatus Write(void *ntHandle, void *event, IoStatus *iosb, const void *buffer, uint32_t length) {
  return sim::NtWriteFile(ntHandle, static_cast<PKEVENT>(event), Kernel(iosb), buffer, length);
}

NtStatus Control(void *ntHandle, void *event, IoStatus *iosb, uint32_t code, const void *in, uint32_t inLength,
                 void *out, uint32_t outLength) {
  if (Observer()) Observer()(code);
  return sim::NtDeviceIoControlFile(ntHandle, static_cast<PKEVENT>(event), Kernel(iosb), code, in, inLength, out,
                                    outLength);
}

NtStatus Flush(void *ntHandle, IoStatus *iosb) { return sim::NtFlushBuffersFile(ntHandle, Kernel(iosb)); }

NtStatus CancelRequests(void *ntHandle) {
  IO_STATUS_BLOCK iosb;
  return sim::NtCancelIoFile(ntHandle, &iosb);
}

NtStatus CloseDevice(void *ntHandle) { return sim::NtClose(ntHandle); }

void SetControlObserver(ControlObserver observer) { Observer() = std::move(observer); }

}  // namespace win32
}  // namespace sim
