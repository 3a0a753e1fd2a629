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

}  // namespace

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
