// The WMI library: WmiSystemControl decodes a system-control IRP for the
// provider's callbacks; WmiCompleteRequest turns what a callback returned
// into the WNODE reply, or into a WNODE_TOO_SMALL naming the size needed.
#include <cstddef>
#include <cstring>
#include <vector>

#include <wmilib.h>
#include <wmistr.h>

#include "io_private.h"

using namespace sim;

namespace {

ULONG Align8(ULONG n) { return (n + 7) & ~7u; }

// Where the instance data of a WNODE_ALL_DATA of `count` instances starts:
// after the offset and length of each.
ULONG AllDataOffset(ULONG count) {
  return Align8((ULONG)offsetof(WNODE_ALL_DATA, OffsetInstanceDataAndLength) +
                count * (ULONG)sizeof(OFFSETINSTANCEDATAANDLENGTH));
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information, CCHAR boost = IO_NO_INCREMENT) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, boost);
  return status;
}

// What the library found wrong itself: the status is set and the caller
// completes the IRP (IrpNotCompleted).
NTSTATUS Refuse(PIRP irp, PSYSCTL_IRP_DISPOSITION disposition, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  *disposition = IrpNotCompleted;
  return status;
}

// The callback asked for more room than the caller gave: the reply becomes
// a WNODE_TOO_SMALL and the request succeeds, so WMI retries with `needed`.
NTSTATUS CompleteTooSmall(PIRP irp, PUCHAR buffer, ULONG bufferSize, ULONG needed, CCHAR boost) {
  if (bufferSize < sizeof(WNODE_TOO_SMALL)) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0, boost);
  auto *small = reinterpret_cast<PWNODE_TOO_SMALL>(buffer);
  small->WnodeHeader.BufferSize = sizeof(WNODE_TOO_SMALL);
  small->WnodeHeader.Flags |= WNODE_FLAG_TOO_SMALL;
  small->SizeNeeded = needed;
  return Complete(irp, STATUS_SUCCESS, sizeof(WNODE_TOO_SMALL), boost);
}

bool UsedFits(ULONG offset, ULONG used, ULONG bufferSize) {
  if ((ULONGLONG)offset + used <= bufferSize) return true;
  ReportFault(Fault::InvalidParameter, "WmiCompleteRequest",
              "BufferUsed " + std::to_string(used) + " at offset " + std::to_string(offset) + " overruns the " +
                  std::to_string(bufferSize) + "-byte WMI buffer (complete with STATUS_BUFFER_TOO_SMALL instead)");
  return false;
}

// Turns the callback's instance lengths into offsets and lengths: each
// instance starts on an 8-byte boundary after the one before.
bool FillAllData(PWNODE_ALL_DATA wnode, ULONG used) {
  ULONG count = wnode->InstanceCount;
  std::vector<ULONG> lengths(count);
  if (count) memcpy(lengths.data(), &wnode->OffsetInstanceDataAndLength[0], count * sizeof(ULONG));
  ULONG offset = wnode->DataBlockOffset;
  for (ULONG i = 0; i < count; ++i) {
    wnode->OffsetInstanceDataAndLength[i].OffsetInstanceData = offset;
    wnode->OffsetInstanceDataAndLength[i].LengthInstanceData = lengths[i];
    offset += i + 1 < count ? Align8(lengths[i]) : lengths[i];
  }
  if (offset - wnode->DataBlockOffset > used) {
    ReportFault(Fault::InvalidParameter, "WmiCompleteRequest",
                "the instance lengths of IRP_MN_QUERY_ALL_DATA (each instance 8-byte aligned) add up to " +
                    std::to_string(offset - wnode->DataBlockOffset) + ", more than BufferUsed " +
                    std::to_string(used));
    return false;
  }
  wnode->WnodeHeader.BufferSize = wnode->DataBlockOffset + used;
  return true;
}

// ------------------------------------------------------------ decoding
struct Request {
  PWMILIB_CONTEXT lib;
  PDEVICE_OBJECT device;
  PIRP irp;
  PIO_STACK_LOCATION stack;
  PUCHAR buffer;
  ULONG bufferSize;
  PSYSCTL_IRP_DISPOSITION disposition;
};

ULONG CountedSize(const UNICODE_STRING *s) { return (ULONG)sizeof(USHORT) + (s ? s->Length : 0); }

// A WMI counted string: its byte length, then the characters.
ULONG PutCounted(PUCHAR base, ULONG offset, const UNICODE_STRING *s) {
  USHORT length = s ? s->Length : 0;
  memcpy(base + offset, &length, sizeof length);
  if (length) memcpy(base + offset + sizeof length, s->Buffer, length);
  return offset + sizeof length + length;
}

// The WMIREGINFO, its WMIREGGUIDs, then the counted strings: the registry
// path and MOF resource name (for WMIREGISTER only) and the base name.
NTSTATUS RegInfo(const Request &r) {
  ULONG regFlags = 0;
  UNICODE_STRING instanceName = {0, 0, nullptr};
  UNICODE_STRING mofName = {0, 0, nullptr};
  PUNICODE_STRING registryPath = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  NTSTATUS status = CallDriverRoutine(r.lib->QueryWmiRegInfo, r.device, &regFlags, &instanceName, &registryPath, &mofName, &pdo);
  // The library owns the base name the callback allocated.
  struct FreeName {
    UNICODE_STRING &s;
    ~FreeName() {
      if (s.Buffer) ExFreePool(s.Buffer);
    }
  } freeName{instanceName};
  if (!NT_SUCCESS(status)) return Refuse(r.irp, r.disposition, status);
  bool full = r.stack->Parameters.WMI.DataPath == (PVOID)WMIREGISTER;
  ULONG n = r.lib->GuidCount;
  ULONG fixed = (ULONG)sizeof(WMIREGINFO) + n * (ULONG)sizeof(WMIREGGUID);
  ULONG size = fixed + CountedSize(&instanceName);
  if (full) size += CountedSize(registryPath) + CountedSize(&mofName);
  if (r.bufferSize < size) {
    if (r.bufferSize < sizeof(ULONG)) return Refuse(r.irp, r.disposition, STATUS_BUFFER_TOO_SMALL);
    *reinterpret_cast<PULONG>(r.buffer) = size;
    return Refuse(r.irp, r.disposition, STATUS_BUFFER_TOO_SMALL, sizeof(ULONG));
  }
  auto *info = reinterpret_cast<PWMIREGINFO>(r.buffer);
  memset(info, 0, fixed);
  info->BufferSize = size;
  info->GuidCount = n;
  ULONG next = fixed;
  if (full) {
    info->RegistryPath = next;
    next = PutCounted(r.buffer, next, registryPath);
    info->MofResourceName = next;
    next = PutCounted(r.buffer, next, &mofName);
  }
  ULONG baseName = next;
  PutCounted(r.buffer, baseName, &instanceName);
  for (ULONG i = 0; i < n; ++i) {
    WMIREGGUID &g = info->WmiRegGuid[i];
    g.Guid = *r.lib->GuidList[i].Guid;
    g.Flags = r.lib->GuidList[i].Flags | regFlags;
    g.InstanceCount = r.lib->GuidList[i].InstanceCount;
    if (g.Flags & WMIREG_FLAG_INSTANCE_PDO)
      g.Pdo = (ULONG_PTR)pdo;
    else if (g.Flags & WMIREG_FLAG_INSTANCE_BASENAME)
      g.BaseNameOffset = baseName;
  }
  return Refuse(r.irp, r.disposition, STATUS_SUCCESS, size);
}

bool FindGuid(const Request &r, ULONG *index) {
  auto *guid = static_cast<const GUID *>(r.stack->Parameters.WMI.DataPath);
  for (ULONG i = 0; guid && i < r.lib->GuidCount; ++i)
    if (IsEqualGUID(*r.lib->GuidList[i].Guid, *guid)) {
      *index = i;
      return true;
    }
  return false;
}

// The library resolves only static instance names: WMI hands it the index.
bool FindInstance(const Request &r, ULONG guidIndex, ULONG flags, ULONG instanceIndex) {
  return (flags & WNODE_FLAG_STATIC_INSTANCE_NAMES) && instanceIndex < r.lib->GuidList[guidIndex].InstanceCount;
}

// The fixed part of the request's WNODE must be there before it is read.
bool Holds(const Request &r, size_t fixed) { return r.buffer && r.bufferSize >= fixed; }

NTSTATUS QueryAll(const Request &r, ULONG g) {
  if (!Holds(r, sizeof(WNODE_ALL_DATA))) return Refuse(r.irp, r.disposition, STATUS_BUFFER_TOO_SMALL);
  auto *wnode = reinterpret_cast<PWNODE_ALL_DATA>(r.buffer);
  ULONG count = r.lib->GuidList[g].InstanceCount;
  ULONG offset = AllDataOffset(count);
  wnode->InstanceCount = count;
  wnode->DataBlockOffset = offset;
  bool room = r.bufferSize >= offset;
  return CallDriverRoutine(r.lib->QueryWmiDataBlock, r.device, r.irp, g, 0, count,
                                  room ? reinterpret_cast<PULONG>(&wnode->OffsetInstanceDataAndLength[0]) : nullptr,
                                  room ? r.bufferSize - offset : 0, room ? r.buffer + offset : nullptr);
}

NTSTATUS QuerySingle(const Request &r, ULONG g) {
  if (!Holds(r, sizeof(WNODE_SINGLE_INSTANCE))) return Refuse(r.irp, r.disposition, STATUS_BUFFER_TOO_SMALL);
  auto *wnode = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(r.buffer);
  if (!FindInstance(r, g, wnode->WnodeHeader.Flags, wnode->InstanceIndex))
    return Refuse(r.irp, r.disposition, STATUS_WMI_INSTANCE_NOT_FOUND);
  bool room = r.bufferSize >= wnode->DataBlockOffset;
  return CallDriverRoutine(r.lib->QueryWmiDataBlock, r.device, r.irp, g, wnode->InstanceIndex, 1, room ? &wnode->SizeDataBlock : nullptr,
                                  room ? r.bufferSize - wnode->DataBlockOffset : 0,
                                  room ? r.buffer + wnode->DataBlockOffset : nullptr);
}

bool DataInside(const Request &r, ULONG offset, ULONG size) { return (ULONGLONG)offset + size <= r.bufferSize; }

NTSTATUS ChangeSingle(const Request &r, ULONG g) {
  if (!Holds(r, sizeof(WNODE_SINGLE_INSTANCE))) return Refuse(r.irp, r.disposition, STATUS_BUFFER_TOO_SMALL);
  auto *wnode = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(r.buffer);
  if (!FindInstance(r, g, wnode->WnodeHeader.Flags, wnode->InstanceIndex))
    return Refuse(r.irp, r.disposition, STATUS_WMI_INSTANCE_NOT_FOUND);
  if (!r.lib->SetWmiDataBlock) return Refuse(r.irp, r.disposition, STATUS_WMI_READ_ONLY);
  if (!DataInside(r, wnode->DataBlockOffset, wnode->SizeDataBlock))
    return Refuse(r.irp, r.disposition, STATUS_INVALID_PARAMETER);
  return CallDriverRoutine(r.lib->SetWmiDataBlock, r.device, r.irp, g, wnode->InstanceIndex, wnode->SizeDataBlock,
                                r.buffer + wnode->DataBlockOffset);
}

NTSTATUS ChangeItem(const Request &r, ULONG g) {
  if (!Holds(r, sizeof(WNODE_SINGLE_ITEM))) return Refuse(r.irp, r.disposition, STATUS_BUFFER_TOO_SMALL);
  auto *wnode = reinterpret_cast<PWNODE_SINGLE_ITEM>(r.buffer);
  if (!FindInstance(r, g, wnode->WnodeHeader.Flags, wnode->InstanceIndex))
    return Refuse(r.irp, r.disposition, STATUS_WMI_INSTANCE_NOT_FOUND);
  if (!r.lib->SetWmiDataItem) return Refuse(r.irp, r.disposition, STATUS_WMI_READ_ONLY);
  if (!DataInside(r, wnode->DataBlockOffset, wnode->SizeDataItem))
    return Refuse(r.irp, r.disposition, STATUS_INVALID_PARAMETER);
  return CallDriverRoutine(r.lib->SetWmiDataItem, r.device, r.irp, g, wnode->InstanceIndex, wnode->ItemId, wnode->SizeDataItem,
                               r.buffer + wnode->DataBlockOffset);
}

NTSTATUS Execute(const Request &r, ULONG g) {
  if (!Holds(r, sizeof(WNODE_METHOD_ITEM))) return Refuse(r.irp, r.disposition, STATUS_BUFFER_TOO_SMALL);
  auto *wnode = reinterpret_cast<PWNODE_METHOD_ITEM>(r.buffer);
  if (!FindInstance(r, g, wnode->WnodeHeader.Flags, wnode->InstanceIndex))
    return Refuse(r.irp, r.disposition, STATUS_WMI_INSTANCE_NOT_FOUND);
  if (!r.lib->ExecuteWmiMethod) return Refuse(r.irp, r.disposition, STATUS_INVALID_DEVICE_REQUEST);
  if (!DataInside(r, wnode->DataBlockOffset, wnode->SizeDataBlock))
    return Refuse(r.irp, r.disposition, STATUS_INVALID_PARAMETER);
  return CallDriverRoutine(r.lib->ExecuteWmiMethod, r.device, r.irp, g, wnode->InstanceIndex, wnode->MethodId, wnode->SizeDataBlock,
                                 r.bufferSize - wnode->DataBlockOffset, r.buffer + wnode->DataBlockOffset);
}

// Without a callback there is nothing to switch on or off: the request succeeds.
NTSTATUS Control(const Request &r, ULONG g, WMIENABLEDISABLECONTROL what, BOOLEAN enable) {
  if (!r.lib->WmiFunctionControl) return Complete(r.irp, STATUS_SUCCESS, 0);
  return CallDriverRoutine(r.lib->WmiFunctionControl, r.device, r.irp, g, what, enable);
}

// Fills the reply of a request whose data follows DataBlockOffset and is
// sized by SizeDataBlock (a single instance, or a method's output).
NTSTATUS CompleteSized(PIRP irp, PUCHAR base, ULONG size, ULONG dataOffset, PULONG sizeField, NTSTATUS status,
                       ULONG used, CCHAR boost) {
  auto *header = reinterpret_cast<PWNODE_HEADER>(base);
  if (status == STATUS_BUFFER_TOO_SMALL) return CompleteTooSmall(irp, base, size, dataOffset + used, boost);
  if (!NT_SUCCESS(status)) return Complete(irp, status, 0, boost);
  if (!UsedFits(dataOffset, used, size)) return Complete(irp, STATUS_INVALID_PARAMETER, 0, boost);
  *sizeField = used;
  header->BufferSize = dataOffset + used;
  return Complete(irp, status, header->BufferSize, boost);
}

}  // namespace

NTSTATUS NTAPI WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                          PSYSCTL_IRP_DISPOSITION IrpDisposition) {
  io::MaybeSchedule();
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  UCHAR minor = stack->MinorFunction;
  bool known = minor <= IRP_MN_EXECUTE_METHOD || minor == IRP_MN_REGINFO_EX;
  if (stack->MajorFunction != IRP_MJ_SYSTEM_CONTROL || !known) {
    *IrpDisposition = IrpNotWmi;
    return Irp->IoStatus.Status;
  }
  // Meant for another device of the stack: the caller passes it down.
  if ((PDEVICE_OBJECT)stack->Parameters.WMI.ProviderId != DeviceObject) {
    *IrpDisposition = IrpForward;
    return Irp->IoStatus.Status;
  }
  *IrpDisposition = IrpProcessed;
  Request r{WmiLibInfo, DeviceObject, Irp, stack, static_cast<PUCHAR>(stack->Parameters.WMI.Buffer),
            stack->Parameters.WMI.BufferSize, IrpDisposition};
  if (minor == IRP_MN_REGINFO || minor == IRP_MN_REGINFO_EX) return RegInfo(r);
  ULONG g = 0;
  if (!FindGuid(r, &g)) return Refuse(Irp, IrpDisposition, STATUS_WMI_GUID_NOT_FOUND);
  switch (minor) {
    case IRP_MN_QUERY_ALL_DATA: return QueryAll(r, g);
    case IRP_MN_QUERY_SINGLE_INSTANCE: return QuerySingle(r, g);
    case IRP_MN_CHANGE_SINGLE_INSTANCE: return ChangeSingle(r, g);
    case IRP_MN_CHANGE_SINGLE_ITEM: return ChangeItem(r, g);
    case IRP_MN_ENABLE_EVENTS: return Control(r, g, WmiEventControl, TRUE);
    case IRP_MN_DISABLE_EVENTS: return Control(r, g, WmiEventControl, FALSE);
    case IRP_MN_ENABLE_COLLECTION: return Control(r, g, WmiDataBlockControl, TRUE);
    case IRP_MN_DISABLE_COLLECTION: return Control(r, g, WmiDataBlockControl, FALSE);
    default: return Execute(r, g);
  }
}

NTSTATUS NTAPI WmiCompleteRequest(PDEVICE_OBJECT, PIRP Irp, NTSTATUS Status, ULONG BufferUsed, CCHAR PriorityBoost) {
  if (!io::CheckIrqlAtMost(DISPATCH_LEVEL, "WmiCompleteRequest")) return Status;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  auto *base = static_cast<PUCHAR>(stack->Parameters.WMI.Buffer);
  ULONG size = stack->Parameters.WMI.BufferSize;
  switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ALL_DATA: {
      auto *wnode = reinterpret_cast<PWNODE_ALL_DATA>(base);
      if (Status == STATUS_BUFFER_TOO_SMALL)
        return CompleteTooSmall(Irp, base, size, wnode->DataBlockOffset + BufferUsed, PriorityBoost);
      if (!NT_SUCCESS(Status)) return Complete(Irp, Status, 0, PriorityBoost);
      if (!UsedFits(wnode->DataBlockOffset, BufferUsed, size) || !FillAllData(wnode, BufferUsed))
        return Complete(Irp, STATUS_INVALID_PARAMETER, 0, PriorityBoost);
      return Complete(Irp, Status, wnode->WnodeHeader.BufferSize, PriorityBoost);
    }
    case IRP_MN_QUERY_SINGLE_INSTANCE: {
      auto *wnode = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(base);
      return CompleteSized(Irp, base, size, wnode->DataBlockOffset, &wnode->SizeDataBlock, Status, BufferUsed,
                           PriorityBoost);
    }
    case IRP_MN_EXECUTE_METHOD: {
      auto *wnode = reinterpret_cast<PWNODE_METHOD_ITEM>(base);
      return CompleteSized(Irp, base, size, wnode->DataBlockOffset, &wnode->SizeDataBlock, Status, BufferUsed,
                           PriorityBoost);
    }
    default:
      // Changes and controls carry nothing back.
      return Complete(Irp, Status, 0, PriorityBoost);
  }
}
