// The WMI service's queries: it finds the providers of a block and the
// instance a name stands for from their registration, builds the WNODE of
// the request and decodes the reply.
#include <cstddef>
#include <cstring>

#include <wmistr.h>

#include "io_private.h"
#include "sim/kernel/wmi.h"
#include "wmi_service.h"

namespace sim {
namespace wmi {
namespace {

ULONG Align8(ULONG n) { return (n + 7) & ~7u; }

// A counted string of the reply at `offset`; false when it leaves the reply.
bool ReadCounted(const std::vector<UCHAR> &b, ULONG offset, std::string *out) {
  USHORT length;
  if ((size_t)offset + sizeof length > b.size()) return false;
  memcpy(&length, b.data() + offset, sizeof length);
  if ((size_t)offset + sizeof length + length > b.size() || length % 2) return false;
  std::vector<WCHAR> chars(length / 2);
  if (length) memcpy(chars.data(), b.data() + offset + sizeof length, length);
  *out = io::Narrow(chars.data(), chars.size());
  return true;
}

bool Malformed(PDEVICE_OBJECT provider, const std::string &what) {
  ReportFault(Fault::InvalidParameter, "IRP_MN_REGINFO_EX", io::DeviceName(provider) + ": " + what);
  return false;
}

bool NameInstances(PDEVICE_OBJECT provider, const std::vector<UCHAR> &b, const WMIREGGUID &g,
                   GuidRegistration *out) {
  std::string base;
  if (g.Flags & WMIREG_FLAG_INSTANCE_PDO) {
    const std::string *path = io::PhysicalDeviceInstance(reinterpret_cast<PDEVICE_OBJECT>(g.Pdo));
    if (!path)
      return Malformed(provider, "the Pdo " + io::DeviceName(reinterpret_cast<PDEVICE_OBJECT>(g.Pdo)) +
                                     " of a WMIREG_FLAG_INSTANCE_PDO block is no physical device object");
    base = *path + "_";
  } else if (g.Flags & WMIREG_FLAG_INSTANCE_BASENAME) {
    if (!ReadCounted(b, g.BaseNameOffset, &base)) return Malformed(provider, "the base name leaves the WMIREGINFO");
  } else {
    return true;
  }
  for (ULONG i = 0; i < g.InstanceCount; ++i) out->instanceNames.push_back(base + std::to_string(i));
  return true;
}

bool Decode(PDEVICE_OBJECT provider, const std::vector<UCHAR> &b, Registration *out) {
  WMIREGINFO info;
  memcpy(&info, b.data(), sizeof info);
  size_t end = sizeof(WMIREGINFO) + (size_t)info.GuidCount * sizeof(WMIREGGUID);
  if (end > b.size() || info.BufferSize > b.size())
    return Malformed(provider, std::to_string(info.GuidCount) + " WMIREGGUIDs do not fit the reply");
  if (info.RegistryPath && !ReadCounted(b, info.RegistryPath, &out->registryPath))
    return Malformed(provider, "the registry path leaves the WMIREGINFO");
  if (info.MofResourceName && !ReadCounted(b, info.MofResourceName, &out->mofResourceName))
    return Malformed(provider, "the MOF resource name leaves the WMIREGINFO");
  for (ULONG i = 0; i < info.GuidCount; ++i) {
    WMIREGGUID g;
    memcpy(&g, b.data() + offsetof(WMIREGINFO, WmiRegGuid) + i * sizeof(WMIREGGUID), sizeof g);
    if (g.Flags & WMIREG_FLAG_REMOVE_GUID) continue;
    GuidRegistration r;
    r.guid = g.Guid;
    r.flags = g.Flags;
    r.instanceCount = g.InstanceCount;
    if (!NameInstances(provider, b, g, &r)) return false;
    out->guids.push_back(r);
  }
  return true;
}

// A provider's entry for the block, or null.
const GuidRegistration *Block(const Registration &reg, const GUID &guid) {
  for (const auto &g : reg.guids)
    if (IsEqualGUID(g.guid, guid)) return &g;
  return nullptr;
}

struct Target {
  PDEVICE_OBJECT provider = nullptr;
  ULONG index = 0;
};

NTSTATUS FindInstance(const GUID &guid, const std::string &name, Target *t) {
  bool guidFound = false;
  for (PDEVICE_OBJECT p : Providers()) {
    Registration reg;
    if (!NT_SUCCESS(RegInfo(p, &reg))) continue;
    const GuidRegistration *g = Block(reg, guid);
    if (!g) continue;
    guidFound = true;
    for (ULONG i = 0; i < g->instanceNames.size(); ++i)
      if (g->instanceNames[i] == name) {
        *t = {p, i};
        return STATUS_SUCCESS;
      }
  }
  return guidFound ? STATUS_WMI_INSTANCE_NOT_FOUND : STATUS_WMI_GUID_NOT_FOUND;
}

void FillHeader(std::vector<UCHAR> &b, PDEVICE_OBJECT provider, const GUID &guid, ULONG flags) {
  auto *h = reinterpret_cast<PWNODE_HEADER>(b.data());
  h->ProviderId = (ULONG)(uintptr_t)provider;  // IoWMIDeviceObjectToProviderId
  h->Guid = guid;
  h->Flags = flags;
}

// A single-instance style WNODE: the fixed part of `fixed` bytes, the
// instance name as a counted string, then the data 8-byte aligned.
std::vector<UCHAR> InstanceRequest(size_t fixed, const std::string &name, const std::vector<UCHAR> &data,
                                   ULONG *offsetInstanceName, ULONG *dataBlockOffset) {
  *offsetInstanceName = (ULONG)fixed;
  ULONG nameEnd = (ULONG)(fixed + sizeof(USHORT) + name.size() * sizeof(WCHAR));
  *dataBlockOffset = Align8(nameEnd);
  std::vector<UCHAR> b(*dataBlockOffset + data.size());
  USHORT length = (USHORT)(name.size() * sizeof(WCHAR));
  memcpy(b.data() + fixed, &length, sizeof length);
  for (size_t i = 0; i < name.size(); ++i) {
    WCHAR c = (WCHAR)(UCHAR)name[i];
    memcpy(b.data() + fixed + sizeof length + i * sizeof c, &c, sizeof c);
  }
  if (!data.empty()) memcpy(b.data() + *dataBlockOffset, data.data(), data.size());
  return b;
}

template <typename Wnode>
Wnode *As(std::vector<UCHAR> &b) {
  return reinterpret_cast<Wnode *>(b.data());
}

// The data a sized reply (single instance, method) carries.
NTSTATUS SizedData(const std::vector<UCHAR> &reply, ULONG offset, ULONG size, std::vector<UCHAR> *data) {
  if ((size_t)offset + size > reply.size()) return STATUS_INVALID_PARAMETER;
  data->assign(reply.begin() + offset, reply.begin() + offset + size);
  return STATUS_SUCCESS;
}

NTSTATUS QueryAllOf(PDEVICE_OBJECT p, const GuidRegistration &g, std::vector<Instance> *out) {
  std::vector<UCHAR> request(sizeof(WNODE_ALL_DATA)), reply;
  FillHeader(request, p, g.guid, WNODE_FLAG_ALL_DATA);
  NTSTATUS status = Exchange(p, IRP_MN_QUERY_ALL_DATA, (PVOID)&g.guid, request, &reply);
  if (!NT_SUCCESS(status)) return status;
  if (reply.size() < sizeof(WNODE_ALL_DATA)) return STATUS_INVALID_PARAMETER;
  auto *w = As<WNODE_ALL_DATA>(reply);
  ULONG count = w->InstanceCount;
  bool fixed = w->WnodeHeader.Flags & WNODE_FLAG_FIXED_INSTANCE_SIZE;
  for (ULONG i = 0; i < count; ++i) {
    ULONG offset, length;
    if (fixed) {
      offset = w->DataBlockOffset + i * Align8(w->FixedInstanceSize);
      length = w->FixedInstanceSize;
    } else {
      size_t at = offsetof(WNODE_ALL_DATA, OffsetInstanceDataAndLength) + i * sizeof(OFFSETINSTANCEDATAANDLENGTH);
      if (at + sizeof(OFFSETINSTANCEDATAANDLENGTH) > reply.size()) return STATUS_INVALID_PARAMETER;
      OFFSETINSTANCEDATAANDLENGTH ol;
      memcpy(&ol, reply.data() + at, sizeof ol);
      offset = ol.OffsetInstanceData;
      length = ol.LengthInstanceData;
    }
    Instance inst;
    if (i < g.instanceNames.size()) inst.name = g.instanceNames[i];
    if (!NT_SUCCESS(SizedData(reply, offset, length, &inst.data))) return STATUS_INVALID_PARAMETER;
    out->push_back(std::move(inst));
  }
  return STATUS_SUCCESS;
}

// Sends a control request to every provider of the block that passes `wanted`.
NTSTATUS ControlAll(const GUID &guid, UCHAR minor, bool (*wanted)(const GuidRegistration &)) {
  bool found = false;
  NTSTATUS result = STATUS_SUCCESS;
  for (PDEVICE_OBJECT p : Providers()) {
    Registration reg;
    if (!NT_SUCCESS(RegInfo(p, &reg))) continue;
    const GuidRegistration *g = Block(reg, guid);
    if (!g) continue;
    found = true;
    if (!wanted(*g)) continue;
    std::vector<UCHAR> request(sizeof(WNODE_HEADER)), reply;
    FillHeader(request, p, guid, 0);
    NTSTATUS status = Exchange(p, minor, (PVOID)&g->guid, request, &reply);
    if (!NT_SUCCESS(status)) result = status;
  }
  return found ? result : STATUS_WMI_GUID_NOT_FOUND;
}

}  // namespace

NTSTATUS RegInfo(PDEVICE_OBJECT provider, Registration *out) {
  *out = Registration();
  std::vector<UCHAR> reply;
  NTSTATUS status = ExchangeRegInfo(provider, &reply);
  if (!NT_SUCCESS(status)) return status;
  return Decode(provider, reply, out) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

NTSTATUS QueryAllData(const GUID &guid, std::vector<Instance> *out) {
  out->clear();
  bool found = false;
  for (PDEVICE_OBJECT p : Providers()) {
    Registration reg;
    if (!NT_SUCCESS(RegInfo(p, &reg))) continue;
    const GuidRegistration *g = Block(reg, guid);
    if (!g) continue;
    found = true;
    NTSTATUS status = QueryAllOf(p, *g, out);
    if (!NT_SUCCESS(status)) return status;
  }
  return found ? STATUS_SUCCESS : STATUS_WMI_GUID_NOT_FOUND;
}

NTSTATUS QuerySingleInstance(const GUID &guid, const std::string &instanceName, std::vector<UCHAR> *data) {
  data->clear();
  Target t;
  NTSTATUS status = FindInstance(guid, instanceName, &t);
  if (!NT_SUCCESS(status)) return status;
  ULONG nameOffset, dataOffset;
  std::vector<UCHAR> request = InstanceRequest(sizeof(WNODE_SINGLE_INSTANCE), instanceName, {}, &nameOffset,
                                               &dataOffset),
                     reply;
  FillHeader(request, t.provider, guid, WNODE_FLAG_SINGLE_INSTANCE | WNODE_FLAG_STATIC_INSTANCE_NAMES);
  As<WNODE_SINGLE_INSTANCE>(request)->OffsetInstanceName = nameOffset;
  As<WNODE_SINGLE_INSTANCE>(request)->InstanceIndex = t.index;
  As<WNODE_SINGLE_INSTANCE>(request)->DataBlockOffset = dataOffset;
  status = Exchange(t.provider, IRP_MN_QUERY_SINGLE_INSTANCE, (PVOID)&guid, request, &reply);
  if (!NT_SUCCESS(status)) return status;
  if (reply.size() < sizeof(WNODE_SINGLE_INSTANCE)) return STATUS_INVALID_PARAMETER;
  auto *w = As<WNODE_SINGLE_INSTANCE>(reply);
  return SizedData(reply, w->DataBlockOffset, w->SizeDataBlock, data);
}

NTSTATUS SetSingleInstance(const GUID &guid, const std::string &instanceName, const std::vector<UCHAR> &data) {
  Target t;
  NTSTATUS status = FindInstance(guid, instanceName, &t);
  if (!NT_SUCCESS(status)) return status;
  ULONG nameOffset, dataOffset;
  std::vector<UCHAR> request =
                         InstanceRequest(sizeof(WNODE_SINGLE_INSTANCE), instanceName, data, &nameOffset, &dataOffset),
                     reply;
  FillHeader(request, t.provider, guid, WNODE_FLAG_SINGLE_INSTANCE | WNODE_FLAG_STATIC_INSTANCE_NAMES);
  auto *w = As<WNODE_SINGLE_INSTANCE>(request);
  w->OffsetInstanceName = nameOffset;
  w->InstanceIndex = t.index;
  w->DataBlockOffset = dataOffset;
  w->SizeDataBlock = (ULONG)data.size();
  return Exchange(t.provider, IRP_MN_CHANGE_SINGLE_INSTANCE, (PVOID)&guid, request, &reply);
}

NTSTATUS SetSingleItem(const GUID &guid, const std::string &instanceName, ULONG itemId,
                       const std::vector<UCHAR> &data) {
  Target t;
  NTSTATUS status = FindInstance(guid, instanceName, &t);
  if (!NT_SUCCESS(status)) return status;
  ULONG nameOffset, dataOffset;
  std::vector<UCHAR> request =
                         InstanceRequest(sizeof(WNODE_SINGLE_ITEM), instanceName, data, &nameOffset, &dataOffset),
                     reply;
  FillHeader(request, t.provider, guid, WNODE_FLAG_SINGLE_ITEM | WNODE_FLAG_STATIC_INSTANCE_NAMES);
  auto *w = As<WNODE_SINGLE_ITEM>(request);
  w->OffsetInstanceName = nameOffset;
  w->InstanceIndex = t.index;
  w->ItemId = itemId;
  w->DataBlockOffset = dataOffset;
  w->SizeDataItem = (ULONG)data.size();
  return Exchange(t.provider, IRP_MN_CHANGE_SINGLE_ITEM, (PVOID)&guid, request, &reply);
}

NTSTATUS ExecuteMethod(const GUID &guid, const std::string &instanceName, ULONG methodId,
                       const std::vector<UCHAR> &in, std::vector<UCHAR> *out) {
  out->clear();
  Target t;
  NTSTATUS status = FindInstance(guid, instanceName, &t);
  if (!NT_SUCCESS(status)) return status;
  ULONG nameOffset, dataOffset;
  std::vector<UCHAR> request =
                         InstanceRequest(sizeof(WNODE_METHOD_ITEM), instanceName, in, &nameOffset, &dataOffset),
                     reply;
  FillHeader(request, t.provider, guid, WNODE_FLAG_METHOD_ITEM | WNODE_FLAG_STATIC_INSTANCE_NAMES);
  auto *w = As<WNODE_METHOD_ITEM>(request);
  w->OffsetInstanceName = nameOffset;
  w->InstanceIndex = t.index;
  w->MethodId = methodId;
  w->DataBlockOffset = dataOffset;
  w->SizeDataBlock = (ULONG)in.size();
  status = Exchange(t.provider, IRP_MN_EXECUTE_METHOD, (PVOID)&guid, request, &reply);
  if (!NT_SUCCESS(status)) return status;
  if (reply.size() < sizeof(WNODE_METHOD_ITEM)) return STATUS_INVALID_PARAMETER;
  auto *r = As<WNODE_METHOD_ITEM>(reply);
  return SizedData(reply, r->DataBlockOffset, r->SizeDataBlock, out);
}

NTSTATUS EnableEvents(const GUID &guid, bool enable) {
  return ControlAll(guid, enable ? IRP_MN_ENABLE_EVENTS : IRP_MN_DISABLE_EVENTS,
                    [](const GuidRegistration &) { return true; });
}

NTSTATUS EnableCollection(const GUID &guid, bool enable) {
  return ControlAll(guid, enable ? IRP_MN_ENABLE_COLLECTION : IRP_MN_DISABLE_COLLECTION,
                    [](const GuidRegistration &g) { return (g.flags & WMIREG_FLAG_EXPENSIVE) != 0; });
}

}  // namespace wmi
}  // namespace sim
