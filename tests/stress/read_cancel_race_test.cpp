// A queued read cancelled by the application at the very tick at which the
// read timer times it out, while a purge flushes the queue: each read is
// completed exactly once, by whoever claimed it, with that party's outcome.
#include <gtest/gtest.h>

#include "datapath/read_queue.h"
#include "datapath/ring.h"
#include "sim/kernel/sim.h"
#include "support/driver_fixture.h"
#include "support/driver_irp.h"
#include "support/seeds.h"

using namespace testing_support;

namespace {

constexpr int kReads = 3;

// Sleeps until the tick at which reads queued now time out.
void SleepUntilTimeoutTick() { SleepMs(READ_TIMEOUT_MS); }

}  // namespace

TEST(ReadCancelRace, CancelAndPurgeAgainstTheTimerClaim) {
  RunOnMachineForEachSeed([](uint64_t seed) {
    TestDevice dev;
    PDEVICE_EXTENSION ext = dev.Ext();
    size_t blocks = DriverBlocks();
    std::vector<uint8_t> data = Bytes(5, uint8_t(seed));
    RingAppend(ext, data.data(), 5);
    DriverIrp reads[kReads];
    for (DriverIrp &r : reads) ASSERT_EQ(r.Read(dev.Fdo(), 64), STATUS_PENDING);
    bool purge = seed % 2 == 0;
    int cancelled = static_cast<int>(seed % kReads);
    {
      TestThread canceller("canceller", [&] {
        SleepUntilTimeoutTick();
        reads[cancelled].Cancel();
      });
      TestThread purger("purger", [&] {
        SleepUntilTimeoutTick();
        if (purge) {
          EXPECT_EQ(dev.IoctlUlong(IOCTL_SERIAL_PURGE, SERIAL_PURGE_RXABORT).status, STATUS_SUCCESS);
        }
      });
    }
    LONG delivered = 0;
    for (int i = 0; i < kReads; ++i) {
      SCOPED_TRACE("read " + std::to_string(i));
      ASSERT_TRUE(reads[i].Wait(200));
      NTSTATUS s = reads[i].Status();
      if (s == STATUS_TIMEOUT) {
        // The first read served takes all five bytes.
        delivered += static_cast<LONG>(reads[i].Information());
        std::vector<uint8_t> got = reads[i].Data();
        EXPECT_TRUE(got.empty() || got == data);
      } else {
        EXPECT_EQ(s, STATUS_CANCELLED);
        EXPECT_EQ(reads[i].Information(), 0u);
      }
    }
    EXPECT_EQ(delivered + ext->RingCount, 5) << "bytes lost or duplicated";
    EXPECT_EQ(ext->ReadQueue.Count, 0);
    EXPECT_TRUE(IsListEmpty(&ext->ReadQueue.Head));
    EXPECT_EQ(ext->OutstandingIo, 1);
    EXPECT_EQ(DriverBlocks(), blocks);
  });
}

TEST(ReadCancelRace, CancelAgainstCancelQueuedReads) {
  RunOnMachineForEachSeed([](uint64_t seed) {
    TestDevice dev;
    PDEVICE_EXTENSION ext = dev.Ext();
    DriverIrp reads[kReads];
    for (DriverIrp &r : reads) ASSERT_EQ(r.Read(dev.Fdo(), 64), STATUS_PENDING);
    {
      TestThread canceller("canceller", [&] {
        for (int i = 0; i < kReads; ++i) reads[(i + seed) % kReads].Cancel();
      });
      TestThread flusher("flusher", [&] { CancelQueuedReads(ext); });
    }
    for (DriverIrp &r : reads) {
      ASSERT_TRUE(r.Wait(50));
      EXPECT_TRUE(CompletedWith(r, STATUS_CANCELLED, 0u));
    }
    EXPECT_EQ(ext->ReadQueue.Count, 0);
    EXPECT_EQ(ext->OutstandingIo, 1);
  });
}
