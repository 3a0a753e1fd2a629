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

// CancelIo just as the driver ends the read on its own (its 100 ms time-out,
// from the read timer's DPC on another processor): the read ends once, one
// way or the other, and the request the cancel walks over is never one that
// has been freed meanwhile.
TEST(Overlapped, CancelIoAsTheReadTimesOutOnAnotherProcessor) {
  RunOnEachSeedWithCom7(true, [&](sim::World &, HANDLE port) {
    ASSERT_TRUE(Queued(port));
    for (DWORD waitMs = 96; waitMs <= 104; ++waitMs) {
      SCOPED_TRACE("cancelled after " + std::to_string(waitMs) + " ms");
      Overlapped read;
      char buffer[16];
      DWORD got = 77;
      ASSERT_TRUE(IsPending(ReadFile(port, buffer, sizeof(buffer), &got, &read)));
      if (WaitForSingleObject(read.ov.hEvent, waitMs) == WAIT_TIMEOUT) ASSERT_TRUE(CancelIo(port));
      ASSERT_EQ(WaitForSingleObject(read.ov.hEvent, 1000), WAIT_OBJECT_0) << "the read outlived its cancel";
      if (GetOverlappedResult(port, &read, &got, FALSE)) {
        EXPECT_EQ(got, 0u);
      } else {
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
      }
    }
  });
}

// Only MAXDWORD with both totals 0 means "return at once"; a multiplier as
// well makes the read wait like any other.
TEST(Overlapped, AReadReturnsAtOnceOnlyWithBothTotalsZero) {
  RunOnOneMachineWithCom7(true, [&](sim::World &, HANDLE port) {
    char buffer[4];
    DWORD got = 77;
    ASSERT_TRUE(SetTimeouts(port, MAXDWORD, 5, 0));
    Overlapped waiting;
    EXPECT_TRUE(IsPending(ReadFile(port, buffer, sizeof(buffer), &got, &waiting))) << "a multiplier makes it wait";
    ASSERT_EQ(WaitForSingleObject(waiting.ov.hEvent, 1000), WAIT_OBJECT_0);
    ASSERT_TRUE(ReturnAtOnce(port));
    Overlapped atOnce;
    EXPECT_TRUE(ReadFile(port, buffer, sizeof(buffer), &got, &atOnce));
    EXPECT_EQ(got, 0u);
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

namespace {

// Ends the pending wait-on-mask request each time it is told to, by setting
// the mask from a thread of its own, as a second thread of a program may.
struct MaskSetter {
  HANDLE port;
  HANDLE go;
  HANDLE done;
  bool stop;
};

DWORD WINAPI SetMaskOnEachGo(LPVOID context) {
  auto *setter = static_cast<MaskSetter *>(context);
  for (;;) {
    WaitForSingleObject(setter->go, INFINITE);
    if (setter->stop) return 0;
    SetCommMask(setter->port, EV_RXCHAR);
    SetEvent(setter->done);
  }
}

// Polls as a program does that never waits on the event; time moves only
// when the request needs it to.
void PollUntilCompleted(LPOVERLAPPED ov) {
  for (int spins = 0; !HasOverlappedIoCompleted(ov); ++spins) Sleep(spins < 1000 ? 0 : 1);
}

}  // namespace

TEST(Overlapped, RequestReArmedOnTheSameOverlappedIsNotSignalledByTheOldCompletion) {
  constexpr int kRounds = 20;
  RunOnEachSeedWithCom7(true, [&](sim::World &, HANDLE port) {
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    MaskSetter setter = {port, CreateEventW(NULL, FALSE, FALSE, NULL), CreateEventW(NULL, FALSE, FALSE, NULL), false};
    HANDLE thread = CreateThread(NULL, 0, SetMaskOnEachGo, &setter, 0, NULL);
    Overlapped wait;
    DWORD mask = 0;
    ASSERT_TRUE(IsPending(WaitCommEvent(port, &mask, &wait)));
    // No early return: the pending request writes into this frame when it ends.
    for (int round = 0; round < kRounds && !::testing::Test::HasFailure(); ++round) {
      SetEvent(setter.go);
      PollUntilCompleted(&wait);
      // Seen done: armed again at once, while the old completion may still be on its way out.
      EXPECT_TRUE(IsPending(WaitCommEvent(port, &mask, &wait)));
      WaitForSingleObject(setter.done, INFINITE);
      EXPECT_FALSE(HasOverlappedIoCompleted(&wait.ov)) << "round " << round;
      EXPECT_EQ(WaitForSingleObject(wait.ov.hEvent, 0), (DWORD)WAIT_TIMEOUT)
          << "round " << round << ": the pending request's event is signalled";
    }
    EXPECT_TRUE(SetCommMask(port, EV_RXCHAR));
    DWORD got = 0;
    EXPECT_TRUE(GetOverlappedResult(port, &wait, &got, TRUE));
    setter.stop = true;
    SetEvent(setter.go);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    CloseHandle(setter.go);
    CloseHandle(setter.done);
  });
}

TEST(Overlapped, EventHandleClosedWhileItsRequestIsPendingLivesUntilTheRequestEnds) {
  RunOnEachSeedWithCom7(true, [&](sim::World &, HANDLE port) {
    ASSERT_TRUE(Queued(port));
    OVERLAPPED read;
    memset(&read, 0, sizeof(read));
    read.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    char buffer[4] = {0};
    ASSERT_TRUE(IsPending(ReadFile(port, buffer, 4, NULL, &read)));
    EXPECT_TRUE(CloseHandle(read.hEvent));
    EXPECT_EQ(WaitForSingleObject(read.hEvent, 0), WAIT_FAILED);  // the handle is gone, not the object
    Overlapped write;
    DWORD written = 0;
    EXPECT_TRUE(Completes(port, WriteFile(port, "wxyz", 4, &written, &write), &write, &written));
    PollUntilCompleted(&read);
    EXPECT_EQ(read.Internal, 0u);
    EXPECT_EQ(read.InternalHigh, 4u);
    EXPECT_EQ(std::string(buffer, 4), "wxyz");
  });
}
