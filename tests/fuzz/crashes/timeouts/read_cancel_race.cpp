// A queued read with no time-outs, cancelled by CancelIo 100 ms later, then
// a long write cancelled the same way. Crashes in IoCancelIrp (a wild
// CurrentStackLocation) under USBMODEM_SEED=1 USBMODEM_CPUS=2; not yet mended.
//   USBMODEM_SEED=1 USBMODEM_CPUS=2 tools/run-win32 tests/fuzz/crashes/timeouts/read_cancel_race.cpp
//   build/host-fuzz/timeouts_fuzz tests/fuzz/crashes/timeouts/read_cancel_race
#include <windows.h>
#include <stdio.h>
#include <vector>
static long Finish(HANDLE h, OVERLAPPED *o, BOOL started, DWORD waitMs) {
  DWORD moved = 0;
  if (!started && GetLastError() != ERROR_IO_PENDING) return -1;
  if (WaitForSingleObject(o->hEvent, waitMs) == WAIT_TIMEOUT) {
    CancelIo(h);
    if (WaitForSingleObject(o->hEvent, 5000) == WAIT_TIMEOUT) { printf("outlived cancel\n"); return -2; }
  }
  return GetOverlappedResult(h, o, &moved, FALSE) ? long(moved) : -1;
}
int main(int, char **) {
  HANDLE h = CreateFileW(L"\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
  if (h == INVALID_HANDLE_VALUE) return 2;
  COMMTIMEOUTS t = {0, 0, 0, 0, 0};
  SetCommTimeouts(h, &t);
  std::vector<unsigned char> in(16), out(7184);
  OVERLAPPED o = {};
  o.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
  DWORD n = 0;
  BOOL done = ReadFile(h, in.data(), 16, &n, &o);
  printf("read %ld\n", Finish(h, &o, done, 100));
  CloseHandle(o.hEvent);
  OVERLAPPED w = {};
  w.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
  done = WriteFile(h, out.data(), DWORD(out.size()), &n, &w);
  printf("write %ld\n", Finish(h, &w, done, 100));
  CloseHandle(w.hEvent);
  CloseHandle(h);
  return 0;
}
