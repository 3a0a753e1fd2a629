// An overlapped reader driven by WaitCommEvent(EV_RXCHAR): a second thread
// writes messages through the loopback modem while the main thread waits for
// received characters and takes whatever has arrived.
#include <windows.h>

#include <stdio.h>
#include <string.h>

static HANDLE port;
static const char *const kMessages[] = {"ATZ\r", "ATDT5551234\r", "+++", "ATH0\r"};

static DWORD WINAPI Writer(LPVOID) {
  OVERLAPPED ov;
  memset(&ov, 0, sizeof(ov));
  ov.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
  for (const char *m : kMessages) {
    DWORD written = 0;
    if (!WriteFile(port, m, (DWORD)strlen(m), &written, &ov)) {
      if (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(port, &ov, &written, TRUE)) return 1;
    }
    Sleep(50);
  }
  CloseHandle(ov.hEvent);
  return 0;
}

int main() {
  port = CreateFileA("\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                     NULL);
  if (port == INVALID_HANDLE_VALUE) {
    printf("CreateFile failed: %lu\n", (unsigned long)GetLastError());
    return 1;
  }
  COMMPROP props;
  GetCommProperties(port, &props);
  printf("receive queue %lu bytes, max baud 0x%08lx\n", (unsigned long)props.dwMaxRxQueue,
         (unsigned long)props.dwMaxBaud);

  // Reads return at once with what has arrived.
  COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 0, 0};
  SetCommTimeouts(port, &timeouts);
  SetCommMask(port, EV_RXCHAR);

  size_t expected = 0;
  for (const char *m : kMessages) expected += strlen(m);

  HANDLE writer = CreateThread(NULL, 0, Writer, NULL, 0, NULL);
  OVERLAPPED ov;
  memset(&ov, 0, sizeof(ov));
  ov.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
  char received[128];
  size_t total = 0;
  while (total < expected) {
    DWORD events = 0;
    if (!WaitCommEvent(port, &events, &ov)) {
      if (GetLastError() != ERROR_IO_PENDING) break;
      if (WaitForSingleObject(ov.hEvent, 1000) != WAIT_OBJECT_0) {
        printf("no data for a second\n");
        break;
      }
      DWORD ignored;
      GetOverlappedResult(port, &ov, &ignored, FALSE);
    }
    if (!(events & EV_RXCHAR)) continue;
    COMSTAT stat;
    DWORD errors;
    ClearCommError(port, &errors, &stat);
    DWORD got = 0;
    OVERLAPPED rov;
    memset(&rov, 0, sizeof(rov));
    rov.hEvent = ov.hEvent;
    if (!ReadFile(port, received + total, (DWORD)(sizeof(received) - 1 - total), &got, &rov)) {
      if (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(port, &rov, &got, TRUE)) break;
    }
    printf("at %lu ms: %lu queued, read %lu\n", (unsigned long)GetTickCount(), (unsigned long)stat.cbInQue,
           (unsigned long)got);
    total += got;
  }
  received[total] = 0;
  WaitForSingleObject(writer, INFINITE);
  DWORD writerStatus = 1;
  GetExitCodeThread(writer, &writerStatus);
  CloseHandle(writer);
  CloseHandle(ov.hEvent);
  CloseHandle(port);

  size_t offset = 0;
  for (const char *m : kMessages) {
    if (strncmp(received + offset, m, strlen(m)) != 0) {
      printf("received bytes out of order\n");
      return 1;
    }
    offset += strlen(m);
  }
  printf("all %lu bytes back in order\n", (unsigned long)total);
  return writerStatus == 0 && total == expected ? 0 : 1;
}
