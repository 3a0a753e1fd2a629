// Sending URBs, Plug and Play and power IRPs straight to a simulated PDO.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <usbdlib.h>

#include "sim/kernel/sim.h"
#include "sim/usb/descriptors.h"
#include "sim/usb/device.h"

namespace usbtest {

// A machine for one test body; returns the faults the verifier found.
std::vector<sim::FaultRecord> RunMachine(uint64_t seed, const std::function<void()> &body);
std::string FaultText(const std::vector<sim::FaultRecord> &faults);
// Runs body on a machine of its own and expects the verifier to find nothing.
inline void RunClean(uint64_t seed, const std::function<void()> &body) {
  std::vector<sim::FaultRecord> faults = RunMachine(seed, body);
  EXPECT_TRUE(faults.empty()) << "seed " << seed << "\n" << FaultText(faults);
}

// One IRP of the test's own, kept after completion (its completion routine
// halts it) so that it may be cancelled at any moment without a race.
class Call {
 public:
  explicit Call(PDEVICE_OBJECT pdo);
  ~Call();
  // Sends the URB; returns what IofCallDriver returned.
  NTSTATUS Submit(PURB urb);
  // Sends a PnP or power IRP (power through PoCallDriver).
  NTSTATUS SubmitPnp(UCHAR minor, PDEVICE_CAPABILITIES caps = nullptr);
  NTSTATUS SubmitPower(UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state);
  NTSTATUS SubmitWaitWake(SYSTEM_POWER_STATE state);
  bool Done();
  // Waits for completion (at most `ms` of virtual time; 0: without limit).
  bool Wait(uint32_t ms = 0);
  NTSTATUS Status() const { return irp_->IoStatus.Status; }
  void Cancel() { IoCancelIrp(irp_); }
  PIRP Irp() const { return irp_; }
  // Where and when the completion routine ran: at which IRQL, in which
  // thread, and whether inside the IofCallDriver/PoCallDriver call that sent it.
  struct Completion {
    KIRQL irql = PASSIVE_LEVEL;
    PKTHREAD thread = nullptr;
    uint64_t at100ns = 0;
    bool insideCall = false;  // before IofCallDriver returned, in the sender's own call
  };
  const Completion &Completed() const { return completion_; }
  KIRQL CompletionIrql() const { return completion_.irql; }
  bool CompletedInsideCall() const { return completion_.insideCall; }
  bool CompletedInSendersThread() const { return completion_.thread == submitter_; }

 private:
  static NTSTATUS NTAPI HaltCompletion(PDEVICE_OBJECT, PIRP, PVOID context);
  PIO_STACK_LOCATION Prepare(UCHAR major, UCHAR minor);
  NTSTATUS Send(bool power);

  PDEVICE_OBJECT pdo_;
  PIRP irp_;
  KEVENT done_;
  Completion completion_;
  PKTHREAD submitter_ = nullptr;
  volatile bool inCall_ = false;
};

// Sends one URB and waits for it.
NTSTATUS SendUrb(PDEVICE_OBJECT pdo, PURB urb);
// Sends one URB the way the driver does, with IoBuildDeviceIoControlRequest.
NTSTATUS SendBuiltUrb(PDEVICE_OBJECT pdo, PURB urb);

void BuildDescriptorUrb(URB *urb, UCHAR type, PVOID buffer, ULONG length);
void BuildVendorUrb(URB *urb, bool in, UCHAR request, USHORT value, PVOID buffer, ULONG length);
void BuildResetPipeUrb(URB *urb, USBD_PIPE_HANDLE pipe);
void BuildBulkUrb(URB *urb, USBD_PIPE_HANDLE pipe, bool in, PVOID buffer, ULONG length);

// Configures the device from its own configuration descriptor (first
// interface) as the driver does; fills the two pipe handles.
struct Pipes {
  USBD_PIPE_HANDLE out = nullptr;
  USBD_PIPE_HANDLE in = nullptr;
};
NTSTATUS Configure(PDEVICE_OBJECT pdo, Pipes *pipes, ULONG maximumTransfer = 1024);
NTSTATUS Unconfigure(PDEVICE_OBJECT pdo);

// Waits `ms` of virtual time.
void Sleep(uint32_t ms);

POWER_STATE DeviceState(DEVICE_POWER_STATE state);
POWER_STATE SystemState(SYSTEM_POWER_STATE state);
// Sends a set-power IRP through PoCallDriver and waits for its final status.
NTSTATUS SetPower(PDEVICE_OBJECT pdo, POWER_STATE_TYPE type, POWER_STATE state);

}  // namespace usbtest
