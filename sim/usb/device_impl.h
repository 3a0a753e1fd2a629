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
constexpr Outcome kUnderrun = {STATUS_UNSUCCESSFUL, USBD_STATUS_DATA_UNDERRUN};
constexpr Outcome kTransactionError = {STATUS_UNSUCCESSFUL, USBD_STATUS_XACT_ERROR};

// Full-speed bus timing, in units of 100 ns: 1 ms frames of at most 19 bulk
// packets of 64 bytes, one packet slot after another.
constexpr uint64_t kFrame100ns = 10000;
constexpr uint64_t kPacketsPerFrame = 19;

// One endpoint as one configuration opened it. Its address is the pipe
// handle; a new configuration makes new pipes, so an old handle stays invalid.
struct Pipe {
  UCHAR endpoint = 0;
  USHORT maxPacket = 64;
  UCHAR interval = 0;
  USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
  ULONG maxTransfer = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
  bool open = false;
  bool halted = false;  // the host stopped it after an error: refused until a pipe reset
};

// A URB the bus holds.
struct Request {
  enum class Phase {
    Queued,     // bulk: behind another transfer of its pipe, or NAKed for want of data
    OnTheWire,  // bulk: its packets are placed in frames; ends at `due`
    Control,    // a control transfer; answered at `due`
    NoAnswer,   // the device never answers: pending until cancelled
    Cancelled,  // cancelled on the wire: the host controller gives it back at `due`
  };
  PIRP irp = nullptr;
  PURB urb = nullptr;
  RequestKind kind = RequestKind::Invalid;
  size_t logIndex = 0;
  Pipe *pipe = nullptr;        // bulk: transfers of one pipe run in order
  Phase phase = Phase::Queued;
  uint64_t due = 0;            // end of the frame that carries its last packet (100 ns)
  bool fieldsValid = false;    // the URB is as long as its structure: its fields may be written
  bool rejected = false;       // refused inside the dispatch call (bad fields or pipe handle)
  Outcome rejection = kSuccess;
  bool failed = false;         // fails on the wire (injected, stalled endpoint, unplugged)
  Outcome failure = kSuccess;
  bool cancelling = false;     // IoCancelIrp took it back: its cancel routine completes it
  bool ownedByCancel = false;  // Cancelled by its cancel routine, which left it to the frame's end
  // Bulk: what the packets placed so far carry.
  bool ends = true;            // false: an IN reply without a short packet, more packets follow
  ULONG received = 0;          // IN bytes already in the buffer from earlier packets
  std::vector<uint8_t> staged; // IN bytes on the wire now, written to the buffer at `due`
};

struct Completion {
  PIRP irp;
  PURB urb;
  Outcome outcome;
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
  std::string InstancePath() const;  // USB\Vid_vvvv&Pid_pppp\5&0&0&<port>
  void Detach();  // kernel going away or PDO deleted: stop the frames, delete the PDO

  // ---- IRP entry points (engine.cpp, pdo_pnp_power.cpp)
  NTSTATUS SubmitUrb(PIRP irp, PURB urb);
  void CancelUrb(PIRP irp);
  void FrameInterrupt();
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
  KDPC frameDpc_;          // the host controller's: end of a frame that completes something
  uint64_t armedFor_ = 0;  // the frame interrupt requested, 0 for none
  KDPC goneDpc_;           // the hub notices the unplug
  bool detached_ = false;

  std::list<Request> pending_;
  std::vector<std::unique_ptr<Pipe>> pipes_;    // every pipe ever opened; the open ones are current
  std::set<UCHAR> stalledEndpoints_;            // device side: STALL until a pipe reset
  bool configured_ = false;
  uint64_t busFreeSlot_ = 0;                    // first packet slot not yet taken
  bool zeroLengthPackets_ = true;               // a reply of whole packets ends with a ZLP
  bool zlpOwed_ = false;                        // the device ended a reply with a ZLP not yet taken

  uint32_t latencyMs_[kRequestKinds] = {};
  bool noAnswer_[kRequestKinds] = {};
  struct Injected {
    RequestKind kind;
    uint32_t atCount;
    Outcome outcome;
    bool noAnswer = false;  // stays pending until cancelled instead of failing
  };
  std::vector<Injected> injected_;
  std::set<UCHAR> stalledVendor_;
  int64_t bulkOutLimit_ = -1;
  uint32_t statusReplyLength_ = 1;
  uint32_t controlFramesMin_ = 1;
  uint32_t controlFramesMax_ = 3;

  bool unplugged_ = false;
  bool pendOnUnplug_ = false;    // in-flight transfers stay pending after an unplug
  bool goneNoticeDue_ = false;   // the unplug has not reached the Plug and Play manager yet
  PIO_WORKITEM goneWork_ = nullptr;
  bool started_ = false;
  bool removed_ = false;
  bool surpriseRemoved_ = false;
  DEVICE_POWER_STATE powerState_ = PowerDeviceD0;
  PIRP waitWake_ = nullptr;

  std::vector<LogEntry> log_;
  uint32_t counts_[kRequestKinds] = {};

  // ---- locking, arming the frame interrupt, completing (engine.cpp)
  KIRQL Lock();
  void Unlock(KIRQL old);
  void Arm();
  void Finish(const std::vector<Completion> &done);
  void TraceLine(const std::string &line) const;
  bool RejectAtOnce(Request &r, Outcome *why);
  void EndFrames(std::vector<Completion> *done);
  void Answer(Request &r, const Outcome &outcome, std::vector<Completion> *done);

  // ---- frames and packets (frames.cpp)
  uint64_t PlacePackets(uint64_t packets);
  uint64_t ControlDue(RequestKind kind);
  void StartPipes();
  bool StartTransfer(Request &r);
  bool StartIn(Request &r, ULONG length, ULONG *packets);
  Outcome EndTransfer(Request &r);

  // ---- URBs (urb_requests.cpp, select_configuration.cpp)
  void Classify(PURB urb, Request *r, LogEntry *entry);
  Outcome Execute(Request &r);
  Outcome ExecuteDescriptor(PURB urb);
  Outcome ExecuteSelectConfiguration(PURB urb);
  Outcome Configure(PURB urb);
  void Unconfigure();
  Outcome ExecuteResetPipe(PURB urb);
  Outcome ExecuteVendor(PURB urb);
  Pipe *PipeFromHandle(USBD_PIPE_HANDLE handle) const;
  Pipe *OpenPipe(UCHAR endpoint) const;
  void AbortTransfers();
  void LogAnswer(Request &r, const Outcome &o);

  // ---- unplug (unplug.cpp)
  void UnplugLocked();
  void ReportGone();

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
// Completes an IRP the PDO answers with `status`, and returns it.
NTSTATUS CompleteWith(PIRP irp, NTSTATUS status);
// The URB's TransferBufferLength for kinds that move data, else NULL.
ULONG *TransferLengthField(RequestKind kind, PURB urb);
std::string Hex(uint32_t value);
PVOID TransferAddress(PVOID buffer, PMDL mdl);

}  // namespace usb
}  // namespace sim
