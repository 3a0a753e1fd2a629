// Opening and closing the port again and again with data flowing through a
// loopback modem, sometimes closing with a read still queued.
#include <gtest/gtest.h>

#include <algorithm>

#include "driver/driver.h"
#include "sim/kernel/ntapi.h"
#include "sim/kernel/sim.h"
#include "sim/world/world.h"
#include "support/driver_fixture.h"
#include "support/driver_irp.h"
#include "support/win32_machine.h"

using namespace testing_support;

namespace {

// Reads until `want` bytes came back or the reads keep timing out empty.
std::vector<uint8_t> ReadBack(HANDLE port, size_t want, int patience = 5) {
  std::vector<uint8_t> got;
  for (int empty = 0; got.size() < want && empty < patience;) {
    std::vector<uint8_t> buffer(want - got.size());
    IO_STATUS_BLOCK iosb;
    NTSTATUS s = sim::NtReadFile(port, nullptr, &iosb, buffer.data(), static_cast<ULONG>(buffer.size()));
    EXPECT_TRUE(s == STATUS_SUCCESS || s == STATUS_TIMEOUT) << std::hex << s;
    if (!NT_SUCCESS(s)) break;
    got.insert(got.end(), buffer.begin(), buffer.begin() + iosb.Information);
    empty = iosb.Information == 0 ? empty + 1 : 0;
  }
  return got;
}

}  // namespace

TEST(OpenCloseCycles, TrafficAcrossRepeatedOpens) {
  ForEachSeed([](sim::World &world) {
    uint64_t seed = world.Seed();
    world.Run([&] {
      SCOPED_TRACE("seed " + std::to_string(seed) + " (replay with USBMODEM_SEED=" + std::to_string(seed) + ")");
      // Bytes echoed after the last close stay in the modem and arrive after
      // the next open: what comes back is some tail of them, then the data.
      std::vector<uint8_t> leftover;
      for (int cycle = 0; cycle < 3; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        HANDLE port;
        IO_STATUS_BLOCK iosb;
        ASSERT_EQ(sim::NtCreateFile(&port, GENERIC_READ | GENERIC_WRITE, L"\\??\\COM7", &iosb, false),
                  STATUS_SUCCESS);
        HANDLE second;
        EXPECT_EQ(sim::NtCreateFile(&second, GENERIC_READ | GENERIC_WRITE, L"\\??\\COM7", &iosb, false),
                  STATUS_ACCESS_DENIED);
        size_t size = 1 + (seed * 977 + cycle * 331) % 2500;
        std::vector<uint8_t> data = Bytes(size, uint8_t(seed + cycle));
        ASSERT_EQ(sim::NtWriteFile(port, nullptr, &iosb, data.data(), static_cast<ULONG>(size)), STATUS_SUCCESS);
        EXPECT_EQ(iosb.Information, size);
        std::vector<uint8_t> got = ReadBack(port, size + leftover.size(), 2);
        ASSERT_GE(got.size(), size);
        size_t stale = got.size() - size;
        EXPECT_LE(stale, leftover.size());
        EXPECT_TRUE(std::equal(got.begin(), got.begin() + stale, leftover.end() - stale)) << "stale bytes out of order";
        EXPECT_TRUE(std::equal(data.begin(), data.end(), got.begin() + stale)) << "data corrupted";
        leftover.clear();
        if ((seed + cycle) % 2 == 0) {
          // Close with a read queued and echoed bytes on their way.
          DriverIrp queued;
          ASSERT_EQ(queued.Read(world.Fdo(), 100), STATUS_PENDING);
          leftover = Bytes(50, uint8_t(cycle));
          sim::NtWriteFile(port, nullptr, &iosb, leftover.data(), 50);
          EXPECT_EQ(sim::NtClose(port), STATUS_SUCCESS);
          ASSERT_TRUE(queued.Done()) << "cleanup left a read queued";
          EXPECT_TRUE(queued.Status() == STATUS_CANCELLED || NT_SUCCESS(queued.Status()));
        } else {
          EXPECT_EQ(sim::NtClose(port), STATUS_SUCCESS);
        }
        PDEVICE_EXTENSION ext = world.Extension();
        EXPECT_EQ(ext->OpenCount, 0);
        EXPECT_EQ(ext->ReaderThread, nullptr);
        if (::testing::Test::HasFailure()) return;
      }
    });
  });
}
