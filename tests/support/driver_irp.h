// Requests of the test's own to the driver's device object, built as the I/O
// manager builds them for a DO_BUFFERED_IO device, but kept by the test after
// completion: the completion routine halts the IRP, so the test may cancel it
// at any moment without racing its release. Also small helpers for watching
// the driver from a test thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <wdm.h>

namespace testing_support {

class DriverIrp {
 public:
  DriverIrp();
  ~DriverIrp();  // waits for a request still pending, then frees the IRP
  DriverIrp(const DriverIrp &) = delete;
  DriverIrp &operator=(const DriverIrp &) = delete;

  // Runs in the completion routine, at the completer's IRQL: a snapshot of
  // what the test wants to know at the moment the request ends.
  void OnComplete(std::function<void()> hook) { hook_ = std::move(hook); }
  // Runs once the IRP is built, just before it is sent (e.g. to arm pool
  // fault injection for the driver's allocations and not the IRP's own).
  void BeforeSend(std::function<void()> hook) { beforeSend_ = std::move(hook); }

  // IRP_MJ_READ of `length` bytes into a system buffer.
  NTSTATUS Read(PDEVICE_OBJECT dev, ULONG length);
  // IRP_MJ_WRITE of these bytes from a system buffer.
  NTSTATUS Write(PDEVICE_OBJECT dev, const std::vector<uint8_t> &bytes);
  // A buffered device-control request.
  NTSTATUS Ioctl(PDEVICE_OBJECT dev, ULONG code, const void *in, ULONG inLen, ULONG outLen);
  // The same with lengths named but no system buffer, as a careless
  // kernel-mode caller may send it.
  NTSTATUS IoctlWithoutBuffer(PDEVICE_OBJECT dev, ULONG code, ULONG inLen, ULONG outLen);
  // IRP_MJ_CREATE, IRP_MJ_CLEANUP or IRP_MJ_CLOSE.
  NTSTATUS Simple(PDEVICE_OBJECT dev, UCHAR major);
  // A read that names a length but has no system buffer to put bytes in.
  NTSTATUS ReadWithoutBuffer(PDEVICE_OBJECT dev, ULONG length);
  // An IRP the test marked cancelled before sending it.
  NTSTATUS ReadAlreadyCancelled(PDEVICE_OBJECT dev, ULONG length);

  NTSTATUS Returned() const { return returned_; }
  bool Done() const;
  // Waits up to ms of virtual time; false if still pending afterwards. On
  // success it also lets the completing context (a DPC, a completion
  // routine on another processor) run to its end, so that what it does after
  // completing (dropping its reference) is visible to the test.
  bool Wait(uint64_t ms);
  void Cancel();
  NTSTATUS Status() const { return irp_->IoStatus.Status; }
  ULONG_PTR Information() const { return irp_->IoStatus.Information; }
  // The system buffer's first Information() bytes (read) or `n` bytes.
  std::vector<uint8_t> Data() const;
  PIRP Irp() const { return irp_; }
  // Virtual time of the completion, in 100 ns units.
  uint64_t Completed100ns() const { return completed100ns_; }

 private:
  PIRP Build(PDEVICE_OBJECT dev, UCHAR major, ULONG bufferLength);
  NTSTATUS Send(PDEVICE_OBJECT dev);
  static NTSTATUS NTAPI Completed(PDEVICE_OBJECT, PIRP irp, PVOID context);

  PIRP irp_ = nullptr;
  PVOID buffer_ = nullptr;
  ULONG bufferLength_ = 0;
  KEVENT done_;
  NTSTATUS returned_ = STATUS_PENDING;
  uint64_t completed100ns_ = 0;
  std::function<void()> hook_;
  std::function<void()> beforeSend_;
};

// Runs body as another simulated thread; Join() waits for its end.
class TestThread {
 public:
  TestThread(const std::string &name, std::function<void()> body);
  ~TestThread();  // joins
  void Join();
  bool Finished() const;

 private:
  struct State;
  std::shared_ptr<State> state_;  // shared with the thread, which may outlive Join by a few steps
  bool joined_ = false;
};

// Bytes 0, 1, 2, ... offset by salt.
std::vector<uint8_t> Bytes(size_t n, uint8_t salt = 0);

// A timer or DPC of the driver still set or queued.
bool TimerSet(PKTIMER timer);
bool DpcQueued(PKDPC dpc);

// The driver's pool blocks ("Wdm ") outstanding now.
size_t DriverBlocks();

}  // namespace testing_support
