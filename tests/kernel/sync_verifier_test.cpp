// The dispatcher and IRQL checks, each made to fire by a small faulty piece
// of code, beside the legal code that must pass them.
#include <cstring>
#include <functional>

#include "kernel/sched_test_util.h"
#include "sim/kernel/internal.h"

using namespace sched_test;
using sim::Fault;

namespace {

constexpr ULONG kTag = 0x74736554;  // "Test"

// Runs body on a fresh kernel and returns its faults, teardown's included.
std::vector<sim::FaultRecord> FaultsOf(const std::function<void()> &body) {
  sim::Kernel k(Options());
  k.Run(body);
  k.Shutdown();
  return k.Faults();
}

std::string Describe(const std::vector<sim::FaultRecord> &faults) {
  std::string r;
  for (const auto &f : faults) r += std::string(sim::FaultName(f.kind)) + " in " + f.routine + ": " + f.detail + "\n";
  return r;
}

// The run found exactly one fault, of this kind, in this routine.
::testing::AssertionResult OneFault(const std::vector<sim::FaultRecord> &faults, Fault kind, const char *routine) {
  if (faults.size() == 1 && faults[0].kind == kind && faults[0].routine == routine)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "expected one " << sim::FaultName(kind) << " in " << routine << ", got\n"
                                       << Describe(faults);
}

struct Events {
  KEVENT set, waited;
  Events() {
    KeInitializeEvent(&set, NotificationEvent, FALSE);
    KeInitializeEvent(&waited, NotificationEvent, TRUE);
  }
};

// ------------------------------------------------------------ KeSetEvent(Wait = TRUE)

TEST(SetEventWithWait, TheWaitThatFollowsReturnsToTheCallersIrql) {
  RunExpectingNoFaults([] {
    Events e;
    bool woken = false;
    sim::CreateThread("waiter", [&] {
      KeWaitForSingleObject(&e.set, Executive, KernelMode, FALSE, nullptr);
      woken = true;
    });
    DelayMs(1);
    EXPECT_EQ(KeSetEvent(&e.set, IO_NO_INCREMENT, TRUE), 0);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    LARGE_INTEGER timeout = RelativeMs(5);
    EXPECT_EQ(KeWaitForSingleObject(&e.waited, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    KeSetEvent(&e.set, IO_NO_INCREMENT, TRUE);
    LONG count = 0;
    InterlockedIncrement(&count);  // an instruction, not a kernel call
    PVOID objects[] = {&e.waited, &e.set};
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &timeout, nullptr),
              STATUS_WAIT_0);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    KeLowerIrql(old);
    DelayMs(1);
    EXPECT_TRUE(woken);
  });
}

TEST(SetEventWithWait, AnythingButTheWaitNextIsAFault) {
  struct Case {
    const char *what;
    const char *routine;
    std::function<void(Events &)> next;
  };
  const Case cases[] = {
      // Parenthesised, here and below: the HAL's KeLowerIrql itself, which x86 builds would map onto KfLowerIrql.
      {"lowers the IRQL", "KeLowerIrql", [](Events &) { (KeLowerIrql)(PASSIVE_LEVEL); }},
      {"sets another event", "KeSetEvent", [](Events &e) { KeSetEvent(&e.waited, IO_NO_INCREMENT, FALSE); }},
      {"clears one", "KeClearEvent", [](Events &e) { KeClearEvent(&e.waited); }},
      {"delays", "KeDelayExecutionThread", [](Events &) { DelayMs(1); }},
      {"takes a spin lock", "KfAcquireSpinLock",
       [](Events &) {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KIRQL old;
         KeAcquireSpinLock(&lock, &old);
         KeReleaseSpinLock(&lock, old);
       }},
      {"allocates pool", "KeSetEvent",
       [](Events &) { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 8, kTag), kTag); }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    KIRQL after = HIGH_LEVEL;
    auto faults = FaultsOf([&] {
      Events e;
      KeSetEvent(&e.set, IO_NO_INCREMENT, TRUE);
      c.next(e);
      after = KeGetCurrentIrql();
    });
    EXPECT_TRUE(OneFault(faults, Fault::SetEventWaitNotFollowed, c.routine));
    EXPECT_EQ(after, PASSIVE_LEVEL) << "the thread goes on at its own IRQL";
  }
}

TEST(SetEventWithWait, ReturningInsteadOfWaitingIsAFault) {
  auto faults = FaultsOf([] {
    Events e;
    sim::SimThread *t = sim::CreateThread("setter", [&] { KeSetEvent(&e.set, IO_NO_INCREMENT, TRUE); });
    while (!sim::ThreadFinished(t)) DelayMs(1);
  });
  EXPECT_TRUE(OneFault(faults, Fault::SetEventWaitNotFollowed, "setter")) << Describe(faults);
}

TEST(SetEventWithWait, AtDispatchLevelIsAFault) {
  auto faults = FaultsOf([] {
    Events e;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeSetEvent(&e.set, IO_NO_INCREMENT, TRUE);
    LARGE_INTEGER poll;
    poll.QuadPart = 0;
    KeWaitForSingleObject(&e.waited, Executive, KernelMode, FALSE, &poll);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeLowerIrql(old);
  });
  ASSERT_TRUE(OneFault(faults, Fault::InvalidParameter, "KeSetEvent"));
  EXPECT_NE(faults[0].detail.find("APC_LEVEL"), std::string::npos) << faults[0].detail;
}

// ------------------------------------------------------------ KeDelayExecutionThread

TEST(DelayExecution, AtDispatchLevelIsAFaultWhateverTheInterval) {
  for (LONGLONG ms : {0, 1}) {
    SCOPED_TRACE(std::to_string(ms) + " ms");
    auto faults = FaultsOf([ms] {
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      DelayMs(ms);
      KeLowerIrql(old);
    });
    EXPECT_TRUE(OneFault(faults, Fault::WaitAtDispatch, "KeDelayExecutionThread"));
  }
}

TEST(DelayExecution, AZeroDelayBelowDispatchLevelIsLegal) {
  RunExpectingNoFaults([] {
    DelayMs(0);
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    DelayMs(0);
    KeLowerIrql(old);
  });
}

// ------------------------------------------------------------ events never initialised

TEST(EventNotInitialised, AZeroFilledEventIsAFaultInEveryRoutine) {
  struct Case {
    const char *routine;
    std::function<void(PKEVENT)> use;
  };
  const Case cases[] = {
      {"KeWaitForSingleObject",
       [](PKEVENT e) {
         LARGE_INTEGER timeout = RelativeMs(5);
         EXPECT_EQ(KeWaitForSingleObject(e, Executive, KernelMode, FALSE, &timeout), STATUS_INVALID_PARAMETER);
       }},
      {"KeWaitForMultipleObjects",
       [](PKEVENT e) {
         KEVENT good;
         KeInitializeEvent(&good, NotificationEvent, FALSE);
         PVOID objects[] = {&good, e};
         EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
                   STATUS_INVALID_PARAMETER);
       }},
      {"KeSetEvent", [](PKEVENT e) { KeSetEvent(e, IO_NO_INCREMENT, FALSE); }},
      {"KeClearEvent", [](PKEVENT e) { KeClearEvent(e); }},
      {"KeResetEvent", [](PKEVENT e) { KeResetEvent(e); }},
      {"KeReadStateEvent", [](PKEVENT e) { KeReadStateEvent(e); }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.routine);
    auto faults = FaultsOf([&] {
      KEVENT zeroed;
      memset(&zeroed, 0, sizeof zeroed);
      c.use(&zeroed);
    });
    EXPECT_TRUE(OneFault(faults, Fault::EventNotInitialized, c.routine));
  }
}

struct PoolContext {
  ULONG before;
  KEVENT event;
};

TEST(EventNotInitialised, AnEventInFreedPoolIsForgotten) {
  auto faults = FaultsOf([] {
    auto *ctx = static_cast<PoolContext *>(ExAllocatePoolWithTag(NonPagedPool, sizeof(PoolContext), kTag));
    KeSetEvent(&ctx->event, IO_NO_INCREMENT, FALSE);  // pool-filled, never initialised
    KeInitializeEvent(&ctx->event, NotificationEvent, FALSE);
    KeSetEvent(&ctx->event, IO_NO_INCREMENT, FALSE);
    ExFreePoolWithTag(ctx, kTag);
    KeSetEvent(&ctx->event, IO_NO_INCREMENT, FALSE);  // used after the free: not touched, reported
  });
  ASSERT_EQ(faults.size(), 2u) << Describe(faults);
  EXPECT_EQ(faults[0].kind, Fault::EventNotInitialized);
  EXPECT_EQ(faults[1].kind, Fault::EventNotInitialized);
}

TEST(EventNotInitialised, InitialisedEventsTimersAndThreadsPass) {
  RunExpectingNoFaults([] {
    KEVENT e;
    KeInitializeEvent(&e, SynchronizationEvent, TRUE);
    KeInitializeEvent(&e, NotificationEvent, TRUE);  // again at the same address
    KTIMER timer;
    KeInitializeTimer(&timer);
    LARGE_INTEGER due = RelativeMs(1);
    KeSetTimer(&timer, due, nullptr);
    PVOID objects[] = {&e, &timer, KeGetCurrentThread()};
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, nullptr, nullptr),
              STATUS_SUCCESS);
    LARGE_INTEGER poll;
    poll.QuadPart = 0;
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE, &poll, nullptr),
              STATUS_TIMEOUT);
  });
}

// ------------------------------------------------------------ spin lock order cycles

// Takes `outer` then `inner` and lets both go.
void Nest(KSPIN_LOCK &outer, KSPIN_LOCK &inner) {
  KIRQL old;
  KeAcquireSpinLock(&outer, &old);
  KeAcquireSpinLockAtDpcLevel(&inner);
  KeReleaseSpinLockFromDpcLevel(&inner);
  KeReleaseSpinLock(&outer, old);
}

TEST(LockOrder, ACycleOfThreeOrFourLocksIsAnInversion) {
  for (int n : {3, 4}) {
    SCOPED_TRACE(std::to_string(n) + " locks");
    auto faults = FaultsOf([n] {
      KSPIN_LOCK locks[4];
      for (KSPIN_LOCK &l : locks) KeInitializeSpinLock(&l);
      for (int i = 0; i < n; ++i) Nest(locks[i], locks[(i + 1) % n]);
      // Taken once more in every order of the cycle: reported once.
      for (int i = 0; i < n; ++i) Nest(locks[i], locks[(i + 1) % n]);
    });
    ASSERT_TRUE(OneFault(faults, Fault::LockOrderInversion, "KeAcquireSpinLockAtDpcLevel"));
    EXPECT_NE(faults[0].detail.find("cycle"), std::string::npos) << faults[0].detail;
  }
}

TEST(LockOrder, OrdersWithoutACycleAreLegal) {
  RunExpectingNoFaults([] {
    KSPIN_LOCK a, b, c;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    KeInitializeSpinLock(&c);
    Nest(a, b);
    Nest(b, c);
    Nest(a, c);
    KIRQL old;
    KeAcquireSpinLock(&a, &old);
    KeAcquireSpinLockAtDpcLevel(&b);
    KeAcquireSpinLockAtDpcLevel(&c);
    KeReleaseSpinLockFromDpcLevel(&c);
    KeReleaseSpinLockFromDpcLevel(&b);
    KeReleaseSpinLock(&a, old);
  });
}

// ------------------------------------------------------------ IRQL lowered with a lock held

TEST(LowerIrql, BelowDispatchLevelWithASpinLockHeldIsAFault) {
  auto lowered = FaultsOf([] {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    (KeLowerIrql)(old);
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeReleaseSpinLock(&lock, old);
  });
  EXPECT_TRUE(OneFault(lowered, Fault::IrqlLoweredHoldingSpinLock, "KeLowerIrql"));

  // Released out of order, the outer lock's IRQL drops below the inner one.
  auto outOfOrder = FaultsOf([] {
    KSPIN_LOCK outer, inner;
    KeInitializeSpinLock(&outer);
    KeInitializeSpinLock(&inner);
    KIRQL outerIrql, innerIrql;
    KeAcquireSpinLock(&outer, &outerIrql);
    KeAcquireSpinLock(&inner, &innerIrql);
    KeReleaseSpinLock(&outer, outerIrql);
    KeReleaseSpinLockFromDpcLevel(&inner);
  });
  EXPECT_TRUE(OneFault(outOfOrder, Fault::IrqlLoweredHoldingSpinLock, "KfReleaseSpinLock"));
}

TEST(LowerIrql, DownToDispatchLevelWithALockHeldIsLegal) {
  RunExpectingNoFaults([] {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old, dispatch;
    KeAcquireSpinLock(&lock, &old);
    KeRaiseIrql(HIGH_LEVEL, &dispatch);
    KeLowerIrql(dispatch);
    KeReleaseSpinLock(&lock, old);
  });
}

}  // namespace
