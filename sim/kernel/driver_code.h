// Routines a driver supplies, called by the simulated kernel. Code of a
// mapped driver image (the i386 build's sim/image) runs on a 12 KiB stack of
// its own per simulated thread, as on x86 Windows, so that its stack use and
// its overflows are the driver's own; everything else (the host build's
// driver, the simulated bus driver) is called directly. Host only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <tuple>
#include <type_traits>

struct _DRIVER_OBJECT;

namespace sim {

constexpr size_t kDriverStackBytes = 12 * 1024;

// One simulated thread's driver stack, allocated the first time the thread
// runs image code, with an inaccessible guard page below it.
struct DriverStack {
  uint8_t *base = nullptr;  // lowest usable byte
  uint8_t *top = nullptr;   // one past the highest
  void *mapping = nullptr;
  size_t mappingBytes = 0;

  // The image runtime's bookkeeping (sim/image/driver_stack_switch.cpp).
  bool inDriver = false;        // the thread executes image code now
  uintptr_t driverResume = 0;   // the driver's stack pointer where it called a gate
  uintptr_t fiberResume = 0;    // the fiber's stack pointer where the kernel entered the driver
  uintptr_t entryRoutine = 0;   // the routine the kernel called with the stack empty
  void *unwind = nullptr;       // where an exception raised under a gate resumes (innermost entry)

  DriverStack();
  ~DriverStack();
  DriverStack(const DriverStack &) = delete;
  DriverStack &operator=(const DriverStack &) = delete;
  bool InGuard(uintptr_t address) const;
};

// The current simulated thread's driver stack (made on first use), or
// nullptr outside a simulated thread.
DriverStack *CurrentDriverStack();
// The driver stack whose guard page holds the address, if any.
DriverStack *DriverStackGuarding(uintptr_t address);

// Code ranges of the mapped images.
void AddImageCode(uintptr_t begin, uintptr_t end);
void RemoveImageCode(uintptr_t begin);
bool IsImageCode(uintptr_t address);

// The image a driver object's code came from is released with the object,
// when it is unloaded with no device objects left.
void WhenDriverUnloaded(_DRIVER_OBJECT *driver, void (*release)(void *context), void *context);
void ReleaseDriverCode(_DRIVER_OBJECT *driver);

// Installed by the image runtime: runs thunk(context) on the current
// thread's driver stack, `routine` being the image routine it calls.
using DriverThunk = void (*)(void *context);
using ImageCodeRunner = void (*)(uintptr_t routine, DriverThunk thunk, void *context);
void SetImageCodeRunner(ImageCodeRunner runner);
void RunImageCode(uintptr_t routine, DriverThunk thunk, void *context);

// Every call of a routine the driver supplied goes through here.
template <class F, class... A>
auto CallDriverRoutine(F *routine, A... args) -> decltype(routine(args...)) {
  using R = decltype(routine(args...));
  uintptr_t address = reinterpret_cast<uintptr_t>(routine);
  if (!IsImageCode(address)) return routine(args...);
  struct Call {
    F *routine;
    std::tuple<A...> args;
    std::conditional_t<std::is_void_v<R>, char, R> result;
    static void Run(void *p) {
      Call *c = static_cast<Call *>(p);
      if constexpr (std::is_void_v<R>)
        std::apply(c->routine, c->args);
      else
        c->result = std::apply(c->routine, c->args);
    }
  };
  Call call{routine, std::tuple<A...>(args...), {}};
  RunImageCode(address, &Call::Run, &call);
  if constexpr (!std::is_void_v<R>) return call.result;
}

}  // namespace sim
