// IoWMIRegistrationControl: the device objects WMI knows as data providers,
// the requests in flight to each, and the check that none is deleted while
// still registered.
#include <algorithm>
#include <map>
#include <memory>

#include "io_private.h"
#include "sim/kernel/wmi.h"
#include "wmi_private.h"

namespace sim {
namespace wmi {
namespace {

struct Provider {
  PDEVICE_OBJECT device;
  // Requests sent and not yet completed, with their senders: deregistering
  // waits for them.
  std::vector<PETHREAD> senders;
  KEVENT idle;
};

struct Registry {
  std::vector<std::unique_ptr<Provider>> providers;  // in the order they registered
  // Providers deregistered while requests were in flight: kept until those end.
  std::vector<std::unique_ptr<Provider>> leaving;
};

Registry &State() {
  static auto *r = new Registry;
  return *r;
}

Provider *Find(PDEVICE_OBJECT device) {
  for (auto &p : State().providers)
    if (p->device == device) return p.get();
  return nullptr;
}

void Register(PDEVICE_OBJECT device) {
  auto p = std::make_unique<Provider>();
  p->device = device;
  KeInitializeEvent(&p->idle, NotificationEvent, TRUE);
  State().providers.push_back(std::move(p));
}

std::unique_ptr<Provider> Take(PDEVICE_OBJECT device) {
  auto &v = State().providers;
  for (auto it = v.begin(); it != v.end(); ++it)
    if ((*it)->device == device) {
      std::unique_ptr<Provider> p = std::move(*it);
      v.erase(it);
      return p;
    }
  return nullptr;
}

// WMI's dispatch to the device ends before deregistration returns; a
// request the caller itself is serving can never end first.
NTSTATUS Deregister(PDEVICE_OBJECT device) {
  std::unique_ptr<Provider> p = Take(device);
  if (!p) return STATUS_INVALID_PARAMETER;
  PETHREAD self = PsGetCurrentThread();
  if (std::find(p->senders.begin(), p->senders.end(), self) != p->senders.end()) {
    ReportFault(Fault::Deadlock, "IoWMIRegistrationControl",
                io::DeviceName(device) +
                    ": WMIREG_ACTION_DEREGISTER waits for the IRP_MJ_SYSTEM_CONTROL request this thread is serving");
    State().leaving.push_back(std::move(p));
    return STATUS_SUCCESS;
  }
  Provider *raw = p.get();
  State().leaving.push_back(std::move(p));
  KeWaitForSingleObject(&raw->idle, Executive, KernelMode, FALSE, nullptr);
  auto &l = State().leaving;
  l.erase(std::remove_if(l.begin(), l.end(), [raw](const std::unique_ptr<Provider> &q) { return q.get() == raw; }),
          l.end());
  return STATUS_SUCCESS;
}

Provider *FindAny(PDEVICE_OBJECT device) {
  if (Provider *p = Find(device)) return p;
  for (auto &p : State().leaving)
    if (p->device == device) return p.get();
  return nullptr;
}

void Reset() {
  State().providers.clear();
  State().leaving.clear();
}

const bool registered = RegisterSubsystem({"WMI", Reset, nullptr});

}  // namespace

std::vector<PDEVICE_OBJECT> Providers() {
  std::vector<PDEVICE_OBJECT> out;
  for (auto &p : State().providers) out.push_back(p->device);
  return out;
}

bool IsProvider(PDEVICE_OBJECT device) { return Find(device) != nullptr; }

bool BeginRequest(PDEVICE_OBJECT provider) {
  Provider *p = Find(provider);
  if (!p) return false;
  p->senders.push_back(PsGetCurrentThread());
  KeClearEvent(&p->idle);
  return true;
}

void EndRequest(PDEVICE_OBJECT provider) {
  Provider *p = FindAny(provider);
  if (!p) return;
  auto it = std::find(p->senders.begin(), p->senders.end(), PsGetCurrentThread());
  if (it != p->senders.end()) p->senders.erase(it);
  if (p->senders.empty()) KeSetEvent(&p->idle, IO_NO_INCREMENT, FALSE);
}

}  // namespace wmi

namespace internal {

// WMI would go on sending IRPs to the freed device object: reported, and the
// registration dropped so the run can go on.
void WmiDeviceDeleted(PDEVICE_OBJECT device, const std::string &name) {
  if (!wmi::IsProvider(device)) return;
  ReportFault(Fault::WmiProviderNotDeregistered, "IoDeleteDevice",
              name + " is still a WMI provider (IoWMIRegistrationControl with WMIREG_ACTION_DEREGISTER first)");
  wmi::Take(device);
}

}  // namespace internal
}  // namespace sim

using namespace sim;

NTSTATUS NTAPI IoWMIRegistrationControl(PDEVICE_OBJECT DeviceObject, ULONG Action) {
  io::MaybeSchedule();
  if (!io::CheckIrqlAtMost(PASSIVE_LEVEL, "IoWMIRegistrationControl")) return STATUS_INVALID_DEVICE_REQUEST;
  io::DeviceRecord *rec = io::FindDevice(DeviceObject);
  if (!rec || rec->deleted) {
    ReportFault(Fault::InvalidParameter, "IoWMIRegistrationControl",
                "device " + io::Hex((uintptr_t)DeviceObject) + " is not a live device object");
    return STATUS_INVALID_PARAMETER;
  }
  bool known = wmi::IsProvider(DeviceObject);
  switch (Action) {
    case WMIREG_ACTION_REGISTER:
      if (known) return STATUS_OBJECT_NAME_COLLISION;
      wmi::Register(DeviceObject);
      return STATUS_SUCCESS;
    case WMIREG_ACTION_DEREGISTER:
      return wmi::Deregister(DeviceObject);
    case WMIREG_ACTION_REREGISTER:
      // Deregistering and registering again leaves it registered.
      if (!known) wmi::Register(DeviceObject);
      return STATUS_SUCCESS;
    case WMIREG_ACTION_UPDATE_GUIDS:
      // The service asks for the registration information before each
      // request, so a changed GUID list is seen at once.
      return known ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    default:
      return STATUS_INVALID_PARAMETER;
  }
}
