// The receive ring: wrap-around on both sides, overflow, the full/empty
// ambiguity of equal indices, snapshots and takes into every kind of buffer.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <numeric>

#include "datapath/ring.h"
#include "sim/kernel/mdl.h"
#include "support/driver_fixture.h"

using namespace testing_support;

namespace {

std::vector<uint8_t> Sequence(size_t n, uint8_t start = 0) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(start + i * 7);
  return v;
}

// Runs body on the receive ring of a fresh device.
void WithRing(const std::function<void(PDEVICE_EXTENSION)> &body) {
  RunOnMachine([&] {
    TestDevice dev;
    body(dev.Ext());
  });
}

// Appends Sequence(n, start) to the ring and hands back what it appended.
std::vector<uint8_t> AppendSequence(PDEVICE_EXTENSION ext, size_t n, uint8_t start = 0) {
  std::vector<uint8_t> data = Sequence(n, start);
  RingAppend(ext, data.data(), static_cast<ULONG>(n));
  return data;
}

// Empty ring whose next byte goes to position `at`.
void PlaceEmptyAt(PDEVICE_EXTENSION ext, ULONG at) {
  ext->RingReadIndex = at;
  ext->RingWriteIndex = at;
  ext->RingCount = 0;
}

// A read request the ring can copy into; owns its buffer.
struct ReadTarget {
  std::vector<uint8_t> buffer;
  PIRP irp;
  explicit ReadTarget(size_t n) : buffer(n, 0xEE) {
    irp = IoAllocateIrp(1, FALSE);
    irp->AssociatedIrp.SystemBuffer = buffer.data();
  }
  ~ReadTarget() { IoFreeIrp(irp); }
};

ULONG TakeLocked(PDEVICE_EXTENSION ext, PIRP irp, ULONG count) {
  KIRQL irql;
  KeAcquireSpinLock(&ext->RingLock, &irql);
  ULONG n = RingTake(ext, irp, count);
  KeReleaseSpinLock(&ext->RingLock, irql);
  return n;
}

std::vector<uint8_t> RingBytes(PDEVICE_EXTENSION ext, ULONG from, ULONG n) {
  return std::vector<uint8_t>(ext->ReadRing + from, ext->ReadRing + from + n);
}

void ExpectInvariant(PDEVICE_EXTENSION ext) {
  EXPECT_EQ(ext->RingWriteIndex, (ext->RingReadIndex + static_cast<ULONG>(ext->RingCount)) % RING_SIZE);
}

}  // namespace

TEST(Ring, AppendWrapsAroundTheEndInTwoPieces) {
  WithRing([](PDEVICE_EXTENSION ext) {
    PlaceEmptyAt(ext, 40900);
    auto data = AppendSequence(ext, 100);
    EXPECT_EQ(RingBytes(ext, 40900, 60), std::vector<uint8_t>(data.begin(), data.begin() + 60));
    EXPECT_EQ(RingBytes(ext, 0, 40), std::vector<uint8_t>(data.begin() + 60, data.end()));
    EXPECT_EQ(ext->RingWriteIndex, 40u);
    EXPECT_EQ(ext->RingCount, 100);
    ExpectInvariant(ext);

    ReadTarget t(100);
    EXPECT_EQ(TakeLocked(ext, t.irp, 100), 100u);
    EXPECT_EQ(t.buffer, data);
    EXPECT_EQ(ext->RingReadIndex, 40u);
    EXPECT_EQ(ext->RingCount, 0);
  });
}

TEST(Ring, AppendEndingAtTheLastPositionWrapsTheWriteIndexToZero) {
  WithRing([](PDEVICE_EXTENSION ext) {
    PlaceEmptyAt(ext, 40000);
    auto data = AppendSequence(ext, 960);
    EXPECT_EQ(ext->RingWriteIndex, 0u);
    EXPECT_EQ(ext->RingCount, 960);
    EXPECT_EQ(RingBytes(ext, 40000, 960), data);
  });
}

TEST(Ring, OverflowDropsTheTailOfTheTransfer) {
  WithRing([](PDEVICE_EXTENSION ext) {
    auto filler = AppendSequence(ext, 40000, 3);
    auto data = AppendSequence(ext, 1024, 100);
    EXPECT_EQ(ext->RingCount, 40960);
    EXPECT_EQ(ext->RingWriteIndex, 0u);
    EXPECT_EQ(RingBytes(ext, 40000, 960), std::vector<uint8_t>(data.begin(), data.begin() + 960));
    EXPECT_EQ(RingBytes(ext, 0, 40000), filler) << "nothing is overwritten";
    EXPECT_EQ(ext->PerfStats.BufferOverrunErrorCount, 0u);

    auto more = AppendSequence(ext, 64, 200);
    EXPECT_EQ(ext->RingCount, 40960);
    EXPECT_EQ(ext->RingWriteIndex, 0u);
    EXPECT_EQ(RingBytes(ext, 0, 40000), filler);
  });
}

TEST(Ring, TakeToTheEndLeavesTheReadIndexAtRingSizeAndTheNextStartsAtZero) {
  WithRing([](PDEVICE_EXTENSION ext) {
    PlaceEmptyAt(ext, 40000);
    auto first = AppendSequence(ext, 960, 1);
    ReadTarget a(960);
    EXPECT_EQ(TakeLocked(ext, a.irp, 960), 960u);
    EXPECT_EQ(a.buffer, first);
    EXPECT_EQ(ext->RingReadIndex, 40960u);
    EXPECT_EQ(ext->RingCount, 0);

    auto second = AppendSequence(ext, 10, 50);
    ReadTarget b(10);
    EXPECT_EQ(TakeLocked(ext, b.irp, 10), 10u);
    EXPECT_EQ(b.buffer, second);
    EXPECT_EQ(ext->RingReadIndex, 10u);
    ExpectInvariant(ext);
  });
}

TEST(Ring, FullRingWithEqualIndicesIsTakenAndSnapshottedOldestFirst) {
  WithRing([](PDEVICE_EXTENSION ext) {
    for (ULONG i = 0; i < RING_SIZE; ++i) ext->ReadRing[i] = static_cast<uint8_t>((i * 31) ^ (i >> 8));
    ext->RingReadIndex = 30000;
    ext->RingWriteIndex = 30000;
    ext->RingCount = RING_SIZE;
    std::vector<uint8_t> oldestFirst = RingBytes(ext, 30000, 10960);
    auto head = RingBytes(ext, 0, 30000);
    oldestFirst.insert(oldestFirst.end(), head.begin(), head.end());

    memset(ext->ScanBuffer, 0, RING_SIZE);
    EXPECT_EQ(RingSnapshot(ext), RING_SIZE);
    EXPECT_EQ(std::vector<uint8_t>(ext->ScanBuffer, ext->ScanBuffer + RING_SIZE), oldestFirst);
    EXPECT_EQ(ext->RingCount, 40960) << "a snapshot leaves the ring alone";
    EXPECT_EQ(ext->RingReadIndex, 30000u);

    ReadTarget t(20000);
    EXPECT_EQ(TakeLocked(ext, t.irp, 20000), 20000u);
    EXPECT_EQ(t.buffer, std::vector<uint8_t>(oldestFirst.begin(), oldestFirst.begin() + 20000));
    EXPECT_EQ(ext->RingReadIndex, 9040u);
    EXPECT_EQ(ext->RingCount, 20960);
    ExpectInvariant(ext);
  });
}

TEST(Ring, TakeOfNothingTouchesNeitherIndicesNorDestination) {
  WithRing([](PDEVICE_EXTENSION ext) {
    auto data = AppendSequence(ext, 10);
    ReadTarget t(4);
    EXPECT_EQ(TakeLocked(ext, t.irp, 0), 0u);
    EXPECT_EQ(t.buffer, std::vector<uint8_t>(4, 0xEE));
    EXPECT_EQ(ext->RingReadIndex, 0u);
    EXPECT_EQ(ext->RingCount, 10);

    PIRP bare = IoAllocateIrp(1, FALSE);  // no buffer at all: not even looked at
    bare->AssociatedIrp.SystemBuffer = nullptr;
    EXPECT_EQ(TakeLocked(ext, bare, 0), 0u);
    IoFreeIrp(bare);
  });
}

TEST(Ring, TakeWithNoDestinationCopiesNothingAndKeepsTheBytes) {
  WithRing([](PDEVICE_EXTENSION ext) {
    auto data = AppendSequence(ext, 10);
    PIRP bare = IoAllocateIrp(1, FALSE);
    bare->AssociatedIrp.SystemBuffer = nullptr;
    EXPECT_EQ(TakeLocked(ext, bare, 5), 0u);
    IoFreeIrp(bare);
    EXPECT_EQ(ext->RingReadIndex, 0u);
    EXPECT_EQ(ext->RingCount, 10);
  });
}

TEST(Ring, ResetEmptiesTheRingAndTheNextTransferStartsAtZero) {
  WithRing([](PDEVICE_EXTENSION ext) {
    PlaceEmptyAt(ext, 777);
    auto old = AppendSequence(ext, 300);
    RingReset(ext);
    EXPECT_EQ(ext->RingCount, 0);
    EXPECT_EQ(ext->RingReadIndex, 0u);
    EXPECT_EQ(ext->RingWriteIndex, 0u);
    EXPECT_EQ(RingSnapshot(ext), 0u);
    auto fresh = AppendSequence(ext, 5, 9);
    EXPECT_EQ(RingBytes(ext, 0, 5), fresh);
    EXPECT_EQ(ext->RingWriteIndex, 5u);
  });
}

TEST(Ring, TakeIntoAnMdlUsesItsSystemAddress) {
  WithRing([](PDEVICE_EXTENSION ext) {
    PlaceEmptyAt(ext, 40950);
    auto data = AppendSequence(ext, 20);

    // Non-paged pool: the MDL already carries its system address.
    PUCHAR pool = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, 12, 0x74736554 /* "Test" */));
    PMDL mdl = IoAllocateMdl(pool, 12, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    PIRP irp = IoAllocateIrp(1, FALSE);
    irp->MdlAddress = mdl;
    irp->AssociatedIrp.SystemBuffer = nullptr;
    EXPECT_EQ(TakeLocked(ext, irp, 12), 12u);
    EXPECT_EQ(std::vector<uint8_t>(pool, pool + 12), std::vector<uint8_t>(data.begin(), data.begin() + 12));

    // Locked pages without a mapping: the take maps them.
    std::vector<uint8_t> user(8, 0xEE);
    PMDL locked = IoAllocateMdl(user.data(), 8, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(locked, KernelMode, IoWriteAccess);
    irp->MdlAddress = locked;
    EXPECT_EQ(TakeLocked(ext, irp, 8), 8u);
    EXPECT_EQ(user, std::vector<uint8_t>(data.begin() + 12, data.end()));
    EXPECT_EQ(ext->RingCount, 0);

    irp->MdlAddress = nullptr;
    IoFreeIrp(irp);
    if (locked->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) MmUnmapLockedPages(locked->MappedSystemVa, locked);
    MmUnlockPages(locked);
    IoFreeMdl(locked);
    IoFreeMdl(mdl);
    ExFreePool(pool);
  });
}

TEST(Ring, TakeIntoAnMdlThatCannotBeMappedCopiesNothing) {
  WithRing([](PDEVICE_EXTENSION ext) {
    auto data = AppendSequence(ext, 16);
    std::vector<uint8_t> user(16, 0xEE);
    PMDL locked = IoAllocateMdl(user.data(), 16, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(locked, KernelMode, IoWriteAccess);
    PIRP irp = IoAllocateIrp(1, FALSE);
    irp->MdlAddress = locked;
    irp->AssociatedIrp.SystemBuffer = user.data();  // must not be used instead of the MDL

    sim::mdl::FailMappings(true);
    EXPECT_EQ(TakeLocked(ext, irp, 16), 0u);
    sim::mdl::FailMappings(false);
    EXPECT_EQ(sim::mdl::FailedMappings(), 1u);
    EXPECT_EQ(user, std::vector<uint8_t>(16, 0xEE));
    EXPECT_EQ(ext->RingCount, 16);
    EXPECT_EQ(ext->RingReadIndex, 0u);

    irp->MdlAddress = nullptr;
    IoFreeIrp(irp);
    MmUnlockPages(locked);
    IoFreeMdl(locked);
  });
}
