// The received-bytes counter is added to by the return-at-once read path in
// the reader's thread and by the read timer's DPC on another processor: no
// addition may be lost. (The race detector build also checks that the two
// additions never race on plain memory.)
#include <gtest/gtest.h>

#include "datapath/ring.h"
#include "sim/kernel/sim.h"
#include "support/driver_fixture.h"
#include "support/driver_irp.h"

using namespace testing_support;

namespace {

void SetTimeouts(TestDevice &dev, ULONG interval, ULONG multiplier, ULONG constant) {
  SERIAL_TIMEOUTS t = {interval, multiplier, constant, 0, 0};
  ASSERT_EQ(dev.Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof(t), 0).status, STATUS_SUCCESS);
}

}  // namespace

TEST(ReceivedCountRace, QueuedAndAtOnceReadsCountEveryByte) {
  RunOnMachineForEachSeed([](uint64_t seed) {
    TestDevice dev;
    PDEVICE_EXTENSION ext = dev.Ext();
    constexpr int kQueued = 8;
    constexpr ULONG kQueuedLength = 8;
    // Queued reads wait for their whole length; then the port turns to
    // return-at-once, which the reads already queued keep ignoring.
    SetTimeouts(dev, 0, 0, 0);
    DriverIrp queued[kQueued];
    for (DriverIrp &r : queued) ASSERT_EQ(r.Read(dev.Fdo(), kQueuedLength), STATUS_PENDING);
    SetTimeouts(dev, MAXULONG, 0, 0);
    ULONG atOnce = 0;
    TestThread reader("at-once reader", [&] {
      for (int i = 0; i < 60; ++i) {
        DriverIrp r;
        // The completion routine runs inside the driver's at-once path, after
        // the ring lock and before the counter: a slow one (legal at
        // PASSIVE_LEVEL) lets the read timer's DPC serve a queued read meanwhile.
        r.OnComplete([] { SleepMs(2); });
        r.Read(dev.Fdo(), 3);
        atOnce += static_cast<ULONG>(r.Information());
        SleepMs(1 + (seed + i) % 3);
      }
    });
    for (int i = 0; i < 60; ++i) {
      std::vector<uint8_t> bytes = Bytes(5, uint8_t(i));
      RingAppend(ext, bytes.data(), static_cast<ULONG>(bytes.size()));
      SleepMs(2);
    }
    reader.Join();
    ULONG served = 0;
    for (DriverIrp &r : queued) {
      if (!r.Done()) {
        r.Cancel();
        r.Wait(100);
      }
      served += static_cast<ULONG>(r.Information());
    }
    EXPECT_EQ(ext->PerfStats.ReceivedCount, atOnce + served) << "seed " << seed;
  });
}
