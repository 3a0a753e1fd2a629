/* A C program: looks for COM port interfaces through SetupAPI, echoes a
   line through COM7 timed by the performance counter, and reports a refused
   request in the system's words. */
#include <windows.h>
#include <ntddser.h>
#include <setupapi.h>
#include <tchar.h>

#include <stdio.h>
#include <string.h>

static void PrintError(const char *what, DWORD error) {
  LPSTR text = NULL;
  if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
                     NULL, error, 0, (LPSTR)&text, 0, NULL)) {
    printf("%s: error %lu: %s", what, (unsigned long)error, text);
    LocalFree(text);
  } else {
    printf("%s: error %lu\n", what, (unsigned long)error);
  }
}

static int CountComPortInterfaces(void) {
  HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_COMPORT, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  SP_DEVICE_INTERFACE_DATA data;
  int count = 0;
  if (set == INVALID_HANDLE_VALUE) return -1;
  data.cbSize = sizeof(data);
  while (SetupDiEnumDeviceInterfaces(set, NULL, &GUID_DEVINTERFACE_COMPORT, (DWORD)count, &data)) ++count;
  SetupDiDestroyDeviceInfoList(set);
  return count;
}

int _tmain(int argc, _TCHAR **argv) {
  const char *text = argc > 1 ? argv[1] : "Hello from C\r\n";
  DWORD length = (DWORD)strlen(text), written = 0, received = 0;
  COMMTIMEOUTS timeouts = {0, 0, 500, 0, 0};
  LARGE_INTEGER frequency, start, end;
  char echo[256];
  HANDLE port;

  printf("COM port interfaces: %d\n", CountComPortInterfaces());
  port = CreateFile(_T("\\\\.\\COM7"), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
  if (port == INVALID_HANDLE_VALUE) {
    PrintError("CreateFile", GetLastError());
    return 1;
  }
  SetCommTimeouts(port, &timeouts);
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  if (!WriteFile(port, text, length, &written, NULL)) PrintError("WriteFile", GetLastError());
  while (received < length) {
    DWORD got = 0;
    if (!ReadFile(port, echo + received, length - received, &got, NULL) || got == 0) break;
    received += got;
  }
  QueryPerformanceCounter(&end);
  echo[received] = 0;
  printf("echoed %lu of %lu bytes in %.1f ms\n", (unsigned long)received, (unsigned long)length,
         1000.0 * (double)(end.QuadPart - start.QuadPart) / (double)frequency.QuadPart);
  if (!FlushFileBuffers(port)) PrintError("FlushFileBuffers", GetLastError());
  CloseHandle(port);
  return received == length && memcmp(echo, text, length) == 0 ? 0 : 1;
}
