// How the WMI service talks to a provider: one IRP_MJ_SYSTEM_CONTROL request
// to the top of its stack, and the exchanges that grow the buffer while the
// reply asks for more (STATUS_BUFFER_TOO_SMALL with the size in a ULONG for
// registration, a WNODE_TOO_SMALL for data).
#include <cstring>

#include <wmistr.h>

#include "io_private.h"
#include "sim/kernel/wmi.h"
#include "wmi_private.h"
#include "wmi_service.h"

namespace sim {
namespace wmi {
namespace {

constexpr ULONG kTagWmi = io::MakeTag("Wmi ");
// A provider that keeps asking for more is cut off after this many tries.
constexpr int kMaxAttempts = 8;

struct ServiceState {
  ULONG firstBufferSize = 0;
  ULONG sent = 0;
};

ServiceState &State() {
  static auto *s = new ServiceState;
  return *s;
}

void Reset() { *&State() = ServiceState(); }

const bool registered = RegisterSubsystem({"WMI service", Reset, nullptr});

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

bool CallerMaySend(const char *what) {
  if (!internal::InSimulatedThread()) {
    ReportFault(Fault::InvalidParameter, what, "the WMI service is called from a simulated thread only");
    return false;
  }
  return io::CheckIrqlAtMost(PASSIVE_LEVEL, what);
}

}  // namespace

Reply Send(PDEVICE_OBJECT provider, UCHAR minor, PVOID dataPath, const std::vector<UCHAR> &buffer,
           ULONG_PTR providerId) {
  Reply reply;
  reply.status = STATUS_WMI_GUID_NOT_FOUND;
  if (!CallerMaySend("sim::wmi")) return reply;
  if (!BeginRequest(provider)) return reply;
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(provider);
  auto *pool = static_cast<PUCHAR>(io::SystemAllocate(NonPagedPool, buffer.size() ? buffer.size() : 1, kTagWmi));
  if (!buffer.empty()) memcpy(pool, buffer.data(), buffer.size());
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
  stack->MinorFunction = minor;
  stack->Parameters.WMI.ProviderId = providerId ? providerId : (ULONG_PTR)provider;
  stack->Parameters.WMI.DataPath = dataPath;
  stack->Parameters.WMI.BufferSize = (ULONG)buffer.size();
  stack->Parameters.WMI.Buffer = pool;
  IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
  ++State().sent;
  if (TraceEnabled()) Trace("WMI: minor " + std::to_string(minor) + " to " + io::DeviceName(provider));
  IoCallDriver(top, irp);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  reply.status = irp->IoStatus.Status;
  reply.information = irp->IoStatus.Information;
  reply.buffer.assign(pool, pool + buffer.size());
  IoFreeIrp(irp);
  io::PoolFree(pool, "sim::wmi");
  ObfDereferenceObject(top);
  EndRequest(provider);
  return reply;
}

NTSTATUS Exchange(PDEVICE_OBJECT provider, UCHAR minor, PVOID dataPath, std::vector<UCHAR> request,
                  std::vector<UCHAR> *reply) {
  ULONG need = (ULONG)request.size();
  if (State().firstBufferSize > need) request.resize(State().firstBufferSize);
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    auto *header = reinterpret_cast<PWNODE_HEADER>(request.data());
    header->BufferSize = (ULONG)request.size();
    Reply r = Send(provider, minor, dataPath, request);
    if (!NT_SUCCESS(r.status)) return r.status;
    if (r.buffer.size() < sizeof(WNODE_TOO_SMALL) ||
        !(reinterpret_cast<PWNODE_HEADER>(r.buffer.data())->Flags & WNODE_FLAG_TOO_SMALL)) {
      if (r.information > r.buffer.size()) {
        ReportFault(Fault::InvalidParameter, "IRP_MJ_SYSTEM_CONTROL",
                    io::DeviceName(provider) + ": the reply's Information " + std::to_string(r.information) +
                        " is larger than the " + std::to_string(r.buffer.size()) + "-byte buffer");
        return STATUS_INVALID_PARAMETER;
      }
      r.buffer.resize(r.information);
      *reply = std::move(r.buffer);
      return r.status;
    }
    ULONG needed = reinterpret_cast<PWNODE_TOO_SMALL>(r.buffer.data())->SizeNeeded;
    if (needed <= request.size()) {
      ReportFault(Fault::InvalidParameter, "IRP_MJ_SYSTEM_CONTROL",
                  io::DeviceName(provider) + ": WNODE_TOO_SMALL asks for " + std::to_string(needed) +
                      " bytes, no more than the " + std::to_string(request.size()) + " it was given");
      return STATUS_INVALID_PARAMETER;
    }
    request.resize(needed);
  }
  return STATUS_BUFFER_TOO_SMALL;
}

NTSTATUS ExchangeRegInfo(PDEVICE_OBJECT provider, std::vector<UCHAR> *reply) {
  std::vector<UCHAR> buffer(std::max<ULONG>(State().firstBufferSize, sizeof(ULONG)));
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    Reply r = Send(provider, IRP_MN_REGINFO_EX, (PVOID)WMIREGISTER, buffer);
    if (r.status == STATUS_BUFFER_TOO_SMALL && r.information == sizeof(ULONG)) {
      ULONG needed;
      memcpy(&needed, r.buffer.data(), sizeof needed);
      if (needed <= buffer.size()) {
        ReportFault(Fault::InvalidParameter, "IRP_MN_REGINFO_EX",
                    io::DeviceName(provider) + ": asks for " + std::to_string(needed) + " bytes, no more than the " +
                        std::to_string(buffer.size()) + " it was given");
        return STATUS_INVALID_PARAMETER;
      }
      buffer.assign(needed, 0);
      continue;
    }
    if (!NT_SUCCESS(r.status)) return r.status;
    if (r.information > r.buffer.size() || r.information < sizeof(WMIREGINFO)) {
      ReportFault(Fault::InvalidParameter, "IRP_MN_REGINFO_EX",
                  io::DeviceName(provider) + ": Information " + std::to_string(r.information) +
                      " is no WMIREGINFO inside the " + std::to_string(r.buffer.size()) + "-byte buffer");
      return STATUS_INVALID_PARAMETER;
    }
    r.buffer.resize(r.information);
    *reply = std::move(r.buffer);
    return STATUS_SUCCESS;
  }
  return STATUS_BUFFER_TOO_SMALL;
}

void SetFirstBufferSize(ULONG bytes) { State().firstBufferSize = bytes; }
ULONG RequestsSent() { return State().sent; }

}  // namespace wmi
}  // namespace sim
