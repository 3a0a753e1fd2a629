// StopReader while the read timer's DPC or the status poll's I/O timer
// routine runs on another processor: once StopReader has returned, nothing
// of the device's runs any more, so a removal after it may delete the device.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "datapath/reader.h"
#include "sim/kernel/internal.h"
#include "sim/kernel/sim.h"
#include "support/driver_fixture.h"
#include "support/driver_irp.h"
#include "support/reader_lower.h"
#include "support/seeds.h"

using namespace testing_support;

namespace {

// Which of the device's routines is executing on some processor, or "".
std::string RunningRoutine(PDEVICE_OBJECT fdo) {
  std::string what;
  size_t size = sizeof(DEVICE_OBJECT) + sizeof(DEVICE_EXTENSION);
  return sim::internal::FindRunningRoutine(fdo, size, &what) ? what : std::string();
}

// Polls (on the virtual clock) until one of the device's routines runs, for
// at most `ms`; true when caught in the act.
bool CatchRoutineRunning(PDEVICE_OBJECT fdo, uint64_t ms) {
  // With one processor a routine runs only while this thread is interrupted.
  if (KeQueryActiveProcessors() == 1) {
    SleepMs(ms);
    return false;
  }
  for (uint64_t tries = 0; tries < ms * 10; ++tries) {
    for (int spin = 0; spin < 50; ++spin) {
      if (!RunningRoutine(fdo).empty()) return true;
      sim::SchedulePoint();
    }
    LARGE_INTEGER t;
    t.QuadPart = -1000;  // 100 us
    KeDelayExecutionThread(KernelMode, FALSE, &t);
  }
  return false;
}

void StopWhileRoutineRuns(bool withReads) {
  RunOnMachineForEachSeed([&](uint64_t seed) {
    (void)seed;
    TestDevice dev;
    dev.Lower().SetPolicy([](const UrbSeen &s) {
      // Bulk-in transfers stay pending until cancelled; the rest succeed.
      if (IsBulkIn(s)) return UrbReply::Pending();
      return UrbReply::Now(STATUS_SUCCESS, {0});
    });
    dev.StartReader();
    std::vector<std::unique_ptr<DriverIrp>> reads;
    if (withReads) {
      // Queued reads keep the read timer's DPC running every few milliseconds.
      for (int i = 0; i < 2; ++i) {
        reads.push_back(std::make_unique<DriverIrp>());
        reads.back()->Read(dev.Fdo(), 64);
      }
    }
    bool caught = CatchRoutineRunning(dev.Fdo(), 1500);
    dev.StopReader();
    std::string left = RunningRoutine(dev.Fdo());
    EXPECT_EQ(left, "") << "still running after StopReader (caught one running before: " << caught << ")";
    dev.WaitStatusPollsIdle();
    // A read still queued stays so with the timer stopped, until cancelled.
    for (auto &r : reads) {
      r->Cancel();
      EXPECT_TRUE(r->Wait(100)) << "a queued read survived its cancel";
    }
  });
}

}  // namespace

TEST(ReaderStopRoutineRace, StopWhileTheIoTimerRoutineRuns) { StopWhileRoutineRuns(false); }

TEST(ReaderStopRoutineRace, StopWhileTheReadTimerDpcRuns) { StopWhileRoutineRuns(true); }
