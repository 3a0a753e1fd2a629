// Writes a line to COM7 and reads it back: with the loopback modem every byte
// written comes back on the receive side.
#include <windows.h>

#include <stdio.h>
#include <string.h>

int main(int argc, char **argv) {
  const char *text = argc > 1 ? argv[1] : "Hello from COM7\r\n";
  HANDLE port = CreateFileW(L"\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
  if (port == INVALID_HANDLE_VALUE) {
    printf("CreateFile failed: %lu\n", (unsigned long)GetLastError());
    return 1;
  }

  DCB dcb;
  memset(&dcb, 0, sizeof(dcb));
  dcb.DCBlength = sizeof(dcb);
  GetCommState(port, &dcb);
  dcb.BaudRate = CBR_115200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  if (!SetCommState(port, &dcb)) {
    printf("SetCommState failed: %lu\n", (unsigned long)GetLastError());
    CloseHandle(port);
    return 1;
  }

  COMMTIMEOUTS timeouts = {0, 0, 500, 0, 0};
  SetCommTimeouts(port, &timeouts);

  DWORD length = (DWORD)strlen(text);
  DWORD written = 0;
  if (!WriteFile(port, text, length, &written, NULL) || written != length) {
    printf("WriteFile failed: %lu (wrote %lu)\n", (unsigned long)GetLastError(), (unsigned long)written);
    CloseHandle(port);
    return 1;
  }

  char echo[256];
  DWORD received = 0;
  DWORD start = GetTickCount();
  while (received < length && GetTickCount() - start < 2000) {
    DWORD got = 0;
    if (!ReadFile(port, echo + received, length - received, &got, NULL)) {
      printf("ReadFile failed: %lu\n", (unsigned long)GetLastError());
      break;
    }
    received += got;
  }
  echo[received] = 0;
  printf("wrote %lu bytes, read back %lu in %lu ms: %s", (unsigned long)written, (unsigned long)received,
         (unsigned long)(GetTickCount() - start), echo);
  if (received == 0 || echo[received - 1] != '\n') printf("\n");

  CloseHandle(port);
  return received == length && memcmp(echo, text, length) == 0 ? 0 : 1;
}
