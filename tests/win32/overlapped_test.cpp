// Synchronous and overlapped requests: pending, completion through the event
// and GetOverlappedResult, time-outs as success, cancellation.
#include <gtest/gtest.h>

#include "sim/world/world.h"
#include "support/win32_machine.h"
#include "support/win32_port.h"
#include "win32/device_probe.h"

using namespace testing_support;

TEST(Overlapped, QueuedReadPendsThenCompletesThroughItsEvent) {
  RunOnEachSeedWithCom7(true, [&](sim::World &, HANDLE port) {
    ASSERT_TRUE(Queued(port));
    Overlapped read;
    char buffer[4] = {0};
    DWORD got = 77;
    ASSERT_TRUE(IsPending(ReadFile(port, buffer, 4, &got, &read)));
    EXPECT_FALSE(HasOverlappedIoCompleted(&read.ov));
    EXPECT_FALSE(GetOverlappedResult(port, &read, &got, FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_INCOMPLETE);

    Overlapped write;
    DWORD written = 0;
    ASSERT_TRUE(Completes(port, WriteFile(port, "wxyz", 4, &written, &write), &write, &written));
    EXPECT_EQ(written, 4u);
    ASSERT_EQ(WaitForSingleObject(read.ov.hEvent, 1000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetOverlappedResult(port, &read, &got, FALSE));
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(std::string(buffer, 4), "wxyz");
  });
}

TEST(Overlapped, ReadTimeOutIsSuccessWithTheBytesThatCame) {
  RunOnOneMachineWithCom7(false, [&](sim::World &, HANDLE port) {
    ASSERT_TRUE(Queued(port));
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(port, "abc", 3, &written, NULL));
    char buffer[10];
    DWORD got = 0;
    SetLastError(0);
    ASSERT_TRUE(ReadFile(port, buffer, 10, &got, NULL));
    EXPECT_EQ(got, 3u);
    EXPECT_EQ(std::string(buffer, 3), "abc");
  });
}

TEST(Overlapped, CancelIoAbortsAQueuedRead) {
  RunOnEachSeedWithCom7(true, [&](sim::World &world, HANDLE port) {
    ASSERT_TRUE(Queued(port));
    Overlapped read;
    char buffer[16];
    DWORD got = 0;
    ASSERT_TRUE(IsPending(ReadFile(port, buffer, sizeof(buffer), &got, &read)));
    EXPECT_EQ(probe::QueuedReads(world), 1);
    ASSERT_TRUE(CancelIo(port));
    EXPECT_TRUE(EndsAborted(port, &read, &got));
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(probe::QueuedReads(world), 0);
  });
}

TEST(Overlapped, RequestWithoutEventCompletesThroughTheFile) {
  RunOnOneMachineWithCom7(true, [&](sim::World &, HANDLE port) {
    ASSERT_TRUE(Queued(port));
    OVERLAPPED ov;
    memset(&ov, 0, sizeof(ov));
    char buffer[2];
    DWORD got = 0;
    ASSERT_TRUE(IsPending(ReadFile(port, buffer, 2, &got, &ov)));
    DWORD start = GetTickCount();
    // Nothing arrives: the read ends after about 100 ms with no bytes.
    ASSERT_TRUE(GetOverlappedResult(port, &ov, &got, TRUE));
    EXPECT_EQ(got, 0u);
    EXPECT_GE(GetTickCount() - start, 90u);
  });
}

TEST(Overlapped, SynchronousCallsOnAnOverlappedHandleWait) {
  RunOnOneMachineWithCom7(true, [&](sim::World &, HANDLE port) {
    ASSERT_TRUE(Queued(port));
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(port, "hello", 5, &written, NULL));
    EXPECT_EQ(written, 5u);
    char buffer[5];
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(port, buffer, 5, &got, NULL));
    EXPECT_EQ(std::string(buffer, got), "hello");
  });
}
