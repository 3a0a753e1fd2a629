// Simulated threads run on fibers of the one host thread: a switch is a
// swapcontext, so the scheduler alone decides who runs and a run is a pure
// function of its seed. The sanitizers are told about every switch: the
// address sanitizer which stack is in use, the race detector that a switch
// between simulated threads is no synchronisation (two simulated processors
// run at once), while a switch to or from the host is (the host drives the
// machine between runs).
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>

#include "sim/kernel/src/sched_internal.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#define SIM_ASAN_FIBERS 1
#endif
#if defined(USBMODEM_RACE_DETECTOR)
#include <sanitizer/tsan_interface.h>
#endif

namespace sim {
namespace {

// Generous: sanitizer builds use several times a kernel stack's 12 KiB.
constexpr size_t kStackBytes = 1024 * 1024;

void (*g_entry)() = nullptr;
uint64_t g_switches = 0;

void BeforeSwitch(SimThread *from, SimThread *to, bool exiting) {
  KernelState *s = State();
  s->switchedFrom = from;
  ++g_switches;
#if defined(SIM_ASAN_FIBERS)
  __sanitizer_start_switch_fiber(exiting ? nullptr : &from->fakeStack, to->stackBottom, to->stackBytes);
#else
  (void)exiting;
#endif
#if defined(USBMODEM_RACE_DETECTOR)
  if (from->raceFiber == nullptr) from->raceFiber = __tsan_get_current_fiber();  // the host's own
  bool sync = from->kind == SimThread::Kind::Host || to->kind == SimThread::Kind::Host;
  __tsan_switch_to_fiber(to->raceFiber, sync ? 0 : __tsan_switch_to_fiber_no_sync);
#endif
}

// Runs first in the fiber that was switched to.
void AfterSwitch(SimThread *self) {
#if defined(SIM_ASAN_FIBERS)
  const void *bottom = nullptr;
  size_t size = 0;
  __sanitizer_finish_switch_fiber(self->fakeStack, &bottom, &size);
  // The fiber switched from learns its bounds here (the host's come this way).
  SimThread *from = State()->switchedFrom;
  if (from != nullptr && from->stack == nullptr) {
    from->stackBottom = bottom;
    from->stackBytes = size;
  }
#else
  (void)self;
#endif
}

void Trampoline() {
  AfterSwitch(State()->current);
  g_entry();
  std::abort();  // the entry ends by switching away for good
}

}  // namespace

uint64_t SwitchCount() { return g_switches; }

void StartFiber(SimThread *t, void (*entry)()) {
  g_entry = entry;
  long page = sysconf(_SC_PAGESIZE);
  void *mem = mmap(nullptr, kStackBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (mem == MAP_FAILED) {
    std::perror("sim: fiber stack");
    std::abort();
  }
  mprotect(mem, static_cast<size_t>(page), PROT_NONE);  // an overflow faults, not corrupts
  t->stack = mem;
  t->stackSize = kStackBytes;
  t->stackBottom = mem;
  t->stackBytes = kStackBytes;
  getcontext(&t->context);
  t->context.uc_stack.ss_sp = mem;
  t->context.uc_stack.ss_size = kStackBytes;
  t->context.uc_link = nullptr;
  makecontext(&t->context, Trampoline, 0);
#if defined(USBMODEM_RACE_DETECTOR)
  t->raceFiber = __tsan_create_fiber(0);
  __tsan_set_fiber_name(t->raceFiber, t->name.c_str());
#endif
}

void SwitchFiber(SimThread *from, SimThread *to) {
  if (from == to) return;
  BeforeSwitch(from, to, false);
  swapcontext(&from->context, &to->context);
  AfterSwitch(from);
}

void ExitFiber(SimThread *from, SimThread *to) {
  BeforeSwitch(from, to, true);
  setcontext(&to->context);
  std::abort();
}

void FreeFiber(SimThread *t) {
  t->driverStack.reset();
  if (t->stack == nullptr) return;
#if defined(USBMODEM_RACE_DETECTOR)
  if (t->raceFiber != nullptr) __tsan_destroy_fiber(t->raceFiber);
  t->raceFiber = nullptr;
#endif
#if defined(SIM_ASAN_FIBERS)
  // A later stack at this address must not inherit this one's poisoned frames.
  __asan_unpoison_memory_region(t->stack, t->stackSize);
#endif
  munmap(t->stack, t->stackSize);
  t->stack = nullptr;
}

}  // namespace sim
