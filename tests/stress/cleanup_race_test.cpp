// Closing the port while a write is on the bus and a status poll is waiting
// for its answer: cleanup drains both before it touches DTR, and the close
// leaves nothing running.
#include <gtest/gtest.h>

#include "driver/driver.h"
#include "sim/kernel/ntapi.h"
#include "sim/kernel/sim.h"
#include "sim/usb/device.h"
#include "sim/world/world.h"
#include "support/driver_fixture.h"
#include "support/driver_irp.h"
#include "support/win32_machine.h"

using namespace testing_support;
using sim::usb::LogEntry;
using sim::usb::RequestKind;

TEST(CleanupRace, CloseWithAWriteInFlightAndAStatusPollOutstanding) {
  ForEachSeed([](sim::World &world) {
    uint64_t seed = world.Seed();
    world.Run([&] {
      SCOPED_TRACE("seed " + std::to_string(seed) + " (replay with USBMODEM_SEED=" + std::to_string(seed) + ")");
      sim::usb::Device *modem = world.Modem();
      modem->SetLatencyMs(RequestKind::GetStatus, 60 + seed % 5 * 20);
      modem->SetLatencyMs(RequestKind::BulkOut, 10 + seed % 7 * 10);
      HANDLE port;
      IO_STATUS_BLOCK iosb;
      ASSERT_EQ(sim::NtCreateFile(&port, GENERIC_READ | GENERIC_WRITE, L"\\??\\COM7", &iosb, false), STATUS_SUCCESS);
      // Up to the first status poll, give or take a few ticks.
      SleepMs(960 + seed % 6 * 15);
      DriverIrp write;
      ASSERT_EQ(write.Write(world.Fdo(), Bytes(1500, uint8_t(seed))), STATUS_PENDING);
      SleepMs(seed % 3);
      uint64_t closedAt = sim::NowMs();
      EXPECT_EQ(sim::NtClose(port), STATUS_SUCCESS);
      EXPECT_TRUE(write.Done()) << "cleanup returned before the write ended";
      write.Wait(0);
      EXPECT_TRUE(CompletedWith(write, STATUS_SUCCESS, 1500u));

      std::vector<LogEntry> log = modem->Log();
      std::vector<LogEntry> dtr;
      uint64_t busyUntil = 0;
      for (const LogEntry &e : log) {
        if (e.kind == RequestKind::SetDtr) dtr.push_back(e);
        bool drained = e.kind == RequestKind::BulkOut || e.kind == RequestKind::GetStatus;
        if (drained && e.submitMs <= closedAt && e.completeMs > busyUntil) busyUntil = e.completeMs;
      }
      ASSERT_EQ(dtr.size(), 4u) << "open and cleanup each drop and raise DTR";
      EXPECT_EQ(dtr[2].value, 0);
      EXPECT_EQ(dtr[3].value, 1);
      EXPECT_GE(dtr[2].submitMs, busyUntil) << "DTR dropped before the write and the poll had finished";
      PDEVICE_EXTENSION ext = world.Extension();
      EXPECT_EQ(ext->OpenCount, 0);
      EXPECT_EQ(ext->DeviceState, ULONG(NotStarted));
      EXPECT_EQ(ext->ReaderThread, nullptr);
      SleepMs(300);  // a poll the close raced with finishes
      EXPECT_EQ(ext->OutstandingIo, 1);
      size_t count = modem->Log().size();
      SleepMs(2000);
      EXPECT_EQ(modem->Log().size(), count) << "traffic after the close";
    });
  });
}
