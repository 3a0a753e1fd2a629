// The registry as a Win32 program reads it: the COM ports a terminal program
// lists from HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, with the two-call size
// protocol, ERROR_MORE_DATA, ERROR_NO_MORE_ITEMS and the ANSI entry points.
#include <gtest/gtest.h>

#include <windows.h>

#include <set>
#include <string>
#include <vector>

#include "support/win32_machine.h"
#include "win32/registry_helper.h"

using namespace testing_support;

namespace {

const char kSerialComm[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

std::string Narrow(const std::u16string &s) { return std::string(s.begin(), s.end()); }

// Wide text by hand: std templates on wchar_t are kept out of Win32 code.
std::string Narrow(const WCHAR *s, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out += static_cast<char>(s[i]);
  return out;
}

// What a terminal program does to offer its COM ports: the key's maxima,
// then each value by index until there are no more.
std::vector<std::pair<std::string, std::string>> ListPortsW() {
  std::vector<std::pair<std::string, std::string>> ports;
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
    return ports;
  DWORD values = 0, maxName = 0, maxData = 0;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(key, NULL, NULL, NULL, NULL, NULL, NULL, &values, &maxName, &maxData,
                                            NULL, NULL));
  for (DWORD i = 0;; ++i) {
    std::u16string name(maxName + 1, u'\0');
    std::vector<BYTE> data(maxData);
    DWORD nameChars = maxName + 1, dataBytes = maxData, type = 0;
    LSTATUS e = RegEnumValueW(key, i, reinterpret_cast<LPWSTR>(&name[0]), &nameChars, NULL, &type, data.data(),
                              &dataBytes);
    if (e == ERROR_NO_MORE_ITEMS) break;
    EXPECT_EQ(ERROR_SUCCESS, e);
    if (e != ERROR_SUCCESS) break;
    EXPECT_EQ((DWORD)REG_SZ, type);
    const WCHAR *port = reinterpret_cast<const WCHAR *>(data.data());
    ports.emplace_back(Narrow(name.substr(0, nameChars)), Narrow(port, dataBytes / sizeof(WCHAR) - 1));
  }
  EXPECT_EQ(values, ports.size());
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
  return ports;
}

TEST(Registry, ATerminalProgramListsTheComPortsTheKernelSideWrote) {
  RunOnOneMachine([](sim::World &) {
    ASSERT_EQ(0, probe::WriteSerialComm(u"\\Device\\TestSerial0", u"COM3"));
    ASSERT_EQ(0, probe::WriteSerialComm(u"\\Device\\TestSerial12", u"COM12"));
    std::vector<std::pair<std::string, std::string>> listed = ListPortsW();
    // Exactly what the registry holds, in its order (a driver's own port included).
    std::vector<std::pair<std::string, std::string>> held;
    for (const auto &e : probe::SerialCommEntries()) held.emplace_back(Narrow(e.first), Narrow(e.second));
    EXPECT_EQ(held, listed);
    std::set<std::pair<std::string, std::string>> found(listed.begin(), listed.end());
    EXPECT_TRUE(found.count({"\\Device\\TestSerial0", "COM3"}));
    EXPECT_TRUE(found.count({"\\Device\\TestSerial12", "COM12"}));

    ASSERT_EQ(0, probe::DeleteSerialComm(u"\\Device\\TestSerial0"));
    found.clear();
    for (const auto &p : ListPortsW()) found.insert(p);
    EXPECT_FALSE(found.count({"\\Device\\TestSerial0", "COM3"}));
    EXPECT_TRUE(found.count({"\\Device\\TestSerial12", "COM12"}));
  });
}

TEST(Registry, SizesMoreDataAndTheAnsiEntryPoints) {
  RunOnOneMachine([](sim::World &) {
    ASSERT_EQ(0, probe::WriteSerialComm(u"\\Device\\TestSerial12", u"COM12"));
    HKEY key;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\NoSuchKey", 0, KEY_READ, &key));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialComm, 0, KEY_READ, NULL));
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialComm, 0, KEY_READ, &key));

    // The size first, then the data; a buffer too small is ERROR_MORE_DATA with the size.
    DWORD type = 0, size = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, L"\\Device\\TestSerial12", NULL, &type, NULL, &size));
    EXPECT_EQ((DWORD)REG_SZ, type);
    EXPECT_EQ(6 * sizeof(WCHAR), size);
    WCHAR wide[8];
    size = 4;
    EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExW(key, L"\\Device\\TestSerial12", NULL, NULL, (LPBYTE)wide, &size));
    EXPECT_EQ(6 * sizeof(WCHAR), size);
    size = sizeof wide;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, L"\\device\\testserial12", NULL, NULL, (LPBYTE)wide, &size));
    EXPECT_EQ(0, wcscmp(L"COM12", wide));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegQueryValueExW(key, L"\\Device\\TestSerial12", NULL, NULL, (LPBYTE)wide, NULL));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(key, L"\\Device\\Nothing", NULL, NULL, NULL, &size));

    // ANSI: names and string data in the ANSI code page, sizes in its bytes.
    char ansi[8];
    size = sizeof ansi;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "\\Device\\TestSerial12", NULL, &type, (LPBYTE)ansi, &size));
    EXPECT_EQ(6u, size);
    EXPECT_STREQ("COM12", ansi);

    DWORD index = 0;
    for (;; ++index) {  // find our value among any others
      char name[64];
      DWORD nameChars = sizeof name;
      size = sizeof ansi;
      ASSERT_EQ(ERROR_SUCCESS, RegEnumValueA(key, index, name, &nameChars, NULL, &type, (LPBYTE)ansi, &size));
      if (std::string(name) == "\\Device\\TestSerial12") {
        EXPECT_EQ(strlen(name), nameChars);
        break;
      }
    }
    char shortName[4];
    DWORD nameChars = sizeof shortName;
    size = sizeof ansi;
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumValueA(key, index, shortName, &nameChars, NULL, NULL, (LPBYTE)ansi, &size));
    char name[64];
    nameChars = sizeof name;
    size = 2;
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumValueA(key, index, name, &nameChars, NULL, NULL, (LPBYTE)ansi, &size));
    EXPECT_EQ(6u, size);
    DWORD values = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(key, NULL, NULL, NULL, NULL, NULL, NULL, &values, NULL, NULL, NULL, NULL));
    nameChars = sizeof name;
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumValueA(key, values, name, &nameChars, NULL, NULL, NULL, NULL));

    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(key));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(HKEY_LOCAL_MACHINE));  // predefined keys stay
  });
}

}  // namespace
