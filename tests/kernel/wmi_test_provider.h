// A small WMI data provider for the WMI tests: a function device on a PDO
// the bus named, with one data block of one instance through the WMI
// library, and an event block. A filter may sit above it. Each test may
// swap in faulty callbacks.
#pragma once

#include <cstring>

#include <wmilib.h>
#include <wmistr.h>

#include "kernel/io_test_util.h"
#include "sim/kernel/wmi.h"

namespace wmi_test {

using namespace io_test;

// {5f1a1c2e-6b1d-4f7e-9a0b-3c2d1e0f4a51}
inline const GUID kBlockGuid = {0x5f1a1c2e, 0x6b1d, 0x4f7e, {0x9a, 0x0b, 0x3c, 0x2d, 0x1e, 0x0f, 0x4a, 0x51}};
// {5f1a1c2e-6b1d-4f7e-9a0b-3c2d1e0f4a52}
inline const GUID kEventGuid = {0x5f1a1c2e, 0x6b1d, 0x4f7e, {0x9a, 0x0b, 0x3c, 0x2d, 0x1e, 0x0f, 0x4a, 0x52}};
// {5f1a1c2e-6b1d-4f7e-9a0b-3c2d1e0f4a53}: nobody's
inline const GUID kOtherGuid = {0x5f1a1c2e, 0x6b1d, 0x4f7e, {0x9a, 0x0b, 0x3c, 0x2d, 0x1e, 0x0f, 0x4a, 0x53}};

constexpr const char *kPdoPath = "USB\\Vid_0572&Pid_1329\\5&0&0&1";
constexpr const char *kInstance = "USB\\Vid_0572&Pid_1329\\5&0&0&1_0";
constexpr ULONG kItemSetting = 2;  // the data item id of Block::setting
constexpr ULONG kMethodDouble = 1;

#pragma pack(push, 1)
struct Block {
  ULONG counter;
  ULONG setting;
  UCHAR label[10];
};
#pragma pack(pop)
static_assert(sizeof(Block) == 18, "the block is 18 bytes");

struct Provider {
  Block block{7, 3, {'m', 'o', 'd', 'e', 'm', 0, 0, 0, 0, 0}};
  PDEVICE_OBJECT pdo = nullptr;
  PDEVICE_OBJECT fdo = nullptr;
  PDEVICE_OBJECT filter = nullptr;
  PDEVICE_OBJECT reportedPdo = nullptr;  // what QueryWmiRegInfo gives as the Pdo; the PDO unless changed
  WMIGUIDREGINFO guids[2] = {{&kBlockGuid, 1, WMIREG_FLAG_EXPENSIVE}, {&kEventGuid, 1, WMIREG_FLAG_EVENT_ONLY_GUID}};
  WMILIB_CONTEXT lib{};
  WMILIB_CONTEXT filterLib{};  // the filter's own, for no GUIDs of the provider's
  UNICODE_STRING registryPath{};
  int queries = 0, sets = 0, items = 0, methods = 0;
  int eventsOn = 0, eventsOff = 0, collectionOn = 0, collectionOff = 0;
  int systemControlAtPdo = 0;
  Dispatch fdoDispatch, pdoDispatch, filterDispatch;
};

inline Provider *g_provider = nullptr;

inline NTSTATUS NTAPI QueryRegInfo(PDEVICE_OBJECT, PULONG regFlags, PUNICODE_STRING, PUNICODE_STRING *registryPath,
                                   PUNICODE_STRING mofResourceName, PDEVICE_OBJECT *pdo) {
  *regFlags = WMIREG_FLAG_INSTANCE_PDO;
  *registryPath = &g_provider->registryPath;
  RtlInitUnicodeString(mofResourceName, L"MofResource");
  *pdo = g_provider->reportedPdo;
  return STATUS_SUCCESS;
}

inline NTSTATUS NTAPI QueryBlock(PDEVICE_OBJECT device, PIRP irp, ULONG guidIndex, ULONG, ULONG, PULONG lengths,
                                 ULONG avail, PUCHAR buffer) {
  ++g_provider->queries;
  if (guidIndex != 0) return WmiCompleteRequest(device, irp, STATUS_WMI_GUID_NOT_FOUND, 0, IO_NO_INCREMENT);
  if (lengths == nullptr || avail < sizeof(Block))
    return WmiCompleteRequest(device, irp, STATUS_BUFFER_TOO_SMALL, sizeof(Block), IO_NO_INCREMENT);
  memcpy(buffer, &g_provider->block, sizeof(Block));
  lengths[0] = sizeof(Block);
  return WmiCompleteRequest(device, irp, STATUS_SUCCESS, sizeof(Block), IO_NO_INCREMENT);
}

inline NTSTATUS NTAPI SetBlock(PDEVICE_OBJECT device, PIRP irp, ULONG, ULONG, ULONG size, PUCHAR buffer) {
  ++g_provider->sets;
  if (size != sizeof(Block)) return WmiCompleteRequest(device, irp, STATUS_WMI_SET_FAILURE, 0, IO_NO_INCREMENT);
  memcpy(&g_provider->block, buffer, sizeof(Block));
  return WmiCompleteRequest(device, irp, STATUS_SUCCESS, 0, IO_NO_INCREMENT);
}

inline NTSTATUS NTAPI SetItem(PDEVICE_OBJECT device, PIRP irp, ULONG, ULONG, ULONG item, ULONG size,
                              PUCHAR buffer) {
  ++g_provider->items;
  NTSTATUS status = STATUS_SUCCESS;
  if (item != kItemSetting)
    status = STATUS_WMI_ITEMID_NOT_FOUND;
  else if (size != sizeof(ULONG))
    status = STATUS_WMI_SET_FAILURE;
  else
    memcpy(&g_provider->block.setting, buffer, sizeof(ULONG));
  return WmiCompleteRequest(device, irp, status, 0, IO_NO_INCREMENT);
}

inline NTSTATUS NTAPI Execute(PDEVICE_OBJECT device, PIRP irp, ULONG, ULONG, ULONG method, ULONG in, ULONG out,
                              PUCHAR buffer) {
  ++g_provider->methods;
  if (method != kMethodDouble) return WmiCompleteRequest(device, irp, STATUS_WMI_ITEMID_NOT_FOUND, 0, IO_NO_INCREMENT);
  if (in < sizeof(ULONG)) return WmiCompleteRequest(device, irp, STATUS_INVALID_PARAMETER, 0, IO_NO_INCREMENT);
  if (out < sizeof(ULONG))
    return WmiCompleteRequest(device, irp, STATUS_BUFFER_TOO_SMALL, sizeof(ULONG), IO_NO_INCREMENT);
  ULONG v;
  memcpy(&v, buffer, sizeof v);
  v *= 2;
  memcpy(buffer, &v, sizeof v);
  return WmiCompleteRequest(device, irp, STATUS_SUCCESS, sizeof(ULONG), IO_NO_INCREMENT);
}

inline NTSTATUS NTAPI FunctionControl(PDEVICE_OBJECT device, PIRP irp, ULONG, WMIENABLEDISABLECONTROL what,
                                      BOOLEAN enable) {
  if (what == WmiEventControl)
    ++(enable ? g_provider->eventsOn : g_provider->eventsOff);
  else
    ++(enable ? g_provider->collectionOn : g_provider->collectionOff);
  return WmiCompleteRequest(device, irp, STATUS_SUCCESS, 0, IO_NO_INCREMENT);
}

// The dispatch of a driver that handles WMI through the library.
inline NTSTATUS SystemControlThroughLibrary(PWMILIB_CONTEXT lib, PDEVICE_OBJECT device, PDEVICE_OBJECT lower,
                                            PIRP irp) {
  SYSCTL_IRP_DISPOSITION disposition;
  NTSTATUS status = WmiSystemControl(lib, device, irp, &disposition);
  switch (disposition) {
    case IrpProcessed: return status;
    case IrpNotCompleted: IoCompleteRequest(irp, IO_NO_INCREMENT); return status;
    default: IoSkipCurrentIrpStackLocation(irp); return IoCallDriver(lower, irp);
  }
}

// The bus driver leaves WMI requests for others as they came.
inline NTSTATUS PdoDispatch(PDEVICE_OBJECT, PIRP irp) {
  if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_SYSTEM_CONTROL) ++g_provider->systemControlAtPdo;
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// Builds the stack PDO <- FDO (<- filter) and fills the library context; the
// caller registers.
inline void Build(Provider &p, bool withFilter = false) {
  g_provider = &p;
  RtlInitUnicodeString(&p.registryPath, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\wmitest");
  p.lib.GuidCount = 2;
  p.lib.GuidList = p.guids;
  p.lib.QueryWmiRegInfo = QueryRegInfo;
  p.lib.QueryWmiDataBlock = QueryBlock;
  p.lib.SetWmiDataBlock = SetBlock;
  p.lib.SetWmiDataItem = SetItem;
  p.lib.ExecuteWmiMethod = Execute;
  p.lib.WmiFunctionControl = FunctionControl;
  p.filterLib = p.lib;
  p.filterLib.GuidCount = 0;
  p.pdoDispatch = PdoDispatch;
  p.fdoDispatch = [&p](PDEVICE_OBJECT device, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_SYSTEM_CONTROL)
      return SystemControlThroughLibrary(&p.lib, device, p.pdo, irp);
    return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST);
  };
  p.filterDispatch = [&p](PDEVICE_OBJECT device, PIRP irp) {
    return SystemControlThroughLibrary(&p.filterLib, device, p.fdo, irp);
  };
  PDRIVER_OBJECT driver = MakeDriver(L"wmitest");
  p.pdo = MakeDevice(driver, &p.pdoDispatch, nullptr, 0);
  sim::RegisterPhysicalDevice(p.pdo, kPdoPath);
  p.reportedPdo = p.pdo;
  p.fdo = MakeDevice(driver, &p.fdoDispatch, nullptr, 0);
  EXPECT_EQ(IoAttachDeviceToDeviceStack(p.fdo, p.pdo), p.pdo);
  if (withFilter) {
    p.filter = MakeDevice(driver, &p.filterDispatch, nullptr, 0);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(p.filter, p.fdo), p.fdo);
  }
}

inline void Dismantle(Provider &p) {
  if (p.filter) {
    IoDetachDevice(p.fdo);
    IoDeleteDevice(p.filter);
  }
  IoDetachDevice(p.pdo);
  IoDeleteDevice(p.fdo);
  IoDeleteDevice(p.pdo);
  g_provider = nullptr;
}

inline std::vector<UCHAR> Bytes(const void *p, size_t n) {
  auto *b = static_cast<const UCHAR *>(p);
  return std::vector<UCHAR>(b, b + n);
}

}  // namespace wmi_test
