// SetupAPI's device interface sets: a snapshot of the enabled interfaces of
// a class taken at SetupDiGetClassDevs, each with the user-mode DevicePath
// (\\?\ and the kernel's link name, in lower case) that CreateFile opens.
#include <setupapi.h>

#include <cstddef>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "sim/win32/src/nt_bridge.h"

namespace {

struct InterfaceEntry {
  GUID classGuid;
  std::u16string path;  // \\?\usb#vid_1234&pid_5678#5&0&0&1#{guid}
};

struct InfoSet {
  std::vector<InterfaceEntry> interfaces;
};

// Threads of a program may share one set, as SetupAPI allows.
std::mutex &SetsLock() {
  static std::mutex lock;
  return lock;
}

std::set<InfoSet *> &LiveSets() {
  static auto *sets = new std::set<InfoSet *>;
  return *sets;
}

InfoSet *FindSet(HDEVINFO h) {
  std::lock_guard<std::mutex> guard(SetsLock());
  auto *set = static_cast<InfoSet *>(h);
  return LiveSets().count(set) ? set : nullptr;
}

char16_t Lower(char16_t c) { return c >= 'A' && c <= 'Z' ? char16_t(c - 'A' + 'a') : c; }

std::u16string DevicePath(const std::u16string &link) {
  std::u16string path = u"\\\\?\\";
  for (size_t i = 4; i < link.size(); ++i) path += Lower(link[i]);
  return path;
}

// An enumerator such as "USB" names the start of the device instance path.
bool FromEnumerator(const std::u16string &path, const std::u16string &enumerator) {
  if (enumerator.empty()) return true;
  if (path.size() < 4 + enumerator.size() + 1) return false;
  for (size_t i = 0; i < enumerator.size(); ++i)
    if (path[4 + i] != Lower(enumerator[i])) return false;
  return path[4 + enumerator.size()] == u'#';
}

HDEVINFO GetClassDevs(const GUID *classGuid, const std::u16string &enumerator, DWORD flags) {
  if (!(flags & DIGCF_DEVICEINTERFACE)) {
    SetLastError(ERROR_INVALID_FLAGS);
    return INVALID_HANDLE_VALUE;
  }
  if (!classGuid && !(flags & DIGCF_ALLCLASSES)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  if (flags & DIGCF_ALLCLASSES) {  // the machine keeps interfaces by class only
    SetLastError(ERROR_INVALID_FLAGS);
    return INVALID_HANDLE_VALUE;
  }
  // Interfaces that were never enabled or whose device is gone are not kept,
  // so the set is the same with or without DIGCF_PRESENT.
  auto *set = new InfoSet;
  for (const std::u16string &link : sim::win32::EnabledInterfaces(classGuid)) {
    std::u16string path = DevicePath(link);
    if (FromEnumerator(path, enumerator)) set->interfaces.push_back({*classGuid, path});
  }
  {
    std::lock_guard<std::mutex> guard(SetsLock());
    LiveSets().insert(set);
  }
  SetLastError(ERROR_SUCCESS);
  return set;
}

// The entry a SP_DEVICE_INTERFACE_DATA of this set names; null (and the last
// error set) when the data is malformed or belongs to no entry.
const InterfaceEntry *EntryOf(HDEVINFO h, PSP_DEVICE_INTERFACE_DATA data) {
  InfoSet *set = FindSet(h);
  if (!set) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return nullptr;
  }
  if (data->Reserved >= set->interfaces.size()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return &set->interfaces[data->Reserved];
}

// The two-call protocol: without a buffer (size 0) or with one too small,
// FALSE with ERROR_INSUFFICIENT_BUFFER and the size needed; a buffer whose
// cbSize is not the structure's own is refused.
template <typename Detail, typename Char>
BOOL GetDetail(HDEVINFO h, PSP_DEVICE_INTERFACE_DATA data, Detail *detail, DWORD size, PDWORD required,
               PSP_DEVINFO_DATA devInfo) {
  const InterfaceEntry *entry = EntryOf(h, data);
  if (!entry) return FALSE;
  if ((detail == nullptr) != (size == 0)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (detail && detail->cbSize != sizeof(Detail)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (devInfo && devInfo->cbSize != sizeof(SP_DEVINFO_DATA)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  DWORD needed = DWORD(offsetof(Detail, DevicePath) + (entry->path.size() + 1) * sizeof(Char));
  if (required) *required = needed;
  if (size < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  for (size_t i = 0; i < entry->path.size(); ++i) detail->DevicePath[i] = Char(entry->path[i]);
  detail->DevicePath[entry->path.size()] = 0;
  if (devInfo) {
    devInfo->ClassGuid = entry->classGuid;
    devInfo->DevInst = DWORD(data->Reserved + 1);
    devInfo->Reserved = data->Reserved;
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

}  // namespace

extern "C" HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID *ClassGuid, PCWSTR Enumerator, HWND hwndParent,
                                               DWORD Flags) {
  std::u16string enumerator;
  for (const WCHAR *c = Enumerator; c && *c; ++c) enumerator += char16_t(*c);
  return GetClassDevs(ClassGuid, enumerator, Flags);
}

extern "C" HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *ClassGuid, PCSTR Enumerator, HWND hwndParent,
                                               DWORD Flags) {
  std::u16string enumerator;
  for (const char *c = Enumerator; c && *c; ++c) enumerator += char16_t((unsigned char)*c);
  return GetClassDevs(ClassGuid, enumerator, Flags);
}

extern "C" BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                   const GUID *InterfaceClassGuid, DWORD MemberIndex,
                                                   PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
  InfoSet *set = FindSet(DeviceInfoSet);
  if (!set) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!InterfaceClassGuid || !DeviceInterfaceData) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  // One interface of each device here, so a device's members are its one entry.
  DWORD seen = 0;
  for (size_t i = 0; i < set->interfaces.size(); ++i) {
    const InterfaceEntry &e = set->interfaces[i];
    if (memcmp(&e.classGuid, InterfaceClassGuid, sizeof(GUID)) != 0) continue;
    if (DeviceInfoData && DeviceInfoData->Reserved != i) continue;
    if (seen++ != MemberIndex) continue;
    DeviceInterfaceData->InterfaceClassGuid = e.classGuid;
    DeviceInterfaceData->Flags = SPINT_ACTIVE;
    DeviceInterfaceData->Reserved = i;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  SetLastError(ERROR_NO_MORE_ITEMS);
  return FALSE;
}

extern "C" BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO DeviceInfoSet,
                                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                                        PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
                                                        DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                                        PSP_DEVINFO_DATA DeviceInfoData) {
  return GetDetail<SP_DEVICE_INTERFACE_DETAIL_DATA_W, WCHAR>(DeviceInfoSet, DeviceInterfaceData,
                                                            DeviceInterfaceDetailData, DeviceInterfaceDetailDataSize,
                                                            RequiredSize, DeviceInfoData);
}

extern "C" BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet,
                                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                                        PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                                        DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                                        PSP_DEVINFO_DATA DeviceInfoData) {
  return GetDetail<SP_DEVICE_INTERFACE_DETAIL_DATA_A, CHAR>(DeviceInfoSet, DeviceInterfaceData,
                                                           DeviceInterfaceDetailData, DeviceInterfaceDetailDataSize,
                                                           RequiredSize, DeviceInfoData);
}

extern "C" BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  InfoSet *set = FindSet(DeviceInfoSet);
  if (!set) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  {
    std::lock_guard<std::mutex> guard(SetsLock());
    LiveSets().erase(set);
  }
  delete set;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
