// Events, waits, threads and time: kernel objects on the virtual clock.
#include <gtest/gtest.h>

#include "sim/world/world.h"
#include "support/win32_machine.h"
#include "support/win32_port.h"

using namespace testing_support;

namespace {

DWORD WINAPI SetAfter50(LPVOID event) {
  Sleep(50);
  SetEvent(static_cast<HANDLE>(event));
  return 7;
}

struct Handoff {
  HANDLE event;
  volatile int data;
  int seen;
};

DWORD WINAPI ReadAfterTheEvent(LPVOID context) {
  auto *h = static_cast<Handoff *>(context);
  WaitForSingleObject(h->event, INFINITE);
  h->seen = h->data;
  return 0;
}

}  // namespace

// After SetEvent the woken thread often runs before the setter's next
// statement, as on a multiprocessor: code that writes shared data after
// signalling is caught here.
TEST(SyncObjects, WaiterOftenSeesDataWrittenAfterTheSignalNotYetWritten) {
  int early = 0, runs = 0;
  ForEachSeed([&](sim::World &world) {
    world.Run([&] {
      Handoff h{CreateEventW(NULL, TRUE, FALSE, NULL), 0, -1};
      HANDLE reader = CreateThread(NULL, 0, ReadAfterTheEvent, &h, 0, NULL);
      Sleep(5);
      SetEvent(h.event);
      h.data = 1;
      EXPECT_EQ(WaitForSingleObject(reader, INFINITE), WAIT_OBJECT_0);
      early += h.seen == 0;
      ++runs;
      CloseHandle(reader);
      CloseHandle(h.event);
    });
  });
  if (runs >= 20) {
    EXPECT_GE(early, runs / 10) << "the setter always ran on first";
    EXPECT_LT(early, runs) << "the setter never ran on first";
  }
}

TEST(SyncObjects, SpinningOnGetTickCountEnds) {
  RunOnEachSeed([&](sim::World &) {
    DWORD start = GetTickCount();
    DWORD now;
    while ((now = GetTickCount()) == start) {
    }
    EXPECT_GE(now - start, 15u);  // one tick of 15.625 ms
    EXPECT_LE(now - start, 16u);
  });
}

TEST(SyncObjects, WaitTimesOutOnTheVirtualClock) {
  RunOnOneMachine([&](sim::World &) {
    HANDLE event = CreateEventW(NULL, TRUE, FALSE, NULL);
    DWORD start = GetTickCount();
    EXPECT_EQ(WaitForSingleObject(event, 100), WAIT_TIMEOUT);
    DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 100u);
    EXPECT_LE(elapsed, 100u + 16u);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    start = GetTickCount();
    Sleep(250);
    EXPECT_GE(GetTickCount() - start, 250u);
    CloseHandle(event);
  });
}

TEST(SyncObjects, ManualAndAutoResetEvents) {
  RunOnOneMachine([&](sim::World &) {
    HANDLE manual = CreateEventW(NULL, TRUE, TRUE, NULL);
    HANDLE automatic = CreateEventA(NULL, FALSE, TRUE, NULL);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(automatic));
    HANDLE both[2] = {manual, automatic};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 10), WAIT_TIMEOUT);
    SetEvent(manual);
    SetEvent(automatic);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_OBJECT_0);
    CloseHandle(manual);
    CloseHandle(automatic);
    EXPECT_FALSE(SetEvent(manual));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_FAILED);
  });
}

TEST(SyncObjects, ThreadsRunAndTheirEndIsWaitable) {
  RunOnEachSeed([&](sim::World &) {
    HANDLE event = CreateEventW(NULL, TRUE, FALSE, NULL);
    DWORD id = 0;
    HANDLE thread = CreateThread(NULL, 0, SetAfter50, event, 0, &id);
    ASSERT_NE(thread, (HANDLE)NULL);
    EXPECT_NE(id, 0u);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, (DWORD)STILL_ACTIVE);
    HANDLE both[2] = {event, thread};
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 1000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 7u);
    CloseHandle(thread);
    CloseHandle(event);
  });
}

TEST(SyncObjects, LastErrorIsPerThread) {
  RunOnOneMachine([&](sim::World &) {
    SetLastError(1234);
    HANDLE thread = CreateThread(
        NULL, 0,
        [](LPVOID) -> DWORD {
          SetLastError(42);
          return GetLastError();
        },
        NULL, 0, NULL);
    WaitForSingleObject(thread, INFINITE);
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(GetLastError(), 1234u);
    CloseHandle(thread);
  });
}
