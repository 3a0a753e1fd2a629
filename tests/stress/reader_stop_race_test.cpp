// Stopping the reader while its transfer completes with data: every byte a
// transfer delivered without being cancelled is stored, nothing else, and the
// thread's blocks are gone once StopReader returns.
#include <gtest/gtest.h>

#include <algorithm>

#include "datapath/reader.h"
#include "datapath/ring.h"
#include "sim/kernel/sim.h"
#include "support/driver_fixture.h"
#include "support/driver_irp.h"
#include "support/reader_lower.h"
#include "support/seeds.h"

using namespace testing_support;

namespace {

constexpr size_t kChunk = 37;

// Transfers answered with data while not cancelled. A cancel may still land
// between the answer and the completion routine, which then stores nothing.
LONG Delivered(const ScriptedLower &lower) {
  LONG n = 0;
  for (size_t i = 0; i < lower.Count(); ++i) {
    const UrbSeen &s = lower.Seen(i);
    if (IsBulkIn(s) && s.answered && s.answer == STATUS_SUCCESS && !s.cancelFlagAtAnswer) ++n;
  }
  return n;
}

// The ring holds whole chunks, each one a transfer's, in the order sent.
void ExpectWholeChunksInOrder(PDEVICE_EXTENSION ext) {
  ULONG n = RingSnapshot(ext);
  ASSERT_EQ(n % kChunk, 0u) << "a partial transfer was stored";
  int last = -1;
  for (ULONG at = 0; at < n; at += kChunk) {
    uint8_t salt = ext->ScanBuffer[at];
    EXPECT_GT(int(salt), last) << "chunks out of order";
    last = salt;
    std::vector<uint8_t> expect = Bytes(kChunk, salt);
    EXPECT_TRUE(std::equal(expect.begin(), expect.end(), ext->ScanBuffer + at)) << "chunk " << int(salt) << " corrupted";
  }
}

}  // namespace

TEST(ReaderStopRace, StopWhileDataArrives) {
  RunOnMachineForEachSeed([](uint64_t seed) {
    TestDevice dev;
    PDEVICE_EXTENSION ext = dev.Ext();
    // Each transfer is answered with data on the next clock tick, unless a
    // cancel gets there first (answered cancelled a tick later); some are
    // not cancelable at all and only carry the cancel flag.
    uint64_t n = 0;
    dev.Lower().SetPolicy([&](const UrbSeen &s) {
      if (!IsBulkIn(s)) return UrbReply::Now(STATUS_SUCCESS, {0});
      ++n;
      // Not CancelAtOnce: the scripted device's timer answer and its
      // cancel routine race on the IRP in that mode.
      UrbReply::CancelMode mode = (n + seed) % 2 == 0 ? UrbReply::NotCancelable : UrbReply::CancelLater;
      UrbReply r = UrbReply::After(1, STATUS_SUCCESS, Bytes(kChunk, uint8_t(n)), mode);
      return r;
    });
    size_t blocks = DriverBlocks();
    for (int round = 0; round < 3; ++round) {
      SCOPED_TRACE("round " + std::to_string(round));
      dev.StartReader();
      SleepMs(1 + (seed * 7 + round * 13) % 40);
      dev.StopReader();
      // The I/O timer may have queued a status poll meanwhile; its blocks are not the reader's.
      dev.WaitStatusPollsIdle();
      EXPECT_EQ(ext->ReaderThread, nullptr);
      EXPECT_EQ(DriverBlocks(), blocks) << "the reader's blocks outlived StopReader";
      EXPECT_EQ(dev.Lower().PendingCount(), 0u) << "a transfer outlived StopReader";
      LONG chunks = ext->RingCount / LONG(kChunk);
      EXPECT_LE(chunks, Delivered(dev.Lower()));
      EXPECT_GE(chunks, Delivered(dev.Lower()) - (round + 1)) << "more than the last transfer of a run lost";
      ExpectWholeChunksInOrder(ext);
      size_t count = dev.Lower().Count();
      SleepMs(20);
      EXPECT_EQ(dev.Lower().Count(), count) << "a transfer after the stop";
      if (::testing::Test::HasFailure()) return;
    }
  });
}
