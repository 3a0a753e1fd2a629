// A modem's whole life under applications that hold the port open: pulled
// out with requests in flight, plugged in again, stopped and started for a
// rebalance, and the system put to sleep and woken, by the user or by the
// modem itself.
#include <gtest/gtest.h>

#include "sim/world/world.h"
#include "support/win32_machine.h"
#include "support/win32_port.h"

using namespace testing_support;

namespace {

const int kS3 = 4;       // PowerSystemSleeping3
const unsigned kS0 = 1;  // PowerSystemWorking
const unsigned kD0 = 1;  // PowerDeviceD0

// Round trip of a few bytes through the loopback modem: the port works.
void ExpectEcho(HANDLE port, const std::string &text) {
  Overlapped io;
  DWORD n = 0;
  ASSERT_TRUE(Completes(port, WriteFile(port, text.data(), (DWORD)text.size(), &n, &io), &io, &n));
  ASSERT_EQ(n, text.size());
  ASSERT_TRUE(SetTimeouts(port, 0, 0, 2000));
  std::vector<char> buffer(text.size());
  ASSERT_TRUE(Completes(port, ReadFile(port, buffer.data(), (DWORD)buffer.size(), &n, &io), &io, &n));
  EXPECT_EQ(std::string(buffer.data(), n), text);
}

// The overlapped request ended (whatever its outcome) within ms of virtual time.
::testing::AssertionResult EndsWithin(Overlapped &io, DWORD ms) {
  DWORD w = WaitForSingleObject(io.ov.hEvent, ms);
  if (w != WAIT_OBJECT_0) return ::testing::AssertionFailure() << "still pending after " << ms << " ms";
  return ::testing::AssertionSuccess();
}

// The request failed: at once, or pending and ending with an error.
::testing::AssertionResult Fails(HANDLE port, BOOL ok, Overlapped &io) {
  if (ok) return ::testing::AssertionFailure() << "succeeded";
  if (GetLastError() != ERROR_IO_PENDING) return ::testing::AssertionSuccess();
  if (!EndsWithin(io, 5000)) return ::testing::AssertionFailure() << "hangs";
  DWORD n;
  if (GetOverlappedResult(port, &io, &n, FALSE)) return ::testing::AssertionFailure() << "succeeded late";
  return ::testing::AssertionSuccess();
}

// Until the removal has run (after the last handle closed) or ms elapsed.
bool WaitForRemoval(sim::World &world, DWORD ms) {
  for (DWORD waited = 0; waited <= ms; waited += 10) {
    if (!world.View().present) return true;
    Sleep(10);
  }
  return false;
}

}  // namespace

TEST(Unplug, WithAReadAWaitAndAWriteInFlightEverythingEndsAndTheDeviceGoes) {
  RunOnEachSeed([](sim::World &world) {
    HANDLE port = OpenCom7(true);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetTimeouts(port, 0, 0, 0));
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_DSR));
    Overlapped wait, read, write;
    DWORD events = 0, n = 0;
    ASSERT_TRUE(IsPending(WaitCommEvent(port, &events, &wait)));
    char in[256];
    ASSERT_TRUE(IsPending(ReadFile(port, in, sizeof in, &n, &read)));
    std::vector<char> out = Pattern(48 * 1024, 7);
    BOOL wrote = WriteFile(port, out.data(), (DWORD)out.size(), &n, &write);
    ASSERT_TRUE(!wrote && GetLastError() == ERROR_IO_PENDING);

    world.Unplug();
    EXPECT_TRUE(EndsWithin(write, 5000)) << "the write";
    EXPECT_TRUE(EndsWithin(read, 5000)) << "the read";
    EXPECT_TRUE(EndsWithin(wait, 5000)) << "the wait";
    EXPECT_FALSE(GetOverlappedResult(port, &write, &n, FALSE)) << "a write to a pulled modem cannot succeed";

    // After the surprise removal everything new fails at once.
    Sleep(500);
    Overlapped again;
    EXPECT_TRUE(Fails(port, WriteFile(port, "x", 1, &n, &again), again));
    EXPECT_FALSE(SetCommMask(port, EV_RXCHAR));
    EXPECT_TRUE(world.View().present) << "the removal waits for the last handle";

    EXPECT_TRUE(CloseHandle(port));
    EXPECT_TRUE(WaitForRemoval(world, 2000));
  });
}

TEST(Unplug, BeforeTheNoticeArrivesRequestsFailWithoutSpinning) {
  RunOnEachSeed([](sim::World &world) {
    HANDLE port = OpenCom7(true);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetTimeouts(port, 0, 0, 50));
    world.Unplug();
    // The hub has not noticed yet: the port is still there, its transfers fail.
    int failed = 0;
    for (int i = 0; i < 10 && world.View().deviceState != 4; ++i) {
      Overlapped io;
      DWORD n;
      char byte = char(i);
      BOOL ok = WriteFile(port, &byte, 1, &n, &io);
      if (!ok && GetLastError() == ERROR_IO_PENDING) {
        ASSERT_TRUE(EndsWithin(io, 1000)) << "write " << i;
        ok = GetOverlappedResult(port, &io, &n, FALSE);
      }
      failed += !ok;
    }
    EXPECT_GT(failed, 0);
    EXPECT_TRUE(CloseHandle(port));
    EXPECT_TRUE(WaitForRemoval(world, 2000));
  });
}

TEST(Unplug, ReplugAndReopenGivesAFreshPort) {
  RunOnEachSeed([](sim::World &world) {
    DCB fresh, changed;
    HANDLE port = OpenCom7(true);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(GetCommState(port, &fresh));
    changed = fresh;
    changed.BaudRate = fresh.BaudRate == 9600 ? 19200 : 9600;
    ASSERT_TRUE(SetCommState(port, &changed));
    world.Unplug();
    CloseHandle(port);
    ASSERT_EQ(0, world.Replug());

    port = OpenCom7(true);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    DCB now;
    ASSERT_TRUE(GetCommState(port, &now));
    EXPECT_EQ(fresh.BaudRate, now.BaudRate) << "the new device starts from the defaults";
    ExpectEcho(port, "the new modem answers");
    CloseHandle(port);
  });
}

TEST(Rebalance, AQueryStopEndsThePendingWaitAndThePortWorksAfterTheStart) {
  RunOnEachSeed([](sim::World &world) {
    HANDLE port = OpenCom7(true);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommMask(port, EV_CTS));
    Overlapped wait;
    DWORD events = 0xFFFFFFFF, n;
    ASSERT_TRUE(IsPending(WaitCommEvent(port, &events, &wait)));
    ASSERT_TRUE(world.Rebalance());
    ASSERT_TRUE(EndsWithin(wait, 0)) << "the query ended it";
    EXPECT_TRUE(GetOverlappedResult(port, &wait, &n, FALSE));
    EXPECT_EQ(0u, events);
    ExpectEcho(port, "after the rebalance");
    CloseHandle(port);
  });
}

// A rebalance of a port nobody has open gives back its interface but starts
// no reader: nothing is asked of the modem until the next open.
TEST(Rebalance, AClosedPortStaysQuietAfterTheStart) {
  RunOnEachSeed([](sim::World &world) {
    ASSERT_TRUE(world.Rebalance());
    Sleep(200);
    EXPECT_FALSE(world.View().readerRunning) << "a reader for a closed port";
    EXPECT_EQ(0u, world.View().busPendingTransfers) << "bulk-in traffic on a closed port";
    HANDLE port = OpenCom7(true);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ExpectEcho(port, "opened after the rebalance");
    CloseHandle(port);
  });
}

// Before the first open the device is started but the port is closed: a
// sleep and resume starts no reader for it.
TEST(Sleep, SleepAndResumeBeforeTheFirstOpen) {
  RunOnEachSeed([](sim::World &world) {
    ASSERT_TRUE(world.Sleep(kS3));
    world.Wake();
    Sleep(200);
    EXPECT_EQ(kD0, world.View().busDevicePowerState);
    EXPECT_FALSE(world.View().readerRunning) << "a reader for a port nobody opened";
    EXPECT_EQ(0u, world.View().busPendingTransfers);
    HANDLE port = OpenCom7(true);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ExpectEcho(port, "opened after the resume");
    CloseHandle(port);
  });
}

TEST(Sleep, SleepAndResumeWithThePortOpen) {
  RunOnEachSeed([](sim::World &world) {
    HANDLE port = OpenCom7(true);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ExpectEcho(port, "before");
    ASSERT_TRUE(world.Sleep(kS3));
    EXPECT_FALSE(world.View().readerRunning) << "stopped before the device left D0";
    EXPECT_LT(kD0, world.View().busDevicePowerState);
    EXPECT_EQ(0u, world.View().busPendingTransfers) << "nothing on the wire of a suspended port";
    world.Wake();
    Sleep(100);
    EXPECT_EQ(kD0, world.View().busDevicePowerState);
    EXPECT_TRUE(world.View().readerRunning);
    ExpectEcho(port, "after the resume");
    CloseHandle(port);
  });
}

TEST(Sleep, AReadPendingAcrossTheSleepEndsAfterTheResume) {
  RunOnEachSeed([](sim::World &world) {
    HANDLE port = OpenCom7(true);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetTimeouts(port, 0, 0, 0));
    Overlapped read;
    char in[64];
    DWORD n;
    ASSERT_TRUE(IsPending(ReadFile(port, in, sizeof in, &n, &read)));
    // Asleep, the port's timers stand still with the reader; the read is
    // held, and ends by its time-out once the system works again.
    uint32_t sleep = world.SleepAsync(kS3);
    EXPECT_TRUE(world.WaitForPower(sleep));
    world.Wake();
    EXPECT_TRUE(EndsWithin(read, 5000));
    ExpectEcho(port, "after the resume");
    CloseHandle(port);
  });
}

TEST(Sleep, WithThePortClosedPowerPassesTheDriverBy) {
  RunOnEachSeed([](sim::World &world) {
    HANDLE port = OpenCom7(true);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    CloseHandle(port);
    ASSERT_TRUE(world.Sleep(kS3));
    EXPECT_EQ(kS0, world.View().systemPowerState);
    EXPECT_EQ(kD0, world.View().devicePowerState);
    world.Wake();
    port = OpenCom7(true);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ExpectEcho(port, "opened after the resume");
    CloseHandle(port);
  });
}

TEST(Sleep, AWakeCapableModemArmedBeforeS3WakesTheSystem) {
  RunOnEachSeed([](sim::World &world) {
    HANDLE port = OpenCom7(true);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(world.View().wakeSupported);
    ASSERT_TRUE(world.Sleep(kS3));
    EXPECT_TRUE(world.View().waitWakePending) << "armed before the sleep";
    ASSERT_TRUE(world.SignalWakeFromModem());
    Sleep(20);  // the hub sees the resume signalling within a few frames
    world.WaitUntilSettled();
    EXPECT_EQ(1, world.SystemPowerState()) << "the modem woke the system";
    Sleep(100);
    EXPECT_EQ(kD0, world.View().devicePowerState);
    EXPECT_TRUE(world.View().waitWakePending) << "armed again";
    ExpectEcho(port, "after the wake");
    CloseHandle(port);
  });
}
