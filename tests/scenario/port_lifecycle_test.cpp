// Opening, flushing and closing the port the way serial programs do, with
// requests still pending.
#include <gtest/gtest.h>

#include "sim/world/world.h"
#include "support/win32_machine.h"
#include "support/win32_port.h"

using namespace testing_support;

namespace {

// Round trip of a few bytes: the port works.
void ExpectEcho(HANDLE port, const std::string &text) {
  Overlapped io;
  DWORD n = 0;
  ASSERT_TRUE(Completes(port, WriteFile(port, text.data(), (DWORD)text.size(), &n, &io), &io, &n));
  ASSERT_EQ(n, text.size());
  ASSERT_TRUE(SetTimeouts(port, 0, 0, 0));
  std::vector<char> buffer(text.size());
  ASSERT_TRUE(Completes(port, ReadFile(port, buffer.data(), (DWORD)buffer.size(), &n, &io), &io, &n));
  EXPECT_EQ(std::string(buffer.data(), n), text);
}

}  // namespace

TEST(PortLifecycle, PurgeAbortsQueuedReads) {
  RunOnEachSeedWithCom7(true, [&](sim::World &, HANDLE port) {
    ASSERT_TRUE(Queued(port));
    Overlapped reads[3];
    char buffers[3][64];
    for (int i = 0; i < 3; ++i) {
      DWORD n;
      ASSERT_TRUE(IsPending(ReadFile(port, buffers[i], 64, &n, &reads[i])));
    }
    ASSERT_TRUE(PurgeComm(port, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR));
    for (int i = 0; i < 3; ++i) {
      DWORD n = 5;
      EXPECT_TRUE(EndsAborted(port, &reads[i], &n)) << "read " << i;
      EXPECT_EQ(n, 0u);
    }
    ExpectEcho(port, "after purge");
  });
}

TEST(PortLifecycle, CancelIoEndsAQueuedReadAndThePortWorksOn) {
  RunOnEachSeedWithCom7(true, [&](sim::World &, HANDLE port) {
    ASSERT_TRUE(Queued(port));
    Overlapped read;
    char buffer[32];
    DWORD n;
    ASSERT_TRUE(IsPending(ReadFile(port, buffer, sizeof(buffer), &n, &read)));
    Sleep(20);
    ASSERT_TRUE(CancelIo(port));
    EXPECT_TRUE(EndsAborted(port, &read, &n));
    ExpectEcho(port, "still here");
  });
}

TEST(PortLifecycle, SecondOpenIsRefusedWhileTheFirstWorksOn) {
  RunOnEachSeed([&](sim::World &) {
    HANDLE first = OpenCom7(true);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    HANDLE second = OpenCom7(true);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    ExpectEcho(first, "first handle");
    ASSERT_TRUE(CloseHandle(first));
    HANDLE third = OpenCom7(true);
    ASSERT_NE(third, INVALID_HANDLE_VALUE);
    ExpectEcho(third, "after reopen");
    CloseHandle(third);
  });
}

TEST(PortLifecycle, CloseEndsPendingReadsAndWait) {
  RunOnEachSeed([&](sim::World &) {
    HANDLE port = OpenCom7(true);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(Queued(port));
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_CTS));
    Overlapped wait, read1, read2;
    DWORD events = 0xFFFF, n;
    char b1[50], b2[50];
    ASSERT_TRUE(IsPending(WaitCommEvent(port, &events, &wait)));
    ASSERT_TRUE(IsPending(ReadFile(port, b1, sizeof(b1), &n, &read1)));
    ASSERT_TRUE(IsPending(ReadFile(port, b2, sizeof(b2), &n, &read2)));

    ASSERT_TRUE(CloseHandle(port));
    HANDLE all[3] = {wait.ov.hEvent, read1.ov.hEvent, read2.ov.hEvent};
    ASSERT_EQ(WaitForMultipleObjects(3, all, TRUE, 1000), WAIT_OBJECT_0);
    // The wait ends successfully with no event; the reads are cancelled.
    EXPECT_EQ((DWORD)wait.ov.Internal, 0u);
    EXPECT_EQ(events, 0u);
    EXPECT_EQ((DWORD)read1.ov.Internal, 0xC0000120u);
    EXPECT_EQ((DWORD)read2.ov.Internal, 0xC0000120u);

    HANDLE again = OpenCom7(true);
    ASSERT_NE(again, INVALID_HANDLE_VALUE);
    ExpectEcho(again, "reopened");
    CloseHandle(again);
  });
}

TEST(PortLifecycle, ReopenRestoresDefaultsAndKeepsTimeouts) {
  RunOnEachSeed([&](sim::World &) {
    HANDLE port = OpenCom7();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DCB dcb;
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 7;
    dcb.Parity = ODDPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.EvtChar = '#';
    ASSERT_TRUE(SetCommState(port, &dcb));
    COMMTIMEOUTS set = {20, 3, 700, 4, 900};
    ASSERT_TRUE(SetCommTimeouts(port, &set));
    ASSERT_TRUE(SetCommMask(port, EV_RXFLAG));
    ASSERT_TRUE(CloseHandle(port));

    port = OpenCom7();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DCB fresh;
    ASSERT_TRUE(GetCommState(port, &fresh));
    EXPECT_EQ(fresh.BaudRate, (DWORD)CBR_115200);
    EXPECT_EQ(fresh.ByteSize, 8);
    EXPECT_EQ(fresh.Parity, NOPARITY);
    EXPECT_EQ(fresh.StopBits, ONESTOPBIT);
    EXPECT_EQ(fresh.EvtChar, '#') << "special characters survive a close";
    COMMTIMEOUTS kept;
    ASSERT_TRUE(GetCommTimeouts(port, &kept));
    EXPECT_EQ(memcmp(&kept, &set, sizeof(set)), 0) << "time-outs survive a close";
    DWORD mask = 0xFFFF;
    ASSERT_TRUE(GetCommMask(port, &mask));
    EXPECT_EQ(mask, 0u);
    CloseHandle(port);
  });
}

namespace {

struct AbandonedWait {
  HANDLE port;
  OVERLAPPED *ov;
  DWORD *events;
};

DWORD WINAPI StartWaitAndLeave(LPVOID p) {
  AbandonedWait *w = static_cast<AbandonedWait *>(p);
  BOOL ok = WaitCommEvent(w->port, w->events, w->ov);
  return !ok && GetLastError() == ERROR_IO_PENDING ? 0 : 1;
}

}  // namespace

// A thread that leaves with its WaitCommEvent pending: the I/O manager
// cancels it as the thread ends, and the port takes the next wait.
TEST(PortLifecycle, AWaitAbandonedByItsEndingThreadIsCancelled) {
  RunOnEachSeedWithCom7(true, [&](sim::World &, HANDLE port) {
    ASSERT_TRUE(SetCommMask(port, EV_RING));
    Overlapped wait;
    DWORD events = 0xFFFFFFFF;
    AbandonedWait w = {port, &wait.ov, &events};
    HANDLE thread = CreateThread(NULL, 0, StartWaitAndLeave, &w, 0, NULL);
    ASSERT_NE(thread, (HANDLE)NULL);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 5000));
    DWORD code = 1;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(0u, code) << "the wait pended";
    CloseHandle(thread);
    DWORD n;
    EXPECT_TRUE(EndsAborted(port, &wait, &n));

    Overlapped next;
    EXPECT_TRUE(IsPending(WaitCommEvent(port, &events, &next))) << "the slot is free again";
    ASSERT_TRUE(SetCommMask(port, EV_RING));
    EXPECT_TRUE(GetOverlappedResult(port, &next, &n, TRUE));
  });
}
