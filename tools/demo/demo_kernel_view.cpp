#include "demo/demo_view.h"

#include <cstdio>
#include <string>
#include <vector>

#include <sim/kernel/internal.h>
#include <sim/kernel/registry.h>
#include <sim/kernel/sim.h>
#include <sim/kernel/wmi.h>

#include "driver/driver.h"
#include "driver/entry.h"
#include "registration/wmi.h"
#include "sim/usb/device.h"
#include "sim/world/world.h"

namespace demo {

namespace {

const char16_t kSerialComm[] = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
// {BBA21300-6DD3-11D2-B844-00C04FAD5171}
const GUID kWmiBlock = {0xBBA21300, 0x6DD3, 0x11D2, {0xB8, 0x44, 0x00, 0xC0, 0x4F, 0xAD, 0x51, 0x71}};

std::string Narrow(const std::u16string &s) { return std::string(s.begin(), s.end()); }

std::string Narrow(const UNICODE_STRING &s) {
  return s.Buffer == nullptr ? std::string() : Narrow(std::u16string(reinterpret_cast<const char16_t *>(s.Buffer),
                                                                     s.Length / sizeof(WCHAR)));
}

const char *StateName(ULONG state) {
  static const char *const names[] = {"NotStarted", "Working", "PendingStop", "PendingRemove", "SurpriseRemoved",
                                      "Removed"};
  return state < 6 ? names[state] : "?";
}

std::string PdoName(PDEVICE_OBJECT pdo) {
  std::vector<WCHAR> name(256);
  ULONG length = 0;
  if (!NT_SUCCESS(IoGetDeviceProperty(pdo, DevicePropertyPhysicalDeviceObjectName, ULONG(name.size() * 2),
                                      name.data(), &length)))
    return "?";
  return Narrow(std::u16string(reinterpret_cast<const char16_t *>(name.data())));
}

void ShowDeviceMap() {
  auto values = sim::registry::Values(kSerialComm);
  std::printf("  device map   HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM: %zu value(s)\n", values.size());
  for (const auto &v : values) {
    std::u16string data(reinterpret_cast<const char16_t *>(v.second.data.data()), v.second.data.size() / 2);
    while (!data.empty() && data.back() == 0) data.pop_back();
    std::printf("               %s = %s\n", Narrow(v.first).c_str(), Narrow(data).c_str());
  }
}

void ShowInterfaces() {
  auto interfaces = sim::EnabledDeviceInterfaces(GUID_DEVINTERFACE_COMPORT);
  std::printf("  interfaces   %zu enabled of class GUID_DEVINTERFACE_COMPORT\n", interfaces.size());
  for (const auto &i : interfaces) std::printf("               %s\n", Narrow(i).c_str());
}

void PrintBlock(const char *what, NTSTATUS status, const std::vector<UCHAR> &data) {
  if (!NT_SUCCESS(status) || data.size() < 6) {
    std::printf("  %-22s status 0x%08X\n", what, unsigned(status));
    return;
  }
  ULONG setting = data[0] | data[1] << 8 | data[2] << 16 | ULONG(data[3]) << 24;
  std::string text;
  for (size_t i = 6; i + 1 < data.size() && data[i] != 0; i += 2) text += char(data[i]);
  std::printf("  %-22s %zu bytes: setting %lu, text \"%s\"\n", what, data.size(), (unsigned long)setting,
              text.c_str());
}

}  // namespace

void ShowDriverLoaded(sim::World &world) {
  std::printf("  %s loaded: DriverEntry kept its service key %s\n", Narrow(world.DriverObject()->DriverName).c_str(),
              Narrow(DriverRegistryPath).c_str());
}

void ShowConfiguration(sim::World &world) {
  PDEVICE_EXTENSION ext = world.Extension();
  if (ext == nullptr) return;
  std::printf("  AddDevice and IRP_MN_START_DEVICE done: state %s, %s\n", StateName(ext->DeviceState),
              ext->WakeSupported ? "wake-capable" : "not wake-capable");
  PUSBD_INTERFACE_INFORMATION info = ext->InterfaceInfo;
  if (info == nullptr) return;
  std::printf("  configuration selected: interface %u, %lu pipes\n", unsigned(info->InterfaceNumber),
              (unsigned long)info->NumberOfPipes);
  for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
    const USBD_PIPE_INFORMATION &p = info->Pipes[i];
    std::printf("               endpoint 0x%02X bulk %s, %u-byte packets, transfers up to %lu bytes\n",
                unsigned(p.EndpointAddress), (p.EndpointAddress & 0x80) ? "IN " : "OUT",
                unsigned(p.MaximumPacketSize), (unsigned long)p.MaximumTransferSize);
  }
}

void ShowPortNames(sim::World &world) {
  world.Run([&] {
    PDEVICE_OBJECT pdo = world.Modem()->Pdo();
    PDEVICE_OBJECT linked = sim::internal::LookupDevice(L"\\DosDevices\\COM7");
    std::printf("  link         \\DosDevices\\COM7 -> %s%s\n", PdoName(pdo).c_str(),
                linked == pdo ? "" : " (not found)");
    ShowInterfaces();
  });
  ShowDeviceMap();
}

bool ShowWmiBlock(sim::World &world) {
  bool ok = true;
  world.Run([&] {
    sim::wmi::Registration reg;
    NTSTATUS status = sim::wmi::RegInfo(world.Fdo(), &reg);
    if (!NT_SUCCESS(status) || reg.guids.empty() || reg.guids[0].instanceNames.empty()) {
      std::printf("  WMI registration: status 0x%08X\n", unsigned(status));
      ok = false;
      return;
    }
    const std::string &instance = reg.guids[0].instanceNames[0];
    std::printf("  provider     instance %s, MOF resource \"%s\"\n", instance.c_str(), reg.mofResourceName.c_str());
    std::vector<UCHAR> data;
    status = sim::wmi::QuerySingleInstance(kWmiBlock, instance, &data);
    PrintBlock("query", status, data);
    ok = ok && NT_SUCCESS(status);
    std::vector<UCHAR> five = {5, 0, 0, 0};
    status = sim::wmi::SetSingleItem(kWmiBlock, instance, 1, five);
    std::printf("  %-22s status 0x%08X\n", "set item 1 to 5", unsigned(status));
    ok = ok && NT_SUCCESS(status);
    status = sim::wmi::QuerySingleInstance(kWmiBlock, instance, &data);
    PrintBlock("query again", status, data);
    ok = ok && NT_SUCCESS(status) && data.size() >= 4 && data[0] == 5;
  });
  return ok;
}

void ShowPortWithdrawn() {
  std::printf("  after IRP_MN_REMOVE_DEVICE and the unload:\n");
  ShowInterfaces();
  ShowDeviceMap();
}

void ShowPowerState(sim::World &world) {
  static const char *const system[] = {"?", "S0", "S1", "S2", "S3", "S4", "S5"};
  static const char *const device[] = {"?", "D0", "D1", "D2", "D3"};
  PDEVICE_EXTENSION ext = world.Extension();
  if (ext == nullptr) return;
  int s = world.SystemPowerState();
  DEVICE_POWER_STATE bus = world.Modem()->PowerState();
  std::printf("  system %s; driver: system %s, device %s, reader %s, wait-wake %s; bus port in %s\n",
              s >= 0 && s < 7 ? system[s] : "?", ext->SystemPowerState < 7 ? system[ext->SystemPowerState] : "?",
              ext->DevicePowerState < 5 ? device[ext->DevicePowerState] : "?",
              ext->ReaderThread != nullptr ? "running" : "stopped", ext->WaitWakePending ? "armed" : "idle",
              bus < 5 ? device[bus] : "?");
}

}  // namespace demo
