/* Lists the COM ports as terminal programs do, through the serial device map
   in the registry and through the COM-port device interfaces, then opens each
   port the device map names and shows its modem lines. */
#include <windows.h>
#include <ntddser.h>
#include <setupapi.h>

#include <stdio.h>
#include <string.h>

static int ListDeviceMap(char names[][32], int capacity) {
  HKEY key;
  DWORD values = 0, longestName = 0, longestData = 0, i;
  int count = 0;
  LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key);
  if (result != ERROR_SUCCESS) {
    printf("SERIALCOMM: cannot be opened (error %ld)\n", (long)result);
    return 0;
  }
  RegQueryInfoKeyA(key, NULL, NULL, NULL, NULL, NULL, NULL, &values, &longestName, &longestData, NULL, NULL);
  printf("HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM: %lu value(s)\n", (unsigned long)values);
  for (i = 0; i < values && count < capacity; ++i) {
    char name[256], data[64];
    DWORD nameLength = sizeof name, dataLength = sizeof data - 1, type = 0;
    if (RegEnumValueA(key, i, name, &nameLength, NULL, &type, (LPBYTE)data, &dataLength) != ERROR_SUCCESS) break;
    data[dataLength] = 0;
    printf("  %s = %s\n", name, type == REG_SZ ? data : "(not a string)");
    if (type == REG_SZ) {
      strncpy(names[count], data, sizeof names[count] - 1);
      names[count][sizeof names[count] - 1] = 0;
      ++count;
    }
  }
  RegCloseKey(key);
  return count;
}

static void ListInterfaces(void) {
  HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_COMPORT, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  SP_DEVICE_INTERFACE_DATA data;
  DWORD index = 0;
  if (set == INVALID_HANDLE_VALUE) return;
  printf("COM port device interfaces:\n");
  data.cbSize = sizeof data;
  while (SetupDiEnumDeviceInterfaces(set, NULL, &GUID_DEVINTERFACE_COMPORT, index++, &data)) {
    char buffer[512];
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail = (PSP_DEVICE_INTERFACE_DETAIL_DATA_A)buffer;
    detail->cbSize = sizeof *detail;
    if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, sizeof buffer, NULL, NULL))
      printf("  %s\n", detail->DevicePath);
  }
  SetupDiDestroyDeviceInfoList(set);
}

static int ShowPort(const char *name) {
  char path[64];
  DWORD lines = 0;
  HANDLE port;
  snprintf(path, sizeof path, "\\\\.\\%s", name);
  port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
  if (port == INVALID_HANDLE_VALUE) {
    printf("%s: cannot be opened (error %lu)\n", name, (unsigned long)GetLastError());
    return 1;
  }
  GetCommModemStatus(port, &lines);
  printf("%s: open; CTS %s, DSR %s, carrier %s\n", name, (lines & MS_CTS_ON) ? "on" : "off",
         (lines & MS_DSR_ON) ? "on" : "off", (lines & MS_RLSD_ON) ? "on" : "off");
  CloseHandle(port);
  return 0;
}

int main(void) {
  char names[8][32];
  int count = ListDeviceMap(names, 8), failures = 0, i;
  ListInterfaces();
  for (i = 0; i < count; ++i) failures += ShowPort(names[i]);
  return count > 0 && failures == 0 ? 0 : 1;
}
