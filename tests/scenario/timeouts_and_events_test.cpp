// Read time-outs on the virtual clock and WaitCommEvent, as a serial program
// uses them.
#include <gtest/gtest.h>

#include "sim/world/world.h"
#include "support/win32_machine.h"
#include "support/win32_port.h"

using namespace testing_support;

TEST(ReadTimeouts, ReturnAtOnceAndQueuedSettings) {
  RunOnEachSeedWithCom7(false, [&](sim::World &, HANDLE port) {
    char buffer[10];
    DWORD got = 99;

    ASSERT_TRUE(ReturnAtOnce(port));
    DWORD start = GetTickCount();
    ASSERT_TRUE(ReadFile(port, buffer, 10, &got, NULL));
    EXPECT_EQ(got, 0u);
    EXPECT_LT(GetTickCount() - start, 16u) << "a return-at-once read waited";

    // Queued: nothing arrives, the read ends after about 100 ms; the
    // program's own total time-out (5 s) is not what limits it.
    for (DWORD constant : {0u, 5000u}) {
      ASSERT_TRUE(SetTimeouts(port, 0, 0, constant));
      start = GetTickCount();
      ASSERT_TRUE(ReadFile(port, buffer, 10, &got, NULL));
      DWORD elapsed = GetTickCount() - start;
      EXPECT_EQ(got, 0u);
      EXPECT_GE(elapsed, 100u);
      EXPECT_LE(elapsed, 100u + 16u + 15u + 16u) << "read time-out far beyond 100 ms";
    }

    // Some bytes arrive: the time-out delivers them.
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(port, "123", 3, &written, NULL));
    start = GetTickCount();
    ASSERT_TRUE(ReadFile(port, buffer, 10, &got, NULL));
    EXPECT_EQ(got, 3u);
    EXPECT_EQ(std::string(buffer, 3), "123");
    EXPECT_GE(GetTickCount() - start, 90u);
  });
}

TEST(CommEvents, RxCharAndRxFlag) {
  RunOnEachSeedWithCom7(true, [&](sim::World &, HANDLE port) {
    ASSERT_TRUE(ReturnAtOnce(port));
    Overlapped wait, io;
    DWORD events = 0, n = 0;

    // EV_RXCHAR: pends on an empty queue, ends when bytes arrive.
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    ASSERT_TRUE(IsPending(WaitCommEvent(port, &events, &wait)));
    EXPECT_EQ(WaitForSingleObject(wait.ov.hEvent, 50), WAIT_TIMEOUT);
    ASSERT_TRUE(Completes(port, WriteFile(port, "abcde", 5, &n, &io), &io, &n));
    ASSERT_EQ(WaitForSingleObject(wait.ov.hEvent, 1000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetOverlappedResult(port, &wait, &n, FALSE));
    EXPECT_EQ(events, (DWORD)EV_RXCHAR);
    ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR));

    // EV_RXFLAG: only the event character ends the wait.
    DCB dcb;
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.EvtChar = '\r';
    ASSERT_TRUE(SetCommState(port, &dcb));
    ASSERT_TRUE(SetCommMask(port, EV_RXFLAG));
    events = 0;
    ASSERT_TRUE(IsPending(WaitCommEvent(port, &events, &wait)));
    ASSERT_TRUE(Completes(port, WriteFile(port, "AT", 2, &n, &io), &io, &n));
    EXPECT_EQ(WaitForSingleObject(wait.ov.hEvent, 100), WAIT_TIMEOUT) << "no event character was sent";
    ASSERT_TRUE(Completes(port, WriteFile(port, "Z\r", 2, &n, &io), &io, &n));
    ASSERT_EQ(WaitForSingleObject(wait.ov.hEvent, 1000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetOverlappedResult(port, &wait, &n, FALSE));
    EXPECT_EQ(events, (DWORD)EV_RXFLAG);
    char buffer[8];
    ASSERT_TRUE(ReadFile(port, buffer, sizeof(buffer), &n, &io) || GetOverlappedResult(port, &io, &n, TRUE));
    EXPECT_EQ(std::string(buffer, n), "ATZ\r");
  });
}
