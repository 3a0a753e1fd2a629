// A dial-up session as a terminal program would run it on a Hayes modem:
// commands, a dial, the carrier coming up, data to the far end and back, the
// "+++" escape and a hang-up. Run with USBMODEM_DEVICE=hayes.
#include <windows.h>

#include <stdio.h>
#include <string.h>

static DWORD g_start;

static void Say(const char *who, const char *text) {
  printf("[%5lu ms] %-6s %s\n", (unsigned long)(GetTickCount() - g_start), who, text);
}

static BOOL Send(HANDLE port, const char *text) {
  DWORD written = 0;
  char shown[128];
  strncpy(shown, text, sizeof(shown) - 1);
  shown[sizeof(shown) - 1] = 0;
  for (char *p = shown; *p; ++p)
    if (*p == '\r' || *p == '\n') *p = ' ';
  Say("app", shown);
  return WriteFile(port, text, (DWORD)strlen(text), &written, NULL) && written == strlen(text);
}

// Collects what the modem says until `token` shows up or the time is up.
static BOOL Expect(HANDLE port, const char *token, DWORD timeoutMs) {
  char seen[512];
  DWORD have = 0;
  DWORD start = GetTickCount();
  while (GetTickCount() - start < timeoutMs) {
    DWORD got = 0;
    if (!ReadFile(port, seen + have, sizeof(seen) - 1 - have, &got, NULL)) return FALSE;
    have += got;
    seen[have] = 0;
    if (strstr(seen, token) != NULL) {
      for (char *p = seen; *p; ++p)
        if (*p == '\r' || *p == '\n') *p = ' ';
      Say("modem", seen);
      return TRUE;
    }
    if (got == 0) Sleep(20);
  }
  Say("modem", "(no answer)");
  return FALSE;
}

static void ShowLines(HANDLE port) {
  DWORD status = 0;
  GetCommModemStatus(port, &status);
  char text[64];
  sprintf(text, "CTS %s, DSR %s, carrier %s", status & MS_CTS_ON ? "on" : "off", status & MS_DSR_ON ? "on" : "off",
          status & MS_RLSD_ON ? "on" : "off");
  Say("lines", text);
}

int main(void) {
  g_start = GetTickCount();
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
  SetCommState(port, &dcb);
  // Return at once with whatever has arrived; Expect() polls.
  COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 0, 0};
  SetCommTimeouts(port, &timeouts);

  BOOL ok = Send(port, "ATE0V1&C1&D2S0=0\r") && Expect(port, "OK", 2000);
  ok = ok && Send(port, "ATD5551234\r") && Expect(port, "CONNECT", 10000);
  Sleep(1500);  // the status poll runs once a second
  ShowLines(port);
  ok = ok && Send(port, "hello, far end\r\n") && Expect(port, "far end", 2000);
  Sleep(1100);  // guard time before the escape
  ok = ok && Send(port, "+++") && Expect(port, "OK", 3000);
  ok = ok && Send(port, "ATH\r") && Expect(port, "OK", 2000);
  Sleep(1500);
  ShowLines(port);

  CloseHandle(port);
  Say("app", ok ? "session complete" : "session failed");
  return ok ? 0 : 1;
}
