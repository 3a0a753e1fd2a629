// advapi32's registry reading: keys opened below HKEY_LOCAL_MACHINE (which
// is \Registry\Machine), values queried and enumerated with Win32's rules:
// the error is the return value, ERROR_MORE_DATA with the size needed, and
// the ANSI entry points convert names and string data in the ANSI code page.
#include <windows.h>

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "sim/win32/src/last_error.h"
#include "sim/win32/src/nt_bridge.h"
#include "sim/win32/src/process_exit.h"

namespace sim {
namespace win32 {
namespace {

const char16_t kMachine[] = u"\\Registry\\Machine";

// The keys this process opened, closed when it ends.
struct OpenKeys {
  std::mutex lock;
  std::set<HKEY> keys;
};
OpenKeys &Keys() {
  static auto *keys = new OpenKeys;
  return *keys;
}

// HKEY_CLASSES_ROOT to HKEY_DYN_DATA, sign-extended as <windows.h> defines
// them; kernel handles (0x80000004 up) are never sign-extended.
bool IsPredefined(HKEY key) {
  ULONG_PTR v = reinterpret_cast<ULONG_PTR>(key);
  for (LONG k = (LONG)0x80000000; k <= (LONG)0x80000006; ++k)
    if (v == (ULONG_PTR)k) return true;
  return false;
}

// A kernel handle on the key an HKEY names: a predefined key is opened for
// the call (*temporary) and closed after it.
LSTATUS Resolve(HKEY key, REGSAM access, void **handle, bool *temporary) {
  *temporary = false;
  if (key == HKEY_LOCAL_MACHINE) {
    *temporary = true;
    return static_cast<LSTATUS>(Win32ErrorFromNtStatus(OpenKey(nullptr, kMachine, access, handle)));
  }
  if (IsPredefined(key)) return ERROR_INVALID_HANDLE;  // the machine keeps no user or class roots
  *handle = key;
  return ERROR_SUCCESS;
}

struct KeyUse {
  void *handle = nullptr;
  bool temporary = false;
  LSTATUS error;
  KeyUse(HKEY key, REGSAM access) { error = Resolve(key, access, &handle, &temporary); }
  ~KeyUse() {
    if (temporary && error == ERROR_SUCCESS) CloseKey(handle);
  }
};

LSTATUS ErrorOf(NtStatus status) { return static_cast<LSTATUS>(Win32ErrorFromNtStatus(status)); }

std::u16string FromWide(LPCWSTR s) {
  std::u16string out;
  if (s)
    for (; *s; ++s) out += static_cast<char16_t>(*s);
  return out;
}

std::u16string FromAnsi(LPCSTR s) {
  if (!s || !*s) return std::u16string();
  int n = MultiByteToWideChar(CP_ACP, 0, s, -1, nullptr, 0);
  std::u16string w(n, u'\0');
  MultiByteToWideChar(CP_ACP, 0, s, -1, reinterpret_cast<LPWSTR>(&w[0]), n);
  w.resize(n - 1);
  return w;
}

std::string ToAnsi(const char16_t *s, size_t count) {
  if (count == 0) return std::string();
  const auto *w = reinterpret_cast<LPCWSTR>(s);
  int n = WideCharToMultiByte(CP_ACP, 0, w, static_cast<int>(count), nullptr, 0, nullptr, nullptr);
  std::string out(n, '\0');
  WideCharToMultiByte(CP_ACP, 0, w, static_cast<int>(count), &out[0], n, nullptr, nullptr);
  return out;
}

bool IsString(uint32_t type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// String data as the ANSI entry points return it.
void DataToAnsi(uint32_t type, std::vector<uint8_t> *data) {
  if (!IsString(type)) return;
  std::string a = ToAnsi(reinterpret_cast<const char16_t *>(data->data()), data->size() / sizeof(char16_t));
  data->assign(a.begin(), a.end());
}

// The data into the caller's buffer, by Win32's rules for lpData/lpcbData.
LSTATUS CopyData(const std::vector<uint8_t> &data, LPBYTE out, LPDWORD size) {
  if (!size) return ERROR_SUCCESS;
  DWORD needed = static_cast<DWORD>(data.size());
  if (out && *size < needed) {
    *size = needed;
    return ERROR_MORE_DATA;
  }
  if (out) memcpy(out, data.data(), needed);
  *size = needed;
  return ERROR_SUCCESS;
}

LSTATUS OpenKeyEx(HKEY key, const std::u16string &subKey, REGSAM access, PHKEY result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  KeyUse use(key, access);
  if (use.error != ERROR_SUCCESS) return use.error;
  void *opened = nullptr;
  NtStatus status = OpenKey(use.handle, subKey, access, &opened);
  if (!NtSuccess(status)) return ErrorOf(status);
  *result = static_cast<HKEY>(opened);
  std::lock_guard<std::mutex> guard(Keys().lock);
  Keys().keys.insert(*result);
  return ERROR_SUCCESS;
}

LSTATUS QueryValueEx(HKEY key, const std::u16string &name, LPDWORD type, LPBYTE data, LPDWORD size, bool ansi) {
  if (data && !size) return ERROR_INVALID_PARAMETER;
  KeyUse use(key, KEY_QUERY_VALUE);
  if (use.error != ERROR_SUCCESS) return use.error;
  uint32_t t = 0;
  std::vector<uint8_t> bytes;
  NtStatus status = QueryValue(use.handle, name, &t, &bytes);
  if (!NtSuccess(status)) return ErrorOf(status);
  if (ansi) DataToAnsi(t, &bytes);
  if (type) *type = t;
  return CopyData(bytes, data, size);
}

// Copies a name and its terminator into a buffer of *chars characters;
// ERROR_MORE_DATA when it does not fit. *chars becomes the length without it.
// Plain loops: no std template is instantiated on wchar_t, whose size
// differs between this layer (16 bits) and the host's own code.
template <typename Char, typename Source>
LSTATUS CopyName(const Source &name, Char *out, LPDWORD chars) {
  if (*chars <= name.size()) return ERROR_MORE_DATA;
  for (size_t i = 0; i < name.size(); ++i) out[i] = static_cast<Char>(name[i]);
  out[name.size()] = 0;
  *chars = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

template <typename Char>
LSTATUS EnumValue(HKEY key, DWORD index, Char *name, LPDWORD nameChars, LPDWORD type, LPBYTE data, LPDWORD size,
                  bool ansi) {
  if (!name || !nameChars || (data && !size)) return ERROR_INVALID_PARAMETER;
  KeyUse use(key, KEY_QUERY_VALUE);
  if (use.error != ERROR_SUCCESS) return use.error;
  std::u16string n;
  uint32_t t = 0;
  std::vector<uint8_t> bytes;
  NtStatus status = sim::win32::EnumValue(use.handle, index, &n, &t, &bytes);
  if (!NtSuccess(status)) return ErrorOf(status);
  LSTATUS error;
  if (ansi) {
    DataToAnsi(t, &bytes);
    error = CopyName(ToAnsi(n.data(), n.size()), name, nameChars);
  } else {
    error = CopyName(n, name, nameChars);
  }
  if (error != ERROR_SUCCESS) return error;
  if (type) *type = t;
  return CopyData(bytes, data, size);
}

template <typename Char>
LSTATUS QueryInfoKey(HKEY key, Char *className, LPDWORD classChars, LPDWORD subKeys, LPDWORD maxSubKeyLen,
                     LPDWORD maxClassLen, LPDWORD values, LPDWORD maxValueNameLen, LPDWORD maxValueLen,
                     LPDWORD securityDescriptor, PFILETIME lastWrite) {
  if (className && !classChars) return ERROR_INVALID_PARAMETER;
  KeyUse use(key, KEY_QUERY_VALUE);
  if (use.error != ERROR_SUCCESS) return use.error;
  KeyCounts counts{};
  NtStatus status = QueryKey(use.handle, &counts);
  if (!NtSuccess(status)) return ErrorOf(status);
  // Keys here carry no class string: the empty one.
  if (classChars) {
    if (className && *classChars) className[0] = 0;
    *classChars = 0;
  }
  if (subKeys) *subKeys = counts.subKeys;
  if (maxSubKeyLen) *maxSubKeyLen = counts.maxSubKeyNameBytes / sizeof(char16_t);
  if (maxClassLen) *maxClassLen = 0;
  if (values) *values = counts.values;
  if (maxValueNameLen) *maxValueNameLen = counts.maxValueNameBytes / sizeof(char16_t);
  if (maxValueLen) *maxValueLen = counts.maxValueDataBytes;
  if (securityDescriptor) *securityDescriptor = 0;  // keys carry no security descriptor here
  if (lastWrite) {
    lastWrite->dwLowDateTime = static_cast<DWORD>(counts.lastWrite);
    lastWrite->dwHighDateTime = static_cast<DWORD>(counts.lastWrite >> 32);
  }
  return ERROR_SUCCESS;
}

}  // namespace

void CloseProcessKeys() {
  std::set<HKEY> open;
  {
    std::lock_guard<std::mutex> guard(Keys().lock);
    open.swap(Keys().keys);
  }
  for (HKEY k : open) CloseKey(k);
}

}  // namespace win32
}  // namespace sim

using namespace sim::win32;

extern "C" {

LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
  return OpenKeyEx(hKey, FromWide(lpSubKey), samDesired, phkResult);
}

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
  return OpenKeyEx(hKey, FromAnsi(lpSubKey), samDesired, phkResult);
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
  if (IsPredefined(hKey)) return ERROR_SUCCESS;
  {
    std::lock_guard<std::mutex> guard(Keys().lock);
    if (!Keys().keys.erase(hKey)) return ERROR_INVALID_HANDLE;
  }
  return ErrorOf(CloseKey(hKey));
}

LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
  return QueryValueEx(hKey, FromWide(lpValueName), lpType, lpData, lpcbData, false);
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
  return QueryValueEx(hKey, FromAnsi(lpValueName), lpType, lpData, lpcbData, true);
}

LSTATUS WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD,
                             LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  return EnumValue(hKey, dwIndex, lpValueName, lpcchValueName, lpType, lpData, lpcbData, false);
}

LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD,
                             LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  return EnumValue(hKey, dwIndex, lpValueName, lpcchValueName, lpType, lpData, lpcbData, true);
}

LSTATUS WINAPI RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD, LPDWORD lpcSubKeys,
                                LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                                LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
  return QueryInfoKey(hKey, lpClass, lpcchClass, lpcSubKeys, lpcbMaxSubKeyLen, lpcbMaxClassLen, lpcValues,
                      lpcbMaxValueNameLen, lpcbMaxValueLen, lpcbSecurityDescriptor, lpftLastWriteTime);
}

LSTATUS WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD, LPDWORD lpcSubKeys,
                                LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                                LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
  return QueryInfoKey(hKey, lpClass, lpcchClass, lpcSubKeys, lpcbMaxSubKeyLen, lpcbMaxClassLen, lpcValues,
                      lpcbMaxValueNameLen, lpcbMaxValueLen, lpcbSecurityDescriptor, lpftLastWriteTime);
}

}  // extern "C"
