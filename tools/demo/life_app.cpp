// The demo's last two acts, as an application sees them: the system sleeps
// and resumes while the port is open, then the modem is pulled out while a
// read is pending.
#include <windows.h>

#include <cstdio>
#include <string>

#include "demo/demo_view.h"
#include "sim/world/world.h"

namespace demo {

namespace {

const int kS3 = 4;

HANDLE OpenPort() {
  HANDLE port = CreateFileW(L"\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, NULL);
  if (port == INVALID_HANDLE_VALUE) std::printf("  CreateFile failed: error %u\n", unsigned(GetLastError()));
  return port;
}

// Waits for an overlapped request; FALSE with the error in GetLastError.
BOOL Finish(HANDLE port, BOOL ok, OVERLAPPED *ov, DWORD *n) {
  if (ok) return TRUE;
  if (GetLastError() != ERROR_IO_PENDING) return FALSE;
  return GetOverlappedResult(port, ov, n, TRUE);
}

std::string Printable(const std::string &s) {
  std::string out;
  for (char c : s) {
    if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

// One command line to the modem and what came back within the time-outs.
bool Command(HANDLE port, const char *line) {
  OVERLAPPED ov = {};
  ov.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
  DWORD n = 0;
  bool ok = Finish(port, WriteFile(port, line, (DWORD)strlen(line), &n, &ov), &ov, &n) != FALSE;
  std::string reply;
  char buffer[64];
  while (ok) {
    ResetEvent(ov.hEvent);
    if (!Finish(port, ReadFile(port, buffer, sizeof buffer, &n, &ov), &ov, &n) || n == 0) break;
    reply.append(buffer, n);
    if (reply.find("OK\r\n") != std::string::npos) break;
  }
  CloseHandle(ov.hEvent);
  std::printf("  > %s   < %s\n", Printable(line).c_str(), Printable(reply).c_str());
  return reply.find("OK") != std::string::npos;
}

std::string ErrorText(DWORD error) {
  char text[256] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, error, 0, text, sizeof text, NULL);
  std::string s(text);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

}  // namespace

int SleepAndResumeWithThePortOpen(sim::World &world) {
  HANDLE port = OpenPort();
  if (port == INVALID_HANDLE_VALUE) return 1;
  COMMTIMEOUTS t = {50, 0, 500, 0, 0};
  SetCommTimeouts(port, &t);
  int failures = !Command(port, "AT\r");
  std::printf("  the system goes to sleep (S3) with COM7 open\n");
  if (!world.Sleep(kS3)) {
    std::printf("  the sleep was refused\n");
    ++failures;
  }
  ShowPowerState(world);
  std::printf("  the user presses the power button: back to S0\n");
  world.Wake();
  Sleep(100);
  ShowPowerState(world);
  failures += !Command(port, "ATI3\r");
  CloseHandle(port);
  return failures;
}

int PullOutWithAReadPending(sim::World &world) {
  HANDLE port = OpenPort();
  if (port == INVALID_HANDLE_VALUE) return 1;
  COMMTIMEOUTS t = {0, 0, 0, 0, 0};  // a read waits for its bytes
  SetCommTimeouts(port, &t);
  SetCommMask(port, EV_RXCHAR | EV_DSR | EV_RLSD);
  OVERLAPPED waitOv = {};
  waitOv.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
  DWORD events = 0;
  BOOL ok = WaitCommEvent(port, &events, &waitOv);
  std::printf("  WaitCommEvent for data or a line change: %s\n",
              !ok && GetLastError() == ERROR_IO_PENDING ? "pending" : "did not pend");
  OVERLAPPED ov = {};
  ov.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
  char buffer[16];
  DWORD n = 0;
  ok = ReadFile(port, buffer, sizeof buffer, &n, &ov);
  std::printf("  ReadFile of %u bytes: %s\n", unsigned(sizeof buffer),
              !ok && GetLastError() == ERROR_IO_PENDING ? "pending" : "did not pend");
  std::printf("  the modem is pulled out of its USB port\n");
  world.Unplug();
  ok = GetOverlappedResult(port, &waitOv, &n, TRUE);
  std::printf("  the wait ends: %s, events 0x%X: the device is gone\n", ok ? "success" : ErrorText(GetLastError()).c_str(),
              unsigned(events));
  CloseHandle(waitOv.hEvent);
  ok = GetOverlappedResult(port, &ov, &n, TRUE);
  std::printf("  the read ends: %s, %u bytes\n", ok ? "success" : ErrorText(GetLastError()).c_str(), unsigned(n));
  // Wait for the hub's notice: the surprise removal fails what comes next.
  Sleep(500);
  ResetEvent(ov.hEvent);
  ok = Finish(port, WriteFile(port, "AT\r", 3, &n, &ov), &ov, &n);
  std::printf("  WriteFile after the removal: %s\n", ok ? "succeeded (wrong)" : ErrorText(GetLastError()).c_str());
  CloseHandle(ov.hEvent);
  std::printf("  the application closes the port\n");
  int failures = (CloseHandle(port) ? 0 : 1) + (ok ? 1 : 0);
  for (int waited = 0; world.Fdo() != nullptr && waited < 2000; waited += 10) Sleep(10);
  std::printf("  the last handle is closed: %s\n",
              world.Fdo() == nullptr ? "IRP_MN_REMOVE_DEVICE came and our device object is deleted" : "still there");
  return failures + (world.Fdo() != nullptr);
}

}  // namespace demo
