// A serial program moving data through the loopback modem: one thread writes,
// a second reads, and every byte comes back in order.
#include <gtest/gtest.h>

#include "sim/world/world.h"
#include "support/win32_machine.h"
#include "support/win32_port.h"

using namespace testing_support;

namespace {

struct Transfer {
  HANDLE port;
  std::vector<char> sent;
  std::vector<char> received;
  bool eventDriven;
  DWORD writeResult = 0;
  DWORD written = 0;
};

DWORD WINAPI WriterThread(LPVOID context) {
  Transfer *t = static_cast<Transfer *>(context);
  Overlapped ov;
  DWORD written = 0;
  if (!WriteFile(t->port, t->sent.data(), (DWORD)t->sent.size(), &written, &ov)) {
    if (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(t->port, &ov, &written, TRUE)) {
      t->writeResult = GetLastError();
      return 1;
    }
  }
  t->written = written;
  return 0;
}

// Reads with queued reads of at most 4096 bytes until the whole transfer is
// back or a read times out with nothing.
void ReadQueued(Transfer *t) {
  Overlapped ov;
  while (t->received.size() < t->sent.size()) {
    char buffer[4096];
    DWORD want = (DWORD)std::min<size_t>(sizeof(buffer), t->sent.size() - t->received.size());
    DWORD got = 0;
    ASSERT_TRUE(Completes(t->port, ReadFile(t->port, buffer, want, &got, &ov), &ov, &got)) << GetLastError();
    if (got == 0) return;
    t->received.insert(t->received.end(), buffer, buffer + got);
  }
}

// Waits for EV_RXCHAR and takes what has arrived with return-at-once reads,
// fast enough for any transfer size.
void ReadOnEvents(Transfer *t) {
  Overlapped wait, read;
  std::vector<char> buffer(40960);
  while (t->received.size() < t->sent.size()) {
    DWORD events = 0;
    if (!WaitCommEvent(t->port, &events, &wait)) {
      ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
      if (WaitForSingleObject(wait.ov.hEvent, 500) != WAIT_OBJECT_0) {
        SetCommMask(t->port, EV_RXCHAR);  // ends the wait with an empty mask
        DWORD ignored;
        GetOverlappedResult(t->port, &wait, &ignored, TRUE);
        return;
      }
      DWORD ignored;
      ASSERT_TRUE(GetOverlappedResult(t->port, &wait, &ignored, FALSE));
    }
    ASSERT_EQ(events, (DWORD)EV_RXCHAR);
    DWORD got = 0;
    ASSERT_TRUE(Completes(t->port, ReadFile(t->port, buffer.data(), (DWORD)buffer.size(), &got, &read), &read, &got));
    t->received.insert(t->received.end(), buffer.data(), buffer.data() + got);
  }
}

DWORD WINAPI ReaderThread(LPVOID context) {
  Transfer *t = static_cast<Transfer *>(context);
  if (t->eventDriven) {
    ReadOnEvents(t);
  } else {
    ReadQueued(t);
  }
  return 0;
}

void RunTransfer(sim::World &world, size_t length, bool eventDriven) {
  SCOPED_TRACE(std::to_string(length) + " bytes, " + (eventDriven ? "event-driven reads" : "queued reads"));
  world.Run([&] {
    Transfer t;
    t.port = OpenCom7(true);
    ASSERT_NE(t.port, INVALID_HANDLE_VALUE);
    t.sent = Pattern(length, (unsigned)(world.Seed() * 131 + length));
    t.eventDriven = eventDriven;
    DCB dcb;
    ASSERT_TRUE(GetCommState(t.port, &dcb));
    dcb.BaudRate = CBR_115200;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    ASSERT_TRUE(SetCommState(t.port, &dcb));
    if (eventDriven) {
      ASSERT_TRUE(ReturnAtOnce(t.port));
      ASSERT_TRUE(SetCommMask(t.port, EV_RXCHAR));
    } else {
      ASSERT_TRUE(Queued(t.port));
    }
    HANDLE threads[2];
    threads[0] = CreateThread(NULL, 0, ReaderThread, &t, 0, NULL);
    threads[1] = CreateThread(NULL, 0, WriterThread, &t, 0, NULL);
    ASSERT_EQ(WaitForMultipleObjects(2, threads, TRUE, 60000), WAIT_OBJECT_0);
    CloseHandle(threads[0]);
    CloseHandle(threads[1]);
    EXPECT_EQ(t.writeResult, 0u);
    EXPECT_EQ(t.written, length);
    ASSERT_EQ(t.received.size(), length);
    EXPECT_TRUE(t.received == t.sent) << "bytes came back out of order or changed";
    // Nothing more than what was written arrives.
    COMSTAT stat;
    DWORD errors;
    ASSERT_TRUE(ClearCommError(t.port, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 0u);
    CloseHandle(t.port);
  });
}

}  // namespace

TEST(LoopbackTransfer, QueuedReadsGetEveryByteInOrder) {
  ForEachSeed([&](sim::World &world) {
    for (size_t length : {0, 1, 1024, 3000}) RunTransfer(world, length, false);
  });
}

TEST(LoopbackTransfer, EventDrivenReadsKeepUpWithLargeWrites) {
  ForEachSeed([&](sim::World &world) {
    for (size_t length : {0, 1, 1024, 3000, 100000}) RunTransfer(world, length, true);
  });
}
