// A gate: the address an image imports in place of a kernel routine. It has
// the routine's own calling convention (deduced from its declaration, so a
// gate cannot disagree with it), checks the call, and runs the routine on the
// fiber stack. i386 only.
#pragma once

#include <tuple>
#include <type_traits>

#include "sim/image/image_runtime.h"

namespace sim {
namespace image {

template <class F, class R, class... A>
R PassThrough(F *routine, uintptr_t from, A... args) {
  GateEnter(from, reinterpret_cast<const void *>(routine));
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
  RunOnFiberStack(&Call::Run, &call);
  GateLeave(from, reinterpret_cast<const void *>(routine));
  if constexpr (!std::is_void_v<R>) return call.result;
}

template <class Signature>
struct Gate;

// The driver's stack is only 4-byte aligned, as Windows keeps it.
#define SIM_IMAGE_GATE(CONVENTION)                                                                 \
  template <class R, class... A>                                                                   \
  struct Gate<R CONVENTION(A...)> {                                                                \
    template <auto F>                                                                              \
    __attribute__((noinline, force_align_arg_pointer)) static R CONVENTION Entry(A... args) {      \
      return PassThrough<std::remove_pointer_t<decltype(F)>, R, A...>(F, reinterpret_cast<uintptr_t>(__builtin_return_address(0)), \
                                                      args...);                                    \
    }                                                                                              \
  };
SIM_IMAGE_GATE(__attribute__((stdcall)))
SIM_IMAGE_GATE(__attribute__((fastcall)))
SIM_IMAGE_GATE()
#undef SIM_IMAGE_GATE

}  // namespace image
}  // namespace sim
