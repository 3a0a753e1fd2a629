// Small drivers for the I/O side's tests: each device carries the behaviour
// of its dispatch routine, so a test states what its faulty driver does.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "kernel/sched_test_util.h"
#include "sim/kernel/internal.h"
#include "sim/kernel/pool.h"

namespace io_test {

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

struct TestExtension {
  Dispatch *dispatch;
  void *user;  // test data
};

inline NTSTATUS NTAPI DispatchThroughExtension(PDEVICE_OBJECT device, PIRP irp) {
  auto *ext = static_cast<TestExtension *>(device->DeviceExtension);
  return (*ext->dispatch)(device, irp);
}

// A driver object whose every major function runs the device's behaviour.
inline PDRIVER_OBJECT MakeDriver(const WCHAR *name = L"iotest") {
  PDRIVER_OBJECT d = sim::internal::CreateDriverObject(name);
  for (auto &f : d->MajorFunction) f = DispatchThroughExtension;
  return d;
}

// A ready device (initialising flag cleared) with the given behaviour; the
// behaviour must outlive the device.
inline PDEVICE_OBJECT MakeDevice(PDRIVER_OBJECT driver, Dispatch *dispatch, const WCHAR *name = nullptr,
                                 ULONG flags = DO_BUFFERED_IO, BOOLEAN exclusive = FALSE) {
  UNICODE_STRING n;
  if (name) RtlInitUnicodeString(&n, name);
  PDEVICE_OBJECT device = nullptr;
  EXPECT_EQ(IoCreateDevice(driver, sizeof(TestExtension) + 64, name ? &n : nullptr, FILE_DEVICE_UNKNOWN, 0,
                           exclusive, &device),
            STATUS_SUCCESS);
  static_cast<TestExtension *>(device->DeviceExtension)->dispatch = dispatch;
  device->Flags |= flags;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return device;
}

inline NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// Passes the IRP down unchanged.
inline Dispatch PassDown(PDEVICE_OBJECT *lower) {
  return [lower](PDEVICE_OBJECT, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(*lower, irp);
  };
}

using sched_test::CountFaults;
using sched_test::DescribeFaults;
using sched_test::Options;
using sched_test::DelayMs;
using sched_test::RunExpectingNoFaults;

// Runs body in a fresh kernel, shuts it down, and hands back the kernel for
// its faults.
template <typename Body>
void RunAndShutdown(sim::Kernel &k, Body body) {
  k.Run(body);
  k.Shutdown();
}

// One device whose dispatch is the faulty behaviour; the IRP comes from
// IoAllocateIrp with a routine that keeps it for the test to free. Its status
// starts as STATUS_NOT_SUPPORTED, as a sender of Plug and Play and power IRPs
// must leave it.
inline NTSTATUS NTAPI KeepIrp(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

inline NTSTATUS SendOne(PDEVICE_OBJECT device, PIRP *out, UCHAR major = IRP_MJ_DEVICE_CONTROL) {
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  IoGetNextIrpStackLocation(irp)->MajorFunction = major;
  IoSetCompletionRoutine(irp, KeepIrp, nullptr, TRUE, TRUE, TRUE);
  *out = irp;
  return IoCallDriver(device, irp);
}

template <typename Behaviour>
sim::Kernel *RunFaulty(Behaviour behaviour, std::function<void(PDEVICE_OBJECT)> after = nullptr) {
  auto *k = new sim::Kernel(Options());
  k->Run([&] {
    Dispatch d = behaviour;
    PDEVICE_OBJECT device = MakeDevice(MakeDriver(), &d);
    PIRP irp;
    SendOne(device, &irp);
    if (after) after(device);
    IoFreeIrp(irp);
  });
  k->Shutdown();
  return k;
}

inline bool AnyFaultMentions(const sim::Kernel &k, sim::Fault f, const std::string &text) {
  for (const auto &r : k.Faults())
    if (r.kind == f && r.detail.find(text) != std::string::npos) return true;
  return false;
}

}  // namespace io_test
