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

TestDevice::TestDevice(ULONG deviceState) {
  lower_ = std::make_unique<ScriptedLower>();
  Create(lower_->Device(), deviceState);
}

TestDevice::TestDevice(sim::usb::Device *bus, ULONG deviceState) {
  Create(bus->Pdo(), deviceState);
  if (fdo_ != nullptr) {
    EXPECT_TRUE(ConfigureBusDevice());
  }
}

// Selects the modem's configuration and takes its two pipe handles, as the
// start of the device does.
bool TestDevice::ConfigureBusDevice() {
  std::vector<uint8_t> bytes = sim::usb::ModemConfiguration();
  auto *config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
  USBD_INTERFACE_LIST_ENTRY list[2] = {};
  list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1);
  if (list[0].InterfaceDescriptor == nullptr) return false;
  PURB urb = USBD_CreateConfigurationRequestEx(config, list);
  if (urb == nullptr) return false;
  PUSBD_INTERFACE_INFORMATION info = list[0].Interface;
  for (ULONG i = 0; i < info->NumberOfPipes; ++i) info->Pipes[i].MaximumTransferSize = 1024;
  NTSTATUS status = SubmitUrbSynchronous(fdo_, urb);
  if (NT_SUCCESS(status)) {
    ext_->BulkOutPipe = info->Pipes[0].PipeHandle;
    ext_->BulkInPipe = info->Pipes[1].PipeHandle;
  }
  ExFreePool(urb);
  return NT_SUCCESS(status);
}

void TestDevice::Create(PDEVICE_OBJECT lower, ULONG deviceState) {
  below_ = lower;
  NTSTATUS s = sim::internal::LoadDriver(L"\\Driver\\usbmodem", DriverEntry,
                                         L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\usbmodem",
                                         &driver_);
  EXPECT_EQ(s, STATUS_SUCCESS) << "DriverEntry";

  s = IoCreateDevice(driver_, sizeof(DEVICE_EXTENSION), nullptr, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN,
                     FALSE, &fdo_);
  if (!NT_SUCCESS(s)) {
    ADD_FAILURE() << "IoCreateDevice failed " << std::hex << s;
    return;
  }
  fdo_->Flags |= DO_BUFFERED_IO;
  ext_ = GetExtension(fdo_);
  ext_->FunctionalDeviceObject = fdo_;
  ext_->PhysicalDeviceObject = below_;
  InitializePortDefaults(ext_);
  ext_->LowerDeviceObject = IoAttachDeviceToDeviceStack(fdo_, below_);
  EXPECT_NE(ext_->LowerDeviceObject, nullptr);
  KeInitializeSpinLock(&ext_->RingLock);
  KeInitializeSpinLock(&ext_->IoCountLock);
  KeInitializeSpinLock(&ext_->WaitIrpLock);
  ext_->OutstandingIo = 1;
  IoInitializeTimer(fdo_, StatusPollTimer, nullptr);
  ext_->IoTimerRunning = FALSE;
  ext_->DeviceState = NotStarted;
  ext_->OpenCount = 0;
  ext_->ReaderThread = nullptr;
  KeInitializeEvent(&ext_->RemoveEvent, SynchronizationEvent, FALSE);
  KeInitializeEvent(&ext_->NoPendingIoEvent, SynchronizationEvent, FALSE);
  KeInitializeSpinLock(&ext_->ReadQueue.Lock);
  InitializeListHead(&ext_->ReadQueue.Head);
  ext_->ReadQueue.Count = 0;
  KeInitializeTimerEx(&ext_->ReadTimer, NotificationTimer);
  KeInitializeDpc(&ext_->ReadTimerDpc, ReadTimerDpc, ext_);
  ext_->DevicePowerState = PowerDeviceD0;
  ext_->SystemPowerState = PowerSystemWorking;
  POWER_STATE d0;
  d0.DeviceState = PowerDeviceD0;
  PoSetPowerState(fdo_, DevicePowerState, d0);
  fdo_->Flags &= ~DO_DEVICE_INITIALIZING;

  // As a completed start leaves it.
  ext_->BulkInPipe = kBulkInPipe;
  ext_->BulkOutPipe = kBulkOutPipe;
  ext_->DeviceState = deviceState;
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
    IoDetachDevice(below_);
    IoDeleteDevice(fdo_);
  }
  lower_.reset();
  sim::internal::UnloadDriver(driver_);
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
