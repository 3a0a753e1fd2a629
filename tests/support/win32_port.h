// Small Win32 helpers shared by tests written as serial programs, and runs of
// such programs with COM7 open.
#pragma once

#include <string>
#include <vector>

#include <windows.h>

#include <gtest/gtest.h>

#include "support/win32_machine.h"

namespace testing_support {

inline HANDLE OpenCom7(bool overlapped = false) {
  return CreateFileW(L"\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                     overlapped ? FILE_FLAG_OVERLAPPED : 0, NULL);
}

inline BOOL SetTimeouts(HANDLE port, DWORD interval, DWORD multiplier, DWORD constant) {
  COMMTIMEOUTS t = {interval, multiplier, constant, 0, 0};
  return SetCommTimeouts(port, &t);
}

// Reads return at once with what the receive queue holds.
inline BOOL ReturnAtOnce(HANDLE port) { return SetTimeouts(port, MAXDWORD, 0, 0); }
// Reads wait for their full length, or give what came after about 100 ms.
inline BOOL Queued(HANDLE port) { return SetTimeouts(port, 0, 0, 0); }

struct Overlapped {
  OVERLAPPED ov;
  Overlapped() {
    memset(&ov, 0, sizeof(ov));
    ov.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
  }
  ~Overlapped() { CloseHandle(ov.hEvent); }
  Overlapped(const Overlapped &) = delete;
  Overlapped &operator=(const Overlapped &) = delete;
  LPOVERLAPPED operator&() { return &ov; }
};

// Bytes that differ from one position to the next and from one seed to another.
inline std::vector<char> Pattern(size_t length, unsigned salt) {
  std::vector<char> bytes(length);
  uint32_t x = 2463534242u ^ salt;
  for (size_t i = 0; i < length; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    bytes[i] = static_cast<char>(x);
  }
  return bytes;
}

// The call returned FALSE with ERROR_IO_PENDING: the request was queued.
inline ::testing::AssertionResult IsPending(BOOL ok) {
  if (ok) return ::testing::AssertionFailure() << "completed at once";
  DWORD error = GetLastError();
  if (error != ERROR_IO_PENDING) return ::testing::AssertionFailure() << "failed with error " << error;
  return ::testing::AssertionSuccess();
}

// A call that may pend succeeded: at once, or pending and then waited for.
inline ::testing::AssertionResult Completes(HANDLE port, BOOL ok, LPOVERLAPPED ov, DWORD *transferred) {
  if (ok) return ::testing::AssertionSuccess();
  ::testing::AssertionResult pending = IsPending(ok);
  if (!pending) return pending;
  if (!GetOverlappedResult(port, ov, transferred, TRUE))
    return ::testing::AssertionFailure() << "ended with error " << GetLastError();
  return ::testing::AssertionSuccess();
}

// The request, waited for, ended with ERROR_OPERATION_ABORTED.
inline ::testing::AssertionResult EndsAborted(HANDLE port, LPOVERLAPPED ov, DWORD *transferred) {
  if (GetOverlappedResult(port, ov, transferred, TRUE)) return ::testing::AssertionFailure() << "succeeded";
  DWORD error = GetLastError();
  if (error != ERROR_OPERATION_ABORTED) return ::testing::AssertionFailure() << "ended with error " << error;
  return ::testing::AssertionSuccess();
}

using PortProgram = std::function<void(sim::World &, HANDLE port)>;

// The program runs with COM7 open (overlapped or not), on a fresh machine for
// each seed; the port is closed after it.
inline void RunOnEachSeedWithCom7(bool overlapped, const PortProgram &program) {
  RunOnEachSeed([&](sim::World &world) {
    HANDLE port = OpenCom7(overlapped);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    program(world, port);
    CloseHandle(port);
  });
}

// The same on one machine.
inline void RunOnOneMachineWithCom7(bool overlapped, const PortProgram &program) {
  RunOnOneMachine([&](sim::World &world) {
    HANDLE port = OpenCom7(overlapped);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    program(world, port);
    CloseHandle(port);
  });
}

}  // namespace testing_support
