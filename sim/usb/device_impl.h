// Inside one simulated USB device: its requests, pipes, knobs and frame timer.
// Shared by the files of sim/usb only.
#pragma once

#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <usbdlib.h>

#include "sim/usb/device.h"

namespace sim {
namespace usb {

struct Outcome {
  NTSTATUS status;
  USBD_STATUS usbd;
};
constexpr Outcome kSuccess = {STATUS_SUCCESS, USBD_STATUS_SUCCESS};
constexpr Outcome kInvalid = {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER};
constexpr Outcome kInvalidPipe = {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE};
constexpr Outcome kStall = {STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
constexpr Outcome kHalted = {STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED};
constexpr Outcome kGone = {STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE};
constexpr Outcome kCancelled = {STATUS_CANCELLED, USBD_STATUS_CANCELED};
constexpr Outcome kShort = {STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_SHORT_TRANSFER};

// Full-speed bus timing, in units of 100 ns.
constexpr uint64_t kFrame100ns = 10000;  // 1 ms
constexpr uint64_t kPacketsPerFrame = 19;

// One endpoint as the current configuration opened it. Its address is the pipe handle.
struct Pipe {
  UCHAR endpoint = 0;
  USHORT maxPacket = 64;
  UCHAR interval = 0;
  USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
  ULONG maxTransfer = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
  bool open = false;
  bool halted = false;
  bool stallReported = false;  // the first failure after a stall reports the stall itself
};

// A URB the bus holds.
struct Request {
  enum class Phase { Waiting, Timed, NoAnswer };
  PIRP irp = nullptr;
  PURB urb = nullptr;
  RequestKind kind = RequestKind::Invalid;
  size_t logIndex = 0;
  UCHAR endpoint = 0;          // bulk: the pipe's endpoint; requests of one endpoint run in order
  Phase phase = Phase::Waiting;
  uint64_t due = 0;            // Timed: when it is answered (100 ns)
  bool failed = false;         // answer decided at submission (rejected, unplugged, injected)
  Outcome failure = kSuccess;
  bool cancelling = false;     // its cancel routine owns it now
  bool fieldsValid = false;    // the URB is as long as its structure: its fields may be written
};

struct Completion {
  PIRP irp;
  PURB urb;
  Outcome outcome;
  size_t logIndex;
};

// A Plug and Play or power IRP the PDO marked pending: a device interrupt
// completes it from a DPC at its due time. Kept with the device, and reused,
// so no DPC ever lives in freed memory.
struct DeferredAnswer {
  enum class Action { Pnp, Power, WaitWake };
  KDPC dpc;
  DeviceImpl *device = nullptr;
  PIRP irp = nullptr;  // NULL: free for reuse
  Action action = Action::Pnp;
  NTSTATUS status = STATUS_SUCCESS;
};

class DeviceImpl : public ModelHost {
 public:
  DeviceImpl(Device *owner, std::unique_ptr<Model> model, const DeviceConfig &config, int index);
  ~DeviceImpl() override;

  NTSTATUS CreatePdo(PDRIVER_OBJECT busDriver);
  void Detach();  // kernel going away: stop the timer, delete the PDO

  // ---- IRP entry points (device.cpp, urb_requests.cpp, pdo_pnp_power.cpp)
  NTSTATUS SubmitUrb(PIRP irp, PURB urb);
  void CancelUrb(PIRP irp);
  void ServiceFromDpc();
  NTSTATUS Pnp(PIRP irp);
  NTSTATUS Power(PIRP irp);
  void CancelWaitWake(PIRP irp);

  // ModelHost
  void Locked(const std::function<void()> &change) override;

  // ---- state (guarded by lock_)
  Device *owner_;
  std::unique_ptr<Model> model_;
  DeviceConfig config_;
  int index_;
  WCHAR name_[32] = {};  // 16-bit characters: no std::wstring on this build
  std::string traceName_;
  PDEVICE_OBJECT pdo_ = nullptr;

  KSPIN_LOCK lock_ = 0;
  KTIMER timer_;
  KDPC timerDpc_;
  KDPC kickDpc_;
  uint64_t armedDue_ = 0;
  bool detached_ = false;

  std::list<Request> pending_;
  std::map<UCHAR, std::unique_ptr<Pipe>> pipes_;
  bool configured_ = false;
  uint64_t busFreeSlot_ = 0;

  uint32_t latencyMs_[kRequestKinds] = {};
  bool noAnswer_[kRequestKinds] = {};
  struct Injected {
    RequestKind kind;
    uint32_t atCount;
    Outcome outcome;
  };
  std::vector<Injected> injected_;
  std::set<UCHAR> stalledVendor_;
  int64_t bulkOutLimit_ = -1;
  uint32_t statusReplyLength_ = 1;

  bool unplugged_ = false;
  bool started_ = false;
  bool removed_ = false;
  bool surpriseRemoved_ = false;
  DEVICE_POWER_STATE powerState_ = PowerDeviceD0;
  PIRP waitWake_ = nullptr;

  std::vector<LogEntry> log_;
  uint32_t counts_[kRequestKinds] = {};

  // ---- locking and scheduling (device.cpp)
  KIRQL Lock();
  void Unlock(KIRQL old);
  void Kick();
  void Service(std::vector<Completion> *done);
  void Finish(const std::vector<Completion> &done);
  void ArmTimer();
  uint64_t DueAfterPackets(uint64_t packets);
  void StartIfReady(Request &r);
  void TraceLine(const std::string &line) const;

  // ---- URBs (urb_requests.cpp)
  void Classify(PURB urb, Request *r, LogEntry *entry);
  Outcome Execute(Request &r);
  Outcome ExecuteDescriptor(PURB urb);
  Outcome ExecuteSelectConfiguration(PURB urb);
  Outcome Configure(PURB urb);
  void Unconfigure();
  Outcome ExecuteResetPipe(PURB urb);
  Outcome ExecuteVendor(PURB urb);
  Outcome ExecuteBulk(Request &r);
  Pipe *PipeFromHandle(USBD_PIPE_HANDLE handle) const;
  Pipe *PipeFor(UCHAR endpoint);
  uint64_t PacketsFor(const Request &r);
  void AbortTransfers(const Outcome &why);

  // ---- Plug and Play and power (pdo_*.cpp), state guarded by lock_
  PnpAnswer pnpAnswers_[kPnpRequests];
  NTSTATUS powerFailures_[kPowerRequests] = {};
  SYSTEM_POWER_STATE systemPowerState_ = PowerSystemWorking;
  bool poweringDown_ = false;  // a device set-power to D1-D3 reached the PDO and is not finished
  std::list<DeferredAnswer> deferred_;

  void FillCapabilities(PDEVICE_CAPABILITIES caps) const;
  NTSTATUS Answer(PIRP irp, PnpRequest which);
  void ApplyPnp(PIRP irp, NTSTATUS status);
  NTSTATUS SetOrQueryPower(PIRP irp);
  void ApplyPower(PIRP irp, NTSTATUS status);
  NTSTATUS WaitWake(PIRP irp);
  NTSTATUS WaitWakeRefusal(const IO_STACK_LOCATION *stack) const;
  PIRP TakeWaitWake();
  bool CanSignalWake() const;
  NTSTATUS Defer(PIRP irp, DeferredAnswer::Action action, NTSTATUS status, uint64_t delay100ns);
  void RunDeferred(DeferredAnswer *answer);
  void EndDeferredAnswers();
  uint64_t PowerDelay100ns(const IO_STACK_LOCATION *stack) const;
  bool RefusesUrbsForPower(Outcome *why) const;
  void CheckTransfersBeforePowerDown(DEVICE_POWER_STATE target) const;
};

DeviceImpl *ImplOf(PDEVICE_OBJECT pdo);
std::string Hex(uint32_t value);
PVOID TransferAddress(PVOID buffer, PMDL mdl);

}  // namespace usb
}  // namespace sim
