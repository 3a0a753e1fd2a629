// The driver's device object inside a simulated machine, loaded through
// DriverEntry and added through AddDevice on top of a scripted lower device
// or a modem of the simulated bus, removed through IRP_MN_REMOVE_DEVICE; plus
// helpers that send control requests as the I/O manager builds them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/driver.h"
#include "support/scripted_lower.h"

namespace sim {
namespace usb {
class Device;
}
}  // namespace sim

namespace testing_support {

// Builds a kernel with this seed, runs body as a PASSIVE_LEVEL thread, shuts
// the kernel down and expects the verifier to have found nothing.
void RunOnMachine(uint64_t seed, const std::function<void()> &body);
// The same with USBMODEM_SEED when set, else seed 1.
void RunOnMachine(const std::function<void()> &body);
// RunOnMachine under every seed of the sweep, the body's checks naming the
// seed; stops after the first seed that fails.
void RunOnMachineForEachSeed(const std::function<void(uint64_t seed)> &body);

class TestDevice;
// RunOnMachine with a fresh device (over a scripted lower device) made for
// the body and deleted after it, inside the machine.
void RunOnDevice(const std::function<void(TestDevice &dev)> &body);

// Virtual-time sleep of the calling simulated thread.
void SleepMs(uint64_t ms);

// Pipe handles the scripted device stands for.
extern const USBD_PIPE_HANDLE kBulkInPipe;
extern const USBD_PIPE_HANDLE kBulkOutPipe;

struct IoctlResult {
  NTSTATUS status = 0;
  ULONG_PTR information = 0;
  std::vector<uint8_t> out;  // the output buffer as the caller sees it afterwards

  ULONG OutUlong(size_t offset = 0) const;
};

// The request completed with this status and byte count (both are checked;
// a mismatch names the two values).
::testing::AssertionResult CompletedWith(const IoctlResult &r, NTSTATUS status, ULONG_PTR information);
// The same for a request sent on its own (DriverIrp, AsyncIoctl) once it has ended.
template <typename Request>
::testing::AssertionResult CompletedWith(const Request &r, NTSTATUS status, ULONG_PTR information) {
  IoctlResult seen;
  seen.status = r.Status();
  seen.information = r.Information();
  return CompletedWith(seen, status, information);
}

// A device-control request built as the I/O manager builds a buffered one:
// one system buffer for input and output, the two lengths in the stack
// location. Waits for completion when the driver pends it.
IoctlResult SendIoctl(PDEVICE_OBJECT dev, ULONG code, const void *in, ULONG inLen, ULONG outLen);
inline IoctlResult SendIoctl(PDEVICE_OBJECT dev, ULONG code) { return SendIoctl(dev, code, nullptr, 0, 0); }
IoctlResult SendIoctlUlong(PDEVICE_OBJECT dev, ULONG code, ULONG value);
// The same request as another driver might build it: lengths given, no system buffer.
IoctlResult SendIoctlWithoutBuffer(PDEVICE_OBJECT dev, ULONG code, ULONG inLen, ULONG outLen);

// A request that may stay pending; the result is read once it has completed.
class AsyncIoctl {
 public:
  AsyncIoctl();
  // Sends the request; returns what the dispatch routine returned.
  NTSTATUS Start(PDEVICE_OBJECT dev, ULONG code, const void *in, ULONG inLen, ULONG outLen);
  // A wait-on-mask request with room for the event mask.
  NTSTATUS StartWaitOnMask(PDEVICE_OBJECT dev) { return Start(dev, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4); }
  bool Done();
  // Waits up to ms of virtual time for completion.
  bool Wait(uint64_t ms);
  NTSTATUS Status() const { return iosb_.Status; }
  ULONG_PTR Information() const { return iosb_.Information; }
  ULONG OutUlong() const;

 private:
  KEVENT event_;
  IO_STATUS_BLOCK iosb_;
  std::vector<uint8_t> out_;
};

// A wait-on-mask request completed within ms of virtual time reporting
// exactly these events.
::testing::AssertionResult WaitEndsWith(AsyncIoctl &wait, uint64_t ms, ULONG events);

// Our functional device object over a scripted lower device. Construct and
// destroy inside a simulated thread. Over the scripted device, which has no
// descriptors, the pipe handles a start would take are set directly.
class TestDevice {
 public:
  explicit TestDevice(ULONG deviceState = Working);
  // Over a device of the simulated USB bus: added only (NotStarted), or
  // started through IRP_MN_START_DEVICE and then put in deviceState.
  explicit TestDevice(sim::usb::Device *bus, ULONG deviceState = Working);
  ~TestDevice();
  TestDevice(const TestDevice &) = delete;
  TestDevice &operator=(const TestDevice &) = delete;

  PDEVICE_OBJECT Fdo() const { return fdo_; }
  PDEVICE_EXTENSION Ext() const { return ext_; }
  ScriptedLower &Lower() { return *lower_; }  // only over a scripted device

  IoctlResult Ioctl(ULONG code, const void *in, ULONG inLen, ULONG outLen) {
    return SendIoctl(fdo_, code, in, inLen, outLen);
  }
  IoctlResult Ioctl(ULONG code) { return SendIoctl(fdo_, code); }
  IoctlResult IoctlUlong(ULONG code, ULONG value) { return SendIoctlUlong(fdo_, code, value); }

  // Query-remove (unless `query` is false, as after a failed start) and
  // removal as the Plug and Play manager sends them, with whatever is still
  // in flight; the device object is gone afterwards.
  void Remove(bool query = true);

  // Starts the reader thread, read timer and status poll timer as an open does;
  // the destructor stops them if still running.
  void StartReader();
  void StopReader();
  // One status poll as the I/O timer runs it, waited for until its worker ended.
  void PollStatusOnce();
  // Waits until no status poll is queued or running (its line updates done).
  void WaitStatusPollsIdle();

 private:
  void Create(PDEVICE_OBJECT lower, ULONG deviceState);
  static PDRIVER_OBJECT LoadedDriver();
  static void ReleaseDriver();

  PDRIVER_OBJECT driver_ = nullptr;
  std::unique_ptr<ScriptedLower> lower_;
  PDEVICE_OBJECT below_ = nullptr;
  PDEVICE_OBJECT fdo_ = nullptr;
  PDEVICE_EXTENSION ext_ = nullptr;
  bool readerStarted_ = false;
};

}  // namespace testing_support
