// Pool: accounting, fill patterns, the verifier's free checks, leaks at
// teardown, and fault injection.
#include "kernel/io_test_util.h"

using namespace io_test;
using sim::Fault;

namespace {

const ULONG kTag = sim::pool::TagOf("Tst1");
const ULONG kOther = sim::pool::TagOf("Tst2");

TEST(Pool, AccountsPerTagAndFillsBlocks) {
  RunExpectingNoFaults([] {
    auto *a = static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, 16, kTag));
    void *b = ExAllocatePoolWithTag(NonPagedPool, 32, kTag);
    void *c = ExAllocatePoolWithTag(PagedPool, 8, kOther);
    EXPECT_EQ(sim::pool::Outstanding(kTag), 2u);
    EXPECT_EQ(sim::pool::OutstandingBytes(kTag), 48u);
    EXPECT_EQ(sim::pool::OutstandingTotal(), 3u);
    // Pool is not zeroed: a driver relying on it reads the fill pattern.
    for (int i = 0; i < 16; ++i) EXPECT_EQ(a[i], sim::pool::kFreshByte);
    ExFreePoolWithTag(a, kTag);
    ExFreePool(b);
    ExFreePool(c);
    EXPECT_EQ(sim::pool::Outstanding(kTag), 0u);
    EXPECT_EQ(sim::pool::OutstandingTotal(), 0u);
  });
}

TEST(Pool, LeakAtTeardownNamesTagSizeAndSequence) {
  sim::Kernel k(Options());
  k.Run([] {
    ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 4, kOther));
    ExAllocatePoolWithTag(NonPagedPool, 24, kTag);
    // The I/O manager's own blocks are not the driver's leaks.
    PDEVICE_OBJECT device;
    IoCreateDevice(MakeDriver(), 8, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  });
  k.Shutdown();
  ASSERT_EQ(CountFaults(k, Fault::PoolLeak), 1) << DescribeFaults(k);
  const std::string &d = k.Faults()[0].detail;
  EXPECT_NE(d.find("'Tst1'"), std::string::npos) << d;
  EXPECT_NE(d.find("size 24"), std::string::npos) << d;
  EXPECT_NE(d.find("allocation #2"), std::string::npos) << d;
}

TEST(Pool, ZeroByteAllocationIsAFault) {
  sim::Kernel k(Options());
  k.Run([] {
    ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 0, kTag));
    ExFreePool(ExAllocatePool(PagedPool, 0));
    ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 1, kTag));
  });
  k.Shutdown();
  ASSERT_EQ(CountFaults(k, Fault::ZeroBytePoolAllocation), 2) << DescribeFaults(k);
  EXPECT_EQ(k.Faults()[0].routine, "ExAllocatePoolWithTag");
  EXPECT_EQ(k.Faults()[1].routine, "ExAllocatePool");
  EXPECT_EQ(k.Faults().size(), 2u) << DescribeFaults(k);
}

TEST(Pool, BadFreesAreReportedWithoutCrashing) {
  sim::Kernel k(Options());
  k.Run([] {
    void *p = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    ExFreePool(p);
    ExFreePool(p);  // double
    int local;
    ExFreePool(&local);  // not pool
    void *q = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    ExFreePoolWithTag(q, kOther);  // wrong tag
  });
  k.Shutdown();
  EXPECT_EQ(CountFaults(k, Fault::BadPoolFree), 3) << DescribeFaults(k);
  EXPECT_TRUE(AnyFaultMentions(k, Fault::BadPoolFree, "double free")) << DescribeFaults(k);
}

TEST(Pool, PagedPoolAtDispatchLevel) {
  sim::Kernel k(Options());
  k.Run([] {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    void *p = ExAllocatePoolWithTag(PagedPool, 8, kTag);
    void *n = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    KeLowerIrql(old);
    ExFreePool(p);
    ExFreePool(n);
  });
  k.Shutdown();
  EXPECT_EQ(CountFaults(k, Fault::PagedPoolAtDispatch), 1) << DescribeFaults(k);
}

TEST(Pool, FreeingMemoryWithATimerStillSet) {
  sim::Kernel k(Options());
  k.Run([] {
    auto *t = static_cast<PKTIMER>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER), kTag));
    KeInitializeTimer(t);
    KeSetTimer(t, sched_test::RelativeMs(100), nullptr);
    ExFreePool(t);
  });
  k.Shutdown();
  EXPECT_EQ(CountFaults(k, Fault::TimerQueuedInFreedMemory), 1) << DescribeFaults(k);
}

TEST(Pool, FailNthFailsExactlyThatAllocation) {
  RunExpectingNoFaults([] {
    sim::pool::FailNth(3);
    std::vector<void *> got;
    for (int i = 0; i < 5; ++i) got.push_back(ExAllocatePoolWithTag(NonPagedPool, 8, kTag));
    EXPECT_NE(got[0], nullptr);
    EXPECT_NE(got[1], nullptr);
    EXPECT_EQ(got[2], nullptr);
    EXPECT_NE(got[3], nullptr);
    EXPECT_NE(got[4], nullptr);
    EXPECT_EQ(sim::pool::InjectedFailures(), 1u);
    for (void *p : got)
      if (p) ExFreePool(p);
  });
}

TEST(Pool, FailTagAlsoReachesTheIoManagersOwnAllocations) {
  RunExpectingNoFaults([] {
    sim::pool::FailTag(kTag);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTag), nullptr);
    void *other = ExAllocatePoolWithTag(NonPagedPool, 8, kOther);
    EXPECT_NE(other, nullptr);
    ExFreePool(other);
    sim::pool::FailTag(sim::pool::TagOf("Irp "));
    EXPECT_EQ(IoAllocateIrp(2, FALSE), nullptr);
    sim::pool::Clear();
    PIRP irp = IoAllocateIrp(2, FALSE);
    EXPECT_NE(irp, nullptr);
    IoFreeIrp(irp);
  });
}

std::vector<bool> ChancePattern(uint64_t seed) {
  std::vector<bool> failed;
  sim::Kernel k(Options(seed));
  k.Run([&] {
    sim::pool::FailChance(300);
    for (int i = 0; i < 200; ++i) {
      void *p = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
      failed.push_back(p == nullptr);
      if (p) ExFreePool(p);
    }
  });
  return failed;
}

TEST(Pool, FailChanceIsAFunctionOfTheSeed) {
  std::vector<bool> a = ChancePattern(5), b = ChancePattern(5), c = ChancePattern(6);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  size_t failures = std::count(a.begin(), a.end(), true);
  EXPECT_GT(failures, 30u);
  EXPECT_LT(failures, 90u);
}

}  // namespace

TEST(Pool, DriverAllocationsCountWhatFailNthCounts) {
  RunExpectingNoFaults([] {
    uint64_t before = sim::pool::DriverAllocations();
    void *a = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    PIRP irp = IoAllocateIrp(1, FALSE);  // made on the driver's behalf: FailNth counts it too
    uint64_t counted = sim::pool::DriverAllocations() - before;
    EXPECT_EQ(counted, 2u);
    sim::pool::FailNth(1);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTag), nullptr);
    EXPECT_EQ(sim::pool::DriverAllocations(), before + 3) << "a refused allocation counts";
    sim::pool::Clear();
    EXPECT_EQ(sim::pool::DriverAllocations(), before + 3) << "Clear keeps the count";
    IoFreeIrp(irp);
    ExFreePool(a);
  });
}
