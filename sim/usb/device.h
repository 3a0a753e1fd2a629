// The simulated USB bus: one physical device object per plugged modem, below
// the function driver, answering URBs, Plug and Play and power IRPs as the USB
// stack does, with knobs for tests. Host only.
//
// Devices belong to the bus of the running kernel: Plug() creates one (with its
// PDO \Device\USBPDO-N) and the kernel's shutdown deletes what is left.
// Knobs and queries may be called from any simulated thread (inside
// Kernel::Run) or while the machine is idle.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <usbdi.h>

#include "sim/usb/model.h"

namespace sim {
namespace usb {

enum class RequestKind {
  GetDescriptor,
  SelectConfiguration,  // configure and unconfigure alike (Value 1 / 0 in the log)
  ResetPipe,
  SetDtr,               // vendor request 1
  GetStatus,            // vendor request 2
  VendorOther,          // any other vendor request: stalled
  BulkOut,
  BulkIn,
  Invalid,              // unknown function, wrong length or pipe: rejected
};
constexpr int kRequestKinds = 9;
const char *KindName(RequestKind kind);

// One URB as the bus saw it.
struct LogEntry {
  RequestKind kind;
  USHORT function;
  UCHAR endpoint;       // bulk and reset pipe: the pipe's endpoint address; 0 otherwise
  USHORT value;         // descriptor type, vendor request's Value, 1 configure / 0 unconfigure
  ULONG length;         // TransferBufferLength as submitted
  ULONG transferred;    // TransferBufferLength as returned
  NTSTATUS status;      // STATUS_PENDING until completed
  USBD_STATUS usbdStatus;
  uint64_t submitMs;
  uint64_t completeMs;  // 0 until completed
  uint64_t submit100ns;
  uint64_t due100ns;    // when the bus scheduled the answer (frames and latency); 0 if answered at once
};

struct DeviceConfig {
  std::vector<uint8_t> deviceDescriptor;         // empty: the default modem's
  std::vector<uint8_t> configurationDescriptor;  // empty: the default modem's (remote wakeup on)
  bool powerPagable = true;                      // DO_POWER_PAGABLE on the PDO
  // Capabilities. Wake levels default from the configuration's remote-wakeup
  // bit: S3 / D2 when set, unspecified (no wake) when clear.
  std::array<DEVICE_POWER_STATE, PowerSystemMaximum> deviceState = {
      PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD2, PowerDeviceD2,
      PowerDeviceD2,          PowerDeviceD3, PowerDeviceD3};
  bool overrideWake = false;
  SYSTEM_POWER_STATE systemWake = PowerSystemUnspecified;
  DEVICE_POWER_STATE deviceWake = PowerDeviceUnspecified;
  bool removable = true;
  bool surpriseRemovalOK = false;
};

// ---- Plug and Play and power knobs (the types; the calls are on Device)
// The Plug and Play IRPs whose answer a test may change.
enum class PnpRequest { Start, QueryCapabilities, CancelStop, CancelRemove };
constexpr int kPnpRequests = 4;
// How the PDO answers one of them: with `status` (STATUS_SUCCESS: the bus's
// usual answer; any other status fails the IRP and leaves the device as it
// was), inside the dispatch call or, with `pend`, marked pending and completed
// from a DPC `delayUs` later (0: a seeded 100 us to 5 ms).
struct PnpAnswer {
  NTSTATUS status = STATUS_SUCCESS;
  bool pend = false;
  uint32_t delayUs = 0;
};
// Set and query power IRPs, by power type.
enum class PowerRequest { SetSystem, SetDevice, QuerySystem, QueryDevice };
constexpr int kPowerRequests = 4;

class DeviceImpl;

class Device {
 public:
  PDEVICE_OBJECT Pdo() const;  // NULL after DeletePdo
  const WCHAR *Name() const;  // L"\\Device\\USBPDO-N"
  Model &GetModel() const;

  // ---- knobs
  void SetLatencyMs(RequestKind kind, uint32_t ms);     // extra time before the answer
  void SetNoAnswer(RequestKind kind, bool on);          // requests stay pending until cancelled
  // The nth request of this kind from now on (1 = the next) fails with status.
  void FailNth(RequestKind kind, uint32_t nth, NTSTATUS status,
               USBD_STATUS usbdStatus = USBD_STATUS_DEV_NOT_RESPONDING);
  // The nth request of this kind from now on stays pending until cancelled.
  void NoAnswerNth(RequestKind kind, uint32_t nth);
  void StallPipe(UCHAR endpoint);                       // halted until a pipe reset
  void StallVendorRequest(UCHAR request, bool on);      // every such request stalls
  void SetBulkOutLimit(uint32_t bytes);                 // accept at most this much per OUT transfer
  void ClearBulkOutLimit();
  void SetStatusReplyLength(uint32_t bytes);            // GET_STATUS delivers at most this many bytes (default 1)
  void SetDescriptors(const std::vector<uint8_t> &device, const std::vector<uint8_t> &configuration);
  // Physical unplug. Transfers in flight fail at the end of the frame with
  // a transaction error and halt their pipes (or, SetPendOnUnplug, stay
  // pending until cancelled); every later URB fails at once with
  // STATUS_DEVICE_NOT_CONNECTED / USBD_STATUS_DEVICE_GONE. The hub notices a
  // seeded 10-300 ms later: then the gone reporter runs (by default
  // IRP_MN_SURPRISE_REMOVAL is sent to the top of the PDO's stack). The PDO stays.
  void Unplug();
  // The same unplug at the n-th schedule point from now (sim::AtSchedulePoint),
  // e.g. in the middle of a transfer the driver is setting up or completing.
  void UnplugAtSchedulePoint(uint64_t n);
  bool Unplugged() const;
  bool GoneNoticeDue() const;                           // unplugged, not yet reported
  void SetPendOnUnplug(bool on);
  // Whether a reply of whole 64-byte packets ends with a zero-length packet (default on).
  void SetZeroLengthPackets(bool on);
  // Frames a control transfer takes, seeded in [minimum, maximum] (default 1-3).
  void SetControlFrames(uint32_t minimum, uint32_t maximum);
  // Deletes the PDO once the stack above it is gone (after IRP_MN_REMOVE_DEVICE).
  void DeletePdo();

  // ---- Plug and Play and power knobs
  // Every later IRP of this kind gets `answer` (PnpAnswer() restores the usual one).
  void SetPnpAnswer(PnpRequest which, const PnpAnswer &answer);
  // Set and query power IRPs are always pended and completed from a DPC a
  // seeded time later; with a failure status set here (STATUS_SUCCESS clears
  // it) every later one of this kind completes with it and changes nothing.
  void FailPower(PowerRequest which, NTSTATUS status);
  // The device signals a remote wake: true when a wait-wake is pending and the
  // device is in D1-D3, no deeper than its DeviceWake; the wait-wake is then
  // completed with STATUS_SUCCESS from a DPC shortly after. False otherwise.
  bool SignalWake();

  // ---- observation
  std::vector<LogEntry> Log() const;
  uint32_t Count(RequestKind kind) const;
  uint32_t PendingCount() const;    // URBs the bus holds now
  bool Configured() const;
  bool WaitWakePending() const;
  DEVICE_POWER_STATE PowerState() const;      // as the last completed device set-power left it
  SYSTEM_POWER_STATE SystemPowerState() const;  // as the last completed system set-power left it
  bool Started() const;
  bool Removed() const;             // IRP_MN_REMOVE_DEVICE seen
  bool SurpriseRemoved() const;     // IRP_MN_SURPRISE_REMOVAL seen
  // Pipe handle the bus gave for this endpoint while configured, else NULL.
  USBD_PIPE_HANDLE PipeHandle(UCHAR endpoint) const;

  ~Device();
  DeviceImpl *Impl() const { return impl_.get(); }  // for sim/usb's own files

 private:
  friend class DeviceImpl;
  friend Device *Plug(std::unique_ptr<Model> model, const DeviceConfig &config);
  Device();
  std::unique_ptr<DeviceImpl> impl_;
};

// Plugs a device into the running kernel's bus and creates its PDO. Must be
// called inside Kernel::Run. A NULL model means a LoopbackModel.
Device *Plug(std::unique_ptr<Model> model = nullptr, const DeviceConfig &config = DeviceConfig());
// The device whose PDO this is, or NULL.
Device *FromPdo(PDEVICE_OBJECT pdo);
// Devices plugged into the running kernel's bus, in plug order.
std::vector<Device *> Devices();
// Runs at PASSIVE_LEVEL in a system worker when the hub notices an unplug,
// in place of sending IRP_MN_SURPRISE_REMOVAL itself. NULL: the default.
// Each new kernel starts with the default.
using GoneReporter = void (*)(Device *device);
void SetGoneReporter(GoneReporter reporter);

}  // namespace usb
}  // namespace sim
