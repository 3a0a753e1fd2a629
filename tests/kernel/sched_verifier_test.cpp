// Each check of the scheduler side fires on a small, deliberately faulty piece
// of code; the faults that would hang a real machine end the run.
#include "kernel/sched_test_util.h"
#include "sim/kernel/internal.h"

using namespace sched_test;
using sim::Fault;

namespace {

class Verifier : public testing::Test {
 protected:
  // The 32-bit build runs under an emulator, which a re-executed child would not have.
#if defined(__i386__)
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "fast"); }
#else
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
#endif
};

TEST_F(Verifier, WaitWithTimeOutAtDispatchLevel) {
  sim::Kernel k(Options());
  k.Run([] {
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    LARGE_INTEGER poll;
    poll.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    LARGE_INTEGER timeout = RelativeMs(5);
    KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &timeout);
    KeLowerIrql(old);
  });
  ASSERT_EQ(CountFaults(k, Fault::WaitAtDispatch), 1) << DescribeFaults(k);
  EXPECT_EQ(k.Faults()[0].routine, "KeWaitForSingleObject");
}

void PageableRoutine() { PAGED_CODE(); }

TEST_F(Verifier, PageableRoutineAtDispatchLevel) {
  sim::Kernel k(Options());
  k.Run([] {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    PageableRoutine();
    KeReleaseSpinLock(&lock, old);
    PageableRoutine();
  });
  ASSERT_EQ(CountFaults(k, Fault::PagedCodeAtDispatch), 1) << DescribeFaults(k);
  EXPECT_EQ(k.Faults()[0].routine, "PageableRoutine");
}

TEST_F(Verifier, SpinLockReleasedByAnotherThread) {
  sim::Kernel k(MultiprocessorOptions());
  k.Run([] {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KEVENT held, done;
    KeInitializeEvent(&held, NotificationEvent, FALSE);
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    sim::CreateThread("owner", [&] {
      KIRQL old;
      KeAcquireSpinLock(&lock, &old);
      KeSetEvent(&held, 0, FALSE);
      LARGE_INTEGER poll;
      poll.QuadPart = 0;
      while (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &poll) != STATUS_SUCCESS) sim::SchedulePoint();
      KeLowerIrql(old);
    });
    KeWaitForSingleObject(&held, Executive, KernelMode, FALSE, nullptr);
    KIRQL irql = KfRaiseIrql(DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, irql);
    KeSetEvent(&done, 0, FALSE);
    DelayMs(1);
  });
  EXPECT_EQ(CountFaults(k, Fault::SpinLockReleasedByNonOwner), 1) << DescribeFaults(k);
  EXPECT_EQ(k.Faults().size(), 1u) << DescribeFaults(k);
}

TEST_F(Verifier, LockOrderInversion) {
  sim::Kernel k(Options());
  k.Run([&] {
    KSPIN_LOCK a, b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    KIRQL old;
    KeAcquireSpinLock(&a, &old);
    KeAcquireSpinLockAtDpcLevel(&b);
    KeReleaseSpinLockFromDpcLevel(&b);
    KeReleaseSpinLock(&a, old);
    EXPECT_TRUE(k.Faults().empty());
    KeAcquireSpinLock(&b, &old);
    EXPECT_EQ(sim::internal::SpinLocksHeldByCurrentThread(), 1);
    KeAcquireSpinLockAtDpcLevel(&a);
    EXPECT_EQ(sim::internal::SpinLocksHeldByCurrentThread(), 2);
    KeReleaseSpinLockFromDpcLevel(&a);
    KeReleaseSpinLock(&b, old);
  });
  EXPECT_EQ(CountFaults(k, Fault::LockOrderInversion), 1) << DescribeFaults(k);
}

TEST_F(Verifier, ContendedSpinLockMakesTheOtherThreadWait) {
  for (uint64_t seed : testing_support::Seeds()) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    RunExpectingNoFaults([] {
      KSPIN_LOCK lock;
      KeInitializeSpinLock(&lock);
      int inside = 0, maxInside = 0, total = 0;
      auto worker = [&] {
        for (int i = 0; i < 10; ++i) {
          KIRQL old;
          KeAcquireSpinLock(&lock, &old);
          maxInside = std::max(maxInside, ++inside);
          sim::SchedulePoint();
          sim::SchedulePoint();
          --inside;
          ++total;
          KeReleaseSpinLock(&lock, old);
        }
      };
      sim::SimThread *a = sim::CreateThread("a", worker);
      sim::SimThread *b = sim::CreateThread("b", worker);
      while (!sim::ThreadFinished(a) || !sim::ThreadFinished(b)) {
        DelayMs(1);
      }
      EXPECT_EQ(maxInside, 1);
      EXPECT_EQ(total, 20);
    }, seed);
  }
}

TEST_F(Verifier, IrqlNotRestoredByADpc) {
  sim::Kernel k(Options());
  KDPC dpc;
  k.Run([&] {
    KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) NTAPI { KfRaiseIrql(HIGH_LEVEL); }, nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    DelayMs(1);
  });
  EXPECT_EQ(CountFaults(k, Fault::IrqlNotRestored), 1) << DescribeFaults(k);
}

VOID NTAPI WaitsForever(PVOID context) {
  KeWaitForSingleObject(context, Executive, KernelMode, FALSE, nullptr);
}

TEST_F(Verifier, ThreadStillRunningAndHandleOpenAtTeardown) {
  sim::Kernel k(Options());
  KEVENT never;
  k.Run([&] {
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    HANDLE h;
    ASSERT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, WaitsForever, &never),
              STATUS_SUCCESS);
  });
  k.Shutdown();
  EXPECT_EQ(CountFaults(k, Fault::ThreadLeak), 1) << DescribeFaults(k);
  EXPECT_EQ(CountFaults(k, Fault::HandleLeak), 1) << DescribeFaults(k);
}

VOID NTAPI ReturnsAtOnce(PVOID) {}

TEST_F(Verifier, ThreadHandleLeftOpenAfterTheThreadEnded) {
  sim::Kernel k(Options());
  k.Run([&] {
    HANDLE h;
    ASSERT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ReturnsAtOnce, nullptr),
              STATUS_SUCCESS);
    DelayMs(1);
  });
  k.Shutdown();
  EXPECT_EQ(CountFaults(k, Fault::ThreadLeak), 0) << DescribeFaults(k);
  EXPECT_EQ(CountFaults(k, Fault::HandleLeak), 1) << DescribeFaults(k);
}

TEST_F(Verifier, ThreadObjectReferenceNeverDropped) {
  sim::Kernel k(Options());
  k.Run([&] {
    HANDLE h;
    ASSERT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ReturnsAtOnce, nullptr),
              STATUS_SUCCESS);
    PVOID thread;
    ASSERT_EQ(ObReferenceObjectByHandle(h, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread, nullptr), STATUS_SUCCESS);
    ZwClose(h);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
  });
  k.Shutdown();
  ASSERT_EQ(CountFaults(k, Fault::HandleLeak), 1) << DescribeFaults(k);
  EXPECT_NE(k.Faults()[0].detail.find("still referenced"), std::string::npos);
}

TEST_F(Verifier, HarnessThreadStillBlockedAtTeardownIsNoDriverLeak) {
  sim::Kernel k(Options());
  KEVENT never;
  k.Run([&] {
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    sim::CreateThread("app", [&] { KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr); });
  });
  k.Shutdown();
  EXPECT_TRUE(k.Faults().empty()) << DescribeFaults(k);
}

struct DeviceContext {
  ULONG before;
  KTIMER timer;
  KDPC dpc;
  ULONG after;
};

TEST_F(Verifier, SetTimerOrQueuedDpcInsideMemoryBeingChecked) {
  sim::Kernel k(Options());
  k.Run([] {
    DeviceContext ctx;
    KeInitializeTimer(&ctx.timer);
    KeInitializeDpc(&ctx.dpc, [](PKDPC, PVOID, PVOID, PVOID) NTAPI {}, nullptr);
    std::string what;
    EXPECT_FALSE(sim::internal::FindQueuedTimerOrDpc(&ctx, sizeof ctx, &what));
    KeSetTimer(&ctx.timer, RelativeMs(100), nullptr);
    EXPECT_TRUE(sim::internal::FindQueuedTimerOrDpc(&ctx, sizeof ctx, &what));
    EXPECT_NE(what.find("KTIMER"), std::string::npos) << what;
    EXPECT_FALSE(sim::internal::FindQueuedTimerOrDpc(&ctx.after, sizeof ctx.after, &what));
    KeCancelTimer(&ctx.timer);
    EXPECT_FALSE(sim::internal::FindQueuedTimerOrDpc(&ctx, sizeof ctx, &what));
    // The DPC processor is held on a lock we own so the DPC stays queued.
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KDPC blocker;
    KeInitializeDpc(&blocker, [](PKDPC, PVOID l, PVOID, PVOID) NTAPI {
      KeAcquireSpinLockAtDpcLevel(static_cast<PKSPIN_LOCK>(l));
      KeReleaseSpinLockFromDpcLevel(static_cast<PKSPIN_LOCK>(l));
    }, &lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KeInsertQueueDpc(&blocker, nullptr, nullptr);
    KeInsertQueueDpc(&ctx.dpc, nullptr, nullptr);
    EXPECT_TRUE(sim::internal::FindQueuedTimerOrDpc(&ctx.dpc, 1, &what));
    EXPECT_NE(what.find("KDPC"), std::string::npos) << what;
    EXPECT_TRUE(KeRemoveQueueDpc(&ctx.dpc));
    KeReleaseSpinLock(&lock, old);
    EXPECT_FALSE(sim::internal::FindQueuedTimerOrDpc(&ctx, sizeof ctx, &what));
  });
}

TEST_F(Verifier, SpinLockTakenTwiceEndsTheRun) {
  EXPECT_DEATH(
      {
        sim::Kernel k(DyingOptions(3));
        k.Run([] {
          KSPIN_LOCK lock;
          KeInitializeSpinLock(&lock);
          KIRQL old;
          KeAcquireSpinLock(&lock, &old);
          KeAcquireSpinLockAtDpcLevel(&lock);
        });
      },
      "SpinLockAcquiredTwice in KeAcquireSpinLockAtDpcLevel.*\n.*seed 3");
}

TEST_F(Verifier, DeadlockListsWhoWaitsOnWhat) {
  EXPECT_DEATH(
      {
        sim::Kernel k(DyingOptions(5));
        k.Run([] {
          KEVENT never;
          KeInitializeEvent(&never, SynchronizationEvent, FALSE);
          KSPIN_LOCK lock;
          KeInitializeSpinLock(&lock);
          sim::CreateThread("holder", [&] {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
          });
          DelayMs(10);
          KIRQL old;
          KeAcquireSpinLock(&lock, &old);
        });
      },
      "Deadlock(.|\n)*T1\\(main\\): spins on spin lock 0x[0-9a-f]+ held by T2\\(holder\\)(.|\n)*"
      "T2\\(holder\\): waits \\(any\\) on SynchronizationEvent 0x[0-9a-f]+(.|\n)*seed 5");
}

TEST_F(Verifier, RunPastTheVirtualTimeLimitIsAHang) {
  EXPECT_DEATH(
      {
        sim::KernelOptions o = DyingOptions(9);
        o.virtualTimeLimitMs = 2000;
        sim::Kernel k(o);
        k.Run([] {
          for (;;) {
            DelayMs(100);
          }
        });
      },
      "Hang(.|\n)*2000 ms(.|\n)*seed 9");
}

}  // namespace
