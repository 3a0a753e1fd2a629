// Entering image code on the driver stack, and leaving it for the fiber
// stack through a gate. An exception a kernel routine raises under a gate
// (a thread ended by PsTerminateSystemThread or torn down) cannot unwind
// through the driver's frames, which have no unwind tables: the gate's fiber
// side catches it and jumps back to where the kernel entered the driver,
// which raises it again there; the driver's frames are dropped, as Windows
// drops a terminated thread's stack.
#include <csetjmp>
#include <exception>

#include "sim/image/image_runtime.h"
#include "sim/image/stack_switch.h"

namespace sim {
namespace image {

void PaintStack(DriverStack *stack);                      // stack_use.cpp
void RecordStackUse(DriverStack *stack, uintptr_t entry);  // stack_use.cpp

namespace {

struct Unwind {
  jmp_buf resume;
  std::exception_ptr error;
};

struct Saved {
  bool inDriver;
  uintptr_t driverResume;
  uintptr_t fiberResume;
  uintptr_t entryRoutine;
  void *unwind;
};

Saved Save(const DriverStack *s) { return {s->inDriver, s->driverResume, s->fiberResume, s->entryRoutine, s->unwind}; }

void Restore(DriverStack *s, const Saved &v) {
  s->inDriver = v.inDriver;
  s->driverResume = v.driverResume;
  s->fiberResume = v.fiberResume;
  s->entryRoutine = v.entryRoutine;
  s->unwind = v.unwind;
}

struct FiberCall {
  DriverThunk thunk;
  void *context;
  DriverStack *stack;
};

// Runs on the fiber stack, below the frame of the entry it came through.
void RunGuarded(void *p) {
  FiberCall *call = static_cast<FiberCall *>(p);
  Unwind *unwind = static_cast<Unwind *>(call->stack->unwind);
  try {
    call->thunk(call->context);
    return;
  } catch (...) {
    unwind->error = std::current_exception();
  }
  longjmp(unwind->resume, 1);
}

}  // namespace

void EnterImageCode(uintptr_t routine, DriverThunk thunk, void *context) {
  DriverStack *stack = CurrentDriverStack();
  const Saved saved = Save(stack);
  bool outermost = stack->driverResume == 0;
  uintptr_t sp = outermost ? reinterpret_cast<uintptr_t>(stack->top) : stack->driverResume;
  if (outermost) {
    PaintStack(stack);
    stack->entryRoutine = routine;
  }
  Unwind unwind;
  stack->unwind = &unwind;
  if (setjmp(unwind.resume) == 0) {
    stack->inDriver = true;
    sim_call_on_stack(sp, thunk, context, &stack->fiberResume);
  }
  if (outermost) RecordStackUse(stack, routine);
  Restore(stack, saved);
  if (unwind.error) std::rethrow_exception(unwind.error);
}

void RunOnFiberStack(DriverThunk thunk, void *context) {
  DriverStack *stack = CurrentDriverStack();
  if (stack == nullptr || !stack->inDriver) {
    thunk(context);
    return;
  }
  const uintptr_t driverResume = stack->driverResume;
  FiberCall call{thunk, context, stack};
  stack->inDriver = false;
  sim_call_on_stack(stack->fiberResume, &RunGuarded, &call, &stack->driverResume);
  stack->inDriver = true;
  stack->driverResume = driverResume;
}

}  // namespace image
}  // namespace sim
