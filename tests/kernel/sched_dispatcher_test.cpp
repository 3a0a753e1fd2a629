// Events, multiple-object waits and waits on threads.
#include "kernel/sched_test_util.h"

using namespace sched_test;

namespace {

LARGE_INTEGER Poll() {
  LARGE_INTEGER t;
  t.QuadPart = 0;
  return t;
}

TEST(Events, SynchronizationEventReleasesOneWaiterPerSignal) {
  for (uint64_t seed : testing_support::Seeds()) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    RunExpectingNoFaults([] {
      KEVENT event;
      KeInitializeEvent(&event, SynchronizationEvent, FALSE);
      int woken = 0;
      auto waiter = [&] {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        ++woken;
      };
      sim::SimThread *a = sim::CreateThread("a", waiter);
      sim::SimThread *b = sim::CreateThread("b", waiter);
      DelayMs(10);
      KeSetEvent(&event, 0, FALSE);
      DelayMs(10);
      EXPECT_EQ(woken, 1);
      EXPECT_EQ(KeReadStateEvent(&event), 0) << "the wake took the signal";
      KeSetEvent(&event, 0, FALSE);
      DelayMs(10);
      EXPECT_EQ(woken, 2);
      EXPECT_TRUE(sim::ThreadFinished(a) && sim::ThreadFinished(b));
    }, seed);
  }
}

TEST(Events, NotificationEventReleasesEveryWaiterAndStaysSignalled) {
  for (uint64_t seed : testing_support::Seeds()) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    RunExpectingNoFaults([] {
      KEVENT event;
      KeInitializeEvent(&event, NotificationEvent, FALSE);
      int woken = 0;
      for (int i = 0; i < 3; ++i)
        sim::CreateThread("w" + std::to_string(i), [&] {
          KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
          ++woken;
        });
      DelayMs(10);
      EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
      DelayMs(10);
      EXPECT_EQ(woken, 3);
      EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 1);
      EXPECT_EQ(KeResetEvent(&event), 1);
      EXPECT_EQ(KeResetEvent(&event), 0);
    }, seed);
  }
}

TEST(MultipleWaits, WaitAnyReturnsTheLowestSignalledIndex) {
  sim::Kernel k(Options());
  k.Run([] {
    KEVENT e[3];
    for (KEVENT &x : e) KeInitializeEvent(&x, NotificationEvent, FALSE);
    PVOID objects[3] = {&e[0], &e[1], &e[2]};
    LARGE_INTEGER poll = Poll();
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &poll, nullptr),
              STATUS_TIMEOUT);
    KeSetEvent(&e[2], 0, FALSE);
    KeSetEvent(&e[1], 0, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
              STATUS_WAIT_1);
    KeClearEvent(&e[1]);
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
              STATUS_WAIT_0 + 2);
  });
}

TEST(MultipleWaits, WaitAnyWakesOnTheObjectSignalledLater) {
  sim::Kernel k(Options());
  k.Run([] {
    KEVENT stop, data;
    KeInitializeEvent(&stop, NotificationEvent, FALSE);
    KeInitializeEvent(&data, SynchronizationEvent, FALSE);
    PVOID objects[2] = {&stop, &data};
    KTIMER t;
    KDPC d;
    KeInitializeTimer(&t);
    KeInitializeDpc(&d, [](PKDPC, PVOID ctx, PVOID, PVOID) NTAPI { KeSetEvent(static_cast<PKEVENT>(ctx), 0, FALSE); }, &data);
    KeSetTimer(&t, RelativeMs(30), &d);
    LARGE_INTEGER timeout = RelativeMs(1000);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &timeout, nullptr),
              STATUS_WAIT_1);
    EXPECT_LT(sim::NowMs(), 100u);
    EXPECT_EQ(KeReadStateEvent(&data), 0);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &timeout, nullptr),
              STATUS_TIMEOUT);
    EXPECT_GE(sim::NowMs(), 1000u);
  });
}

TEST(MultipleWaits, WaitAllNeedsEveryObject) {
  sim::Kernel k(Options());
  k.Run([] {
    KEVENT a, b;
    KeInitializeEvent(&a, SynchronizationEvent, FALSE);
    KeInitializeEvent(&b, NotificationEvent, FALSE);
    PVOID objects[2] = {&a, &b};
    KeSetEvent(&a, 0, FALSE);
    LARGE_INTEGER timeout = RelativeMs(20);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &timeout, nullptr),
              STATUS_TIMEOUT);
    EXPECT_EQ(KeReadStateEvent(&a), 1) << "an unsatisfied WaitAll takes nothing";
    KeSetEvent(&b, 0, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &timeout, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&a), 0);
    EXPECT_EQ(KeReadStateEvent(&b), 1);
  });
}

TEST(MultipleWaits, MoreThanThreeObjectsNeedAWaitBlockArray) {
  sim::Kernel k(Options());
  k.Run([] {
    KEVENT e[4];
    PVOID objects[4];
    for (int i = 0; i < 4; ++i) {
      KeInitializeEvent(&e[i], NotificationEvent, i == 3);
      objects[i] = &e[i];
    }
    EXPECT_EQ(KeWaitForMultipleObjects(4, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
    KWAIT_BLOCK blocks[4];
    EXPECT_EQ(KeWaitForMultipleObjects(4, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, blocks),
              STATUS_WAIT_0 + 3);
  });
  EXPECT_EQ(CountFaults(k, sim::Fault::InvalidParameter), 1);
}

struct ThreadProbe {
  KEVENT go;
  KIRQL irql = 0xff;
  bool ran = false;
  bool terminatedEarly = true;
};

VOID NTAPI SystemThreadBody(PVOID context) {
  auto *p = static_cast<ThreadProbe *>(context);
  p->irql = KeGetCurrentIrql();
  KeWaitForSingleObject(&p->go, Executive, KernelMode, FALSE, nullptr);
  p->ran = true;
  PsTerminateSystemThread(STATUS_SUCCESS);
  p->terminatedEarly = false;  // never reached
}

TEST(SystemThreads, ThreadObjectIsSignalledWhenTheThreadEnds) {
  for (uint64_t seed : testing_support::Seeds()) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    sim::Kernel k(Options(seed));
    ThreadProbe probe;
    k.Run([&] {
      KeInitializeEvent(&probe.go, NotificationEvent, FALSE);
      HANDLE handle = nullptr;
      ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, SystemThreadBody, &probe),
                STATUS_SUCCESS);
      PVOID thread = nullptr;
      ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr),
                STATUS_SUCCESS);
      EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
      EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);
      LARGE_INTEGER poll = Poll();
      EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
      KeSetEvent(&probe.go, 0, FALSE);
      EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
      EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
      ObDereferenceObject(thread);
    });
    EXPECT_TRUE(probe.ran);
    EXPECT_TRUE(probe.terminatedEarly);
    EXPECT_EQ(probe.irql, PASSIVE_LEVEL);
    k.Shutdown();
    EXPECT_EQ(CountFaults(k, sim::Fault::InvalidParameter), 1) << DescribeFaults(k);  // the second ZwClose
    EXPECT_EQ(k.Faults().size(), 1u) << DescribeFaults(k);
  }
}

TEST(SystemThreads, EachThreadHasItsOwnThreadObject) {
  sim::Kernel k(Options());
  k.Run([] {
    PKTHREAD self = KeGetCurrentThread();
    PKTHREAD other = nullptr;
    sim::SimThread *t = sim::CreateThread("other", [&] { other = KeGetCurrentThread(); });
    DelayMs(1);
    EXPECT_TRUE(sim::ThreadFinished(t));
    EXPECT_NE(other, nullptr);
    EXPECT_NE(other, self);
    EXPECT_EQ(reinterpret_cast<PVOID>(PsGetCurrentThread()), reinterpret_cast<PVOID>(self));
  });
}

}  // namespace
