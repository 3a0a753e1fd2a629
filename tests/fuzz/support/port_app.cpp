#include "support/port_app.h"

#include <windows.h>

#include "support/fuzz_world.h"

namespace fuzz {

namespace {

// After a cancel the driver must end the request promptly; this long
// is far beyond any time-out it may still be running down.
const DWORD kAfterCancelMs = 5000;

}  // namespace

PortApp::PortApp() {
  handle_ = CreateFileW(L"\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED, nullptr);
}

PortApp::~PortApp() {
  if (Open()) CloseHandle(handle_);
}

bool PortApp::Open() const { return handle_ != INVALID_HANDLE_VALUE; }

bool PortApp::SetTimeouts(const Timeouts &t) {
  COMMTIMEOUTS c;
  c.ReadIntervalTimeout = t.readInterval;
  c.ReadTotalTimeoutMultiplier = t.readMultiplier;
  c.ReadTotalTimeoutConstant = t.readConstant;
  c.WriteTotalTimeoutMultiplier = t.writeMultiplier;
  c.WriteTotalTimeoutConstant = t.writeConstant;
  return SetCommTimeouts(handle_, &c) != FALSE;
}

long PortApp::Finish(void *overlapped, bool started, uint32_t waitMs) {
  OVERLAPPED *o = static_cast<OVERLAPPED *>(overlapped);
  DWORD moved = 0;
  if (!started && GetLastError() != ERROR_IO_PENDING) return -1;
  if (WaitForSingleObject(o->hEvent, waitMs) == WAIT_TIMEOUT) {
    CancelIo(handle_);
    if (WaitForSingleObject(o->hEvent, kAfterCancelMs) == WAIT_TIMEOUT) Fail("a request outlived its cancel");
  }
  BOOL ok = GetOverlappedResult(handle_, o, &moved, FALSE);
  return ok ? long(moved) : -1;
}

long PortApp::Write(const std::vector<uint8_t> &bytes, uint32_t waitMs) {
  OVERLAPPED o = {};
  o.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD moved = 0;
  BOOL done = WriteFile(handle_, bytes.data(), DWORD(bytes.size()), &moved, &o);
  long result = Finish(&o, done != FALSE, waitMs);
  CloseHandle(o.hEvent);
  if (result > long(bytes.size())) Fail("a write reported more bytes than it was given");
  return result;
}

long PortApp::Read(uint32_t length, uint32_t waitMs, std::vector<uint8_t> *got) {
  std::vector<uint8_t> buffer(length);
  OVERLAPPED o = {};
  o.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD moved = 0;
  BOOL done = ReadFile(handle_, buffer.data(), length, &moved, &o);
  long result = Finish(&o, done != FALSE, waitMs);
  CloseHandle(o.hEvent);
  if (result > long(length)) Fail("a read reported more bytes than it asked for");
  if (got != nullptr && result > 0) got->insert(got->end(), buffer.begin(), buffer.begin() + result);
  return result;
}

bool PortApp::Purge(uint32_t flags) { return PurgeComm(handle_, flags) != FALSE; }

}  // namespace fuzz
