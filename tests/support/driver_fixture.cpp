#include "support/driver_fixture.h"

#include "support/seeds.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "datapath/read_queue.h"
#include "datapath/reader.h"
#include "driver/entry.h"
#include "driver/port_defaults.h"
#include "sim/kernel/internal.h"
#include "sim/kernel/sim.h"
#include "sim/usb/descriptors.h"
#include "sim/usb/device.h"
#include "sim/world/bringup.h"
#include "usb/status_poll.h"
#include "usb/submit.h"

#include <usbdlib.h>

namespace testing_support {

const USBD_PIPE_HANDLE kBulkInPipe = reinterpret_cast<USBD_PIPE_HANDLE>(0x8100);
const USBD_PIPE_HANDLE kBulkOutPipe = reinterpret_cast<USBD_PIPE_HANDLE>(0x0100);

namespace {

std::string DescribeFaults(const std::vector<sim::FaultRecord> &faults) {
  std::string s;
  for (const auto &f : faults) {
    s += std::string(sim::FaultName(f.kind)) + " in " + f.routine + ": " + f.detail + "\n";
  }
  return s;
}

NTSTATUS NTAPI SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

ULONG ReadUlong(const std::vector<uint8_t> &bytes, size_t offset) {
  ULONG v = 0;
  if (bytes.size() >= offset + sizeof(v)) memcpy(&v, bytes.data() + offset, sizeof(v));
  return v;
}

}  // namespace

void RunOnMachine(uint64_t seed, const std::function<void()> &body) {
  SCOPED_TRACE("seed " + std::to_string(seed));
  sim::KernelOptions options = sim::KernelOptions::FromEnvironment();
  options.seed = seed;
  sim::Kernel kernel(options);
  kernel.Run(body);
  kernel.Shutdown();
  EXPECT_TRUE(kernel.Faults().empty()) << "seed " << seed << ":\n" << DescribeFaults(kernel.Faults());
}

void RunOnMachine(const std::function<void()> &body) {
  const char *seed = std::getenv("USBMODEM_SEED");
  RunOnMachine(seed != nullptr ? std::strtoull(seed, nullptr, 10) : 1, body);
}

void RunOnDevice(const std::function<void(TestDevice &dev)> &body) {
  RunOnMachine([&] {
    TestDevice dev;
    body(dev);
  });
}

void RunOnMachineForEachSeed(const std::function<void(uint64_t seed)> &body) {
  for (uint64_t seed : Seeds()) {
    RunOnMachine(seed, [&] {
      SCOPED_TRACE("seed " + std::to_string(seed));  // traces are per thread: this is the machine's
      body(seed);
    });
    if (::testing::Test::HasFailure()) return;
  }
}

void SleepMs(uint64_t ms) {
  LARGE_INTEGER t;
  t.QuadPart = -static_cast<LONGLONG>(ms) * 10000;
  KeDelayExecutionThread(KernelMode, FALSE, &t);
}

ULONG IoctlResult::OutUlong(size_t offset) const { return ReadUlong(out, offset); }

IoctlResult SendIoctl(PDEVICE_OBJECT dev, ULONG code, const void *in, ULONG inLen, ULONG outLen) {
  IoctlResult r;
  r.out.assign(outLen, 0xEE);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb;
  iosb.Status = STATUS_SUCCESS;
  iosb.Information = 0;
  PIRP irp = IoBuildDeviceIoControlRequest(code, dev, const_cast<void *>(in), inLen,
                                           outLen ? r.out.data() : nullptr, outLen, FALSE, &event, &iosb);
  if (irp == nullptr) {
    ADD_FAILURE() << "IoBuildDeviceIoControlRequest failed";
    r.status = STATUS_INSUFFICIENT_RESOURCES;
    return r;
  }
  NTSTATUS status = IofCallDriver(dev, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  } else {
    EXPECT_EQ(status, iosb.Status) << "dispatch result and completion status differ";
  }
  r.status = iosb.Status;
  r.information = iosb.Information;
  return r;
}

IoctlResult SendIoctlUlong(PDEVICE_OBJECT dev, ULONG code, ULONG value) {
  return SendIoctl(dev, code, &value, sizeof(value), 0);
}

IoctlResult SendIoctlWithoutBuffer(PDEVICE_OBJECT dev, ULONG code, ULONG inLen, ULONG outLen) {
  IoctlResult r;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoAllocateIrp(dev->StackSize, FALSE);
  if (irp == nullptr) {
    ADD_FAILURE() << "IoAllocateIrp failed";
    return r;
  }
  irp->AssociatedIrp.SystemBuffer = nullptr;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = code;
  next->Parameters.DeviceIoControl.InputBufferLength = inLen;
  next->Parameters.DeviceIoControl.OutputBufferLength = outLen;
  next->Parameters.DeviceIoControl.Type3InputBuffer = nullptr;
  IoSetCompletionRoutine(irp, SignalEvent, &event, TRUE, TRUE, TRUE);
  NTSTATUS status = IofCallDriver(dev, irp);
  if (status == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  r.status = irp->IoStatus.Status;
  r.information = irp->IoStatus.Information;
  IoFreeIrp(irp);
  return r;
}

AsyncIoctl::AsyncIoctl() {
  KeInitializeEvent(&event_, NotificationEvent, FALSE);
  iosb_.Status = STATUS_PENDING;
  iosb_.Information = 0;
}

::testing::AssertionResult CompletedWith(const IoctlResult &r, NTSTATUS status, ULONG_PTR information) {
  if (r.status == status && r.information == information) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << std::hex << "status 0x" << r.status << " (expected 0x" << status << ")"
                                       << std::dec << ", information " << r.information << " (expected "
                                       << information << ")";
}

NTSTATUS AsyncIoctl::Start(PDEVICE_OBJECT dev, ULONG code, const void *in, ULONG inLen, ULONG outLen) {
  out_.assign(outLen, 0xEE);
  PIRP irp = IoBuildDeviceIoControlRequest(code, dev, const_cast<void *>(in), inLen,
                                           outLen ? out_.data() : nullptr, outLen, FALSE, &event_, &iosb_);
  if (irp == nullptr) {
    ADD_FAILURE() << "IoBuildDeviceIoControlRequest failed";
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return IofCallDriver(dev, irp);
}

::testing::AssertionResult WaitEndsWith(AsyncIoctl &wait, uint64_t ms, ULONG events) {
  if (!wait.Wait(ms)) return ::testing::AssertionFailure() << "still pending after " << ms << " ms";
  if (wait.OutUlong() != events)
    return ::testing::AssertionFailure() << std::hex << "events 0x" << wait.OutUlong() << ", expected 0x" << events;
  return ::testing::AssertionSuccess();
}

bool AsyncIoctl::Done() { return KeReadStateEvent(&event_) != 0; }

bool AsyncIoctl::Wait(uint64_t ms) {
  LARGE_INTEGER t;
  t.QuadPart = -static_cast<LONGLONG>(ms) * 10000;
  return KeWaitForSingleObject(&event_, Executive, KernelMode, FALSE, &t) != STATUS_TIMEOUT;
}

ULONG AsyncIoctl::OutUlong() const { return ReadUlong(out_, 0); }

namespace {

// One image serves every device of a machine, as on Windows: loaded with the
// first device, unloaded when the last is gone.
PDRIVER_OBJECT g_driver = nullptr;
int g_devices = 0;

}  // namespace

PDRIVER_OBJECT TestDevice::LoadedDriver() {
  if (g_devices++ == 0) {
    NTSTATUS s = sim::internal::LoadDriver(
        L"\\Driver\\usbmodem", DriverEntry, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\usbmodem",
        &g_driver);
    EXPECT_EQ(s, STATUS_SUCCESS) << "DriverEntry";
  }
  return g_driver;
}

void TestDevice::ReleaseDriver() {
  if (--g_devices == 0) {
    sim::internal::UnloadDriver(g_driver);
    g_driver = nullptr;
  }
}

TestDevice::TestDevice(ULONG deviceState) {
  lower_ = std::make_unique<ScriptedLower>();
  Create(lower_->Device(), deviceState);
}

TestDevice::TestDevice(sim::usb::Device *bus, ULONG deviceState) {
  Create(bus->Pdo(), deviceState);
}

void TestDevice::Create(PDEVICE_OBJECT lower, ULONG deviceState) {
  below_ = lower;
  driver_ = LoadedDriver();
  NTSTATUS s = STATUS_SUCCESS;
  s = driver_->DriverExtension->AddDevice(driver_, below_);
  if (!NT_SUCCESS(s)) {
    ADD_FAILURE() << "AddDevice failed " << std::hex << s;
    return;
  }
  fdo_ = below_->AttachedDevice;
  ext_ = GetExtension(fdo_);
  if (lower_ != nullptr) {
    // The scripted device has no descriptors: take the pipes a start would.
    ext_->BulkInPipe = kBulkInPipe;
    ext_->BulkOutPipe = kBulkOutPipe;
    ext_->DeviceState = deviceState;
  } else if (deviceState != NotStarted) {
    // Any other state is one a started device reaches.
    EXPECT_EQ(sim::world::SendPnp(fdo_, IRP_MN_START_DEVICE), STATUS_SUCCESS) << "start";
    ext_->DeviceState = deviceState;
  }
}

TestDevice::~TestDevice() {
  if (fdo_ != nullptr) {
    if (readerStarted_) StopReader();
    // A poll the I/O timer queued just before it stopped still runs, holding
    // its reference: drain it as the device's removal would.
    WaitStatusPollsIdle();
    EXPECT_EQ(ext_->PendingWaitIrp, nullptr) << "a wait-on-mask request is still pending at teardown";
    EXPECT_EQ(ext_->OutstandingIo, 1) << "request references out of balance at teardown";
    // Let work items and threads that already finished their job return.
    SleepMs(50);
    Remove();
  }
  lower_.reset();
  ReleaseDriver();
}

void TestDevice::Remove(bool query) {
  // Whatever the test scripted, the bus answers the unconfigure that follows.
  if (lower_ != nullptr) lower_->SetPolicy(nullptr);
  if (query) {
    EXPECT_EQ(sim::world::SendPnp(fdo_, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS) << "query-remove";
  }
  EXPECT_EQ(sim::world::SendPnp(fdo_, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS) << "remove";
  fdo_ = nullptr;
  ext_ = nullptr;
  readerStarted_ = false;
}

void TestDevice::StartReader() {
  ::StartReader(ext_);
  readerStarted_ = true;
}

void TestDevice::StopReader() {
  ::StopReader(ext_);
  readerStarted_ = false;
}

void TestDevice::PollStatusOnce() {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  StatusPollTimer(fdo_, nullptr);
  KeLowerIrql(old);
  WaitStatusPollsIdle();
}

void TestDevice::WaitStatusPollsIdle() {
  // An I/O timer routine may be running on another CPU right now, about to
  // queue its poll: let it finish before asking for the work items.
  SleepMs(1);
  for (int guard = 0; guard < 1000 && sim::internal::WorkItemPendingFor(fdo_); ++guard) SleepMs(1);
  EXPECT_FALSE(sim::internal::WorkItemPendingFor(fdo_)) << "status poll did not finish";
}

}  // namespace testing_support
