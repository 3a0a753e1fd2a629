// The modem's whole life again and again on one machine: plugged, opened,
// traffic, the system asleep and awake, traffic, pulled out with a read
// pending, closed, removed. After every cycle the machine holds what it held
// after the first plug: no pool block, IRP, handle or thread is left behind.
// USBMODEM_CYCLES sets the cycles per seed (default 5).
#include <gtest/gtest.h>

#include <cstdlib>

#include "sim/world/world.h"
#include "support/win32_machine.h"
#include "support/win32_port.h"

using namespace testing_support;

namespace {

int Cycles() {
  const char *n = std::getenv("USBMODEM_CYCLES");
  return n != nullptr ? std::atoi(n) : 5;
}

bool Echoes(HANDLE port, const std::vector<char> &bytes) {
  Overlapped io;
  DWORD n = 0;
  if (!Completes(port, WriteFile(port, bytes.data(), (DWORD)bytes.size(), &n, &io), &io, &n) || n != bytes.size())
    return false;
  std::vector<char> back;
  for (int empty = 0; back.size() < bytes.size() && empty < 3;) {
    std::vector<char> buffer(bytes.size() - back.size());
    if (!Completes(port, ReadFile(port, buffer.data(), (DWORD)buffer.size(), &n, &io), &io, &n)) return false;
    back.insert(back.end(), buffer.begin(), buffer.begin() + n);
    empty = n == 0 ? empty + 1 : 0;
  }
  return back == bytes;
}

std::string Describe(const sim::MachineCounts &c) {
  return std::to_string(c.driverPoolBlocks) + " pool blocks, " + std::to_string(c.irps) + " IRPs, " +
         std::to_string(c.handles) + " handles, " + std::to_string(c.systemThreads) + " system threads";
}

bool Same(const sim::MachineCounts &a, const sim::MachineCounts &b) {
  return a.driverPoolBlocks == b.driverPoolBlocks && a.irps == b.irps && a.handles == b.handles &&
         a.systemThreads == b.systemThreads;
}

// Let the managers finish and the workers that already did their job return.
sim::MachineCounts SettledCounts(sim::World &world) {
  world.WaitUntilSettled();
  Sleep(100);
  return world.Counts();
}

void OneLife(sim::World &world, int cycle) {
  HANDLE port = OpenCom7(true);
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << "error " << GetLastError();
  ASSERT_TRUE(SetTimeouts(port, 20, 0, 200));
  ASSERT_TRUE(Echoes(port, Pattern(300, cycle))) << "before the sleep";
  ASSERT_TRUE(world.Sleep(4));
  world.Wake();
  ASSERT_TRUE(Echoes(port, Pattern(300, cycle + 1000))) << "after the resume";

  ASSERT_TRUE(SetTimeouts(port, 0, 0, 0));
  Overlapped read;
  char buffer[32];
  DWORD n;
  ASSERT_TRUE(IsPending(ReadFile(port, buffer, sizeof buffer, &n, &read)));
  world.Unplug();
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(read.ov.hEvent, 5000)) << "the read hangs after the unplug";
  ASSERT_TRUE(CloseHandle(port));
  for (int waited = 0; world.View().present && waited < 3000; waited += 10) Sleep(10);
  ASSERT_FALSE(world.View().present) << "the removal did not come after the last handle closed";
}

}  // namespace

TEST(LifeCycles, PlugOpenTrafficSleepResumeUnplugGivesEverythingBack) {
  int cycles = Cycles();
  ForEachSeed([cycles](sim::World &world) {
    world.Run([&] {
      sim::MachineCounts base = SettledCounts(world);
      for (int cycle = 0; cycle < cycles; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        if (cycle > 0) {
          ASSERT_EQ(0, world.Replug());
          sim::MachineCounts now = SettledCounts(world);
          ASSERT_TRUE(Same(base, now)) << "after the first plug: " << Describe(base) << "; now: " << Describe(now);
        }
        OneLife(world, cycle);
        if (::testing::Test::HasFatalFailure()) return;
      }
    });
  });
}
