#include "support/driver_irp.h"

#include <gtest/gtest.h>

#include <cstring>

#include "driver/driver.h"
#include "sim/kernel/internal.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/sim.h"

namespace testing_support {

namespace {

// Host memory stands in for the system buffer: the driver sees a buffer
// exactly as with the I/O manager's, and pool fault injection aimed at the
// driver's own allocations is not used up by the test's.
struct Buffer {
  std::vector<uint8_t> bytes;
};

}  // namespace

DriverIrp::DriverIrp() { KeInitializeEvent(&done_, NotificationEvent, FALSE); }

DriverIrp::~DriverIrp() {
  if (irp_ == nullptr) return;
  if (!Done()) {
    ADD_FAILURE() << "request still pending when the test let go of it; waiting";
    KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, nullptr);
  }
  IoFreeIrp(irp_);
  delete static_cast<Buffer *>(buffer_);
}

PIRP DriverIrp::Build(PDEVICE_OBJECT dev, UCHAR major, ULONG bufferLength) {
  EXPECT_EQ(irp_, nullptr) << "one request per DriverIrp";
  irp_ = IoAllocateIrp(dev->StackSize, FALSE);
  if (irp_ == nullptr) {
    ADD_FAILURE() << "IoAllocateIrp failed";
    return nullptr;
  }
  irp_->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp_->IoStatus.Information = 0;
  irp_->RequestorMode = UserMode;
  irp_->Tail.Overlay.Thread = PsGetCurrentThread();
  if (bufferLength != 0) {
    Buffer *b = new Buffer;
    b->bytes.assign(bufferLength, 0xEE);
    buffer_ = b;
    bufferLength_ = bufferLength;
    irp_->AssociatedIrp.SystemBuffer = b->bytes.data();
    irp_->Flags = IRP_BUFFERED_IO;
  }
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
  next->MajorFunction = major;
  return irp_;
}

NTSTATUS DriverIrp::Send(PDEVICE_OBJECT dev) {
  IoSetCompletionRoutine(irp_, Completed, this, TRUE, TRUE, TRUE);
  if (beforeSend_) beforeSend_();
  returned_ = IofCallDriver(dev, irp_);
  return returned_;
}

NTSTATUS NTAPI DriverIrp::Completed(PDEVICE_OBJECT, PIRP, PVOID context) {
  DriverIrp *self = static_cast<DriverIrp *>(context);
  self->completed100ns_ = sim::Now100ns();
  if (self->hook_) self->hook_();
  KeSetEvent(&self->done_, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS DriverIrp::Read(PDEVICE_OBJECT dev, ULONG length) {
  if (Build(dev, IRP_MJ_READ, length) == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  if (length != 0) irp_->Flags |= IRP_INPUT_OPERATION;
  IoGetNextIrpStackLocation(irp_)->Parameters.Read.Length = length;
  return Send(dev);
}

NTSTATUS DriverIrp::ReadWithoutBuffer(PDEVICE_OBJECT dev, ULONG length) {
  if (Build(dev, IRP_MJ_READ, 0) == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  IoGetNextIrpStackLocation(irp_)->Parameters.Read.Length = length;
  return Send(dev);
}

NTSTATUS DriverIrp::ReadAlreadyCancelled(PDEVICE_OBJECT dev, ULONG length) {
  if (Build(dev, IRP_MJ_READ, length) == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  if (length != 0) irp_->Flags |= IRP_INPUT_OPERATION;
  IoGetNextIrpStackLocation(irp_)->Parameters.Read.Length = length;
  EXPECT_FALSE(IoCancelIrp(irp_)) << "nobody owns the IRP yet, so there is no cancel routine to call";
  EXPECT_TRUE(irp_->Cancel);
  return Send(dev);
}

NTSTATUS DriverIrp::Write(PDEVICE_OBJECT dev, const std::vector<uint8_t> &bytes) {
  if (Build(dev, IRP_MJ_WRITE, static_cast<ULONG>(bytes.size())) == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  if (!bytes.empty()) memcpy(irp_->AssociatedIrp.SystemBuffer, bytes.data(), bytes.size());
  IoGetNextIrpStackLocation(irp_)->Parameters.Write.Length = static_cast<ULONG>(bytes.size());
  return Send(dev);
}

NTSTATUS DriverIrp::Ioctl(PDEVICE_OBJECT dev, ULONG code, const void *in, ULONG inLen, ULONG outLen) {
  ULONG size = inLen > outLen ? inLen : outLen;
  if (Build(dev, IRP_MJ_DEVICE_CONTROL, size) == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  if (in != nullptr && inLen != 0) memcpy(irp_->AssociatedIrp.SystemBuffer, in, inLen);
  if (outLen != 0) irp_->Flags |= IRP_INPUT_OPERATION;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
  next->Parameters.DeviceIoControl.IoControlCode = code;
  next->Parameters.DeviceIoControl.InputBufferLength = inLen;
  next->Parameters.DeviceIoControl.OutputBufferLength = outLen;
  return Send(dev);
}

NTSTATUS DriverIrp::IoctlWithoutBuffer(PDEVICE_OBJECT dev, ULONG code, ULONG inLen, ULONG outLen) {
  if (Build(dev, IRP_MJ_DEVICE_CONTROL, 0) == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  irp_->RequestorMode = KernelMode;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
  next->Parameters.DeviceIoControl.IoControlCode = code;
  next->Parameters.DeviceIoControl.InputBufferLength = inLen;
  next->Parameters.DeviceIoControl.OutputBufferLength = outLen;
  return Send(dev);
}

NTSTATUS DriverIrp::Simple(PDEVICE_OBJECT dev, UCHAR major) {
  if (Build(dev, major, 0) == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  return Send(dev);
}

bool DriverIrp::Done() const { return KeReadStateEvent(const_cast<PKEVENT>(&done_)) != 0; }

bool DriverIrp::Wait(uint64_t ms) {
  LARGE_INTEGER t;
  t.QuadPart = -static_cast<LONGLONG>(ms) * 10000;
  if (KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, &t) == STATUS_TIMEOUT) return false;
  LARGE_INTEGER settle;
  settle.QuadPart = -1;
  KeDelayExecutionThread(KernelMode, FALSE, &settle);
  return true;
}

void DriverIrp::Cancel() {
  if (irp_ != nullptr) IoCancelIrp(irp_);
}

std::vector<uint8_t> DriverIrp::Data() const {
  if (buffer_ == nullptr) return {};
  const std::vector<uint8_t> &b = static_cast<Buffer *>(buffer_)->bytes;
  size_t n = static_cast<size_t>(Information());
  if (n > b.size()) n = b.size();
  return std::vector<uint8_t>(b.begin(), b.begin() + n);
}

struct TestThread::State {
  KEVENT ended;
  std::function<void()> body;
};

TestThread::TestThread(const std::string &name, std::function<void()> body) : state_(std::make_shared<State>()) {
  KeInitializeEvent(&state_->ended, NotificationEvent, FALSE);
  state_->body = std::move(body);
  std::shared_ptr<State> state = state_;
  sim::CreateThread(name, [state] {
    state->body();
    KeSetEvent(&state->ended, IO_NO_INCREMENT, FALSE);
  });
}

TestThread::~TestThread() { Join(); }

void TestThread::Join() {
  if (joined_) return;
  KeWaitForSingleObject(&state_->ended, Executive, KernelMode, FALSE, nullptr);
  joined_ = true;
}

bool TestThread::Finished() const { return KeReadStateEvent(&state_->ended) != 0; }

std::vector<uint8_t> Bytes(size_t n, uint8_t salt) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + salt + i / 251);
  return v;
}

bool TimerSet(PKTIMER timer) {
  std::string what;
  return sim::internal::FindQueuedTimerOrDpc(timer, sizeof(*timer), &what);
}

bool DpcQueued(PKDPC dpc) {
  std::string what;
  return sim::internal::FindQueuedTimerOrDpc(dpc, sizeof(*dpc), &what);
}

size_t DriverBlocks() { return sim::pool::Outstanding(USBMODEM_POOL_TAG); }

}  // namespace testing_support
