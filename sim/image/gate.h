// A gate: the address an image imports in place of a kernel routine. It has
// the routine's own calling convention (deduced from its declaration, so a
// gate cannot disagree with it), checks the call, and runs the routine on the
// fiber stack. i386 only.
#pragma once

#include <cstdint>
#include <cstring>
#include <tuple>
#include <type_traits>

#include "sim/image/image_runtime.h"

namespace sim {
namespace image {

// Windows returns a record of 4 or 8 bytes in EAX or EDX:EAX, where the
// i386 System V ABI returns it through a hidden pointer (POWER_STATE from
// PoSetPowerState): the gate hands it back as the integer Windows code expects.
template <class R, bool Record = std::is_class_v<R> || std::is_union_v<R>>
struct WireResult {
  using Type = R;
  template <class T>
  static T From(T r) { return r; }
};
template <class R>
struct WireResult<R, true> {
  static_assert(sizeof(R) == 4 || sizeof(R) == 8, "a record Windows returns in memory");
  using Type = std::conditional_t<sizeof(R) == 4, uint32_t, uint64_t>;
  static Type From(const R &r) {
    Type t;
    memcpy(&t, &r, sizeof t);
    return t;
  }
};

template <class F, class R, class... A>
typename WireResult<R>::Type PassThrough(F *routine, uintptr_t from, A... args) {
  struct Call {
    F *routine;
    uintptr_t from;
    uintptr_t sp;
    std::tuple<A...> args;
    std::conditional_t<std::is_void_v<R>, char, R> result;
    // The checks too run here: a fault report needs more room than the
    // driver's stack may have left.
    static void Run(void *p) {
      Call *c = static_cast<Call *>(p);
      GateEnter(c->from, reinterpret_cast<const void *>(c->routine), c->sp);
      if constexpr (std::is_void_v<R>)
        std::apply(c->routine, c->args);
      else
        c->result = std::apply(c->routine, c->args);
      GateLeave(c->from, reinterpret_cast<const void *>(c->routine));
    }
  };
  Call call{routine, from, reinterpret_cast<uintptr_t>(__builtin_frame_address(0)), std::tuple<A...>(args...), {}};
  RunOnFiberStack(&Call::Run, &call);
  if constexpr (!std::is_void_v<R>) return WireResult<R>::From(call.result);
}

template <class Signature>
struct Gate;

// The driver's stack is only 4-byte aligned, as Windows keeps it.
#define SIM_IMAGE_GATE(CONVENTION)                                                                 \
  template <class R, class... A>                                                                   \
  struct Gate<R CONVENTION(A...)> {                                                                \
    template <auto F>                                                                              \
    __attribute__((noinline, force_align_arg_pointer)) static typename WireResult<R>::Type CONVENTION \
    Entry(A... args) {                                                                             \
      return PassThrough<std::remove_pointer_t<decltype(F)>, R, A...>(                             \
          F, reinterpret_cast<uintptr_t>(__builtin_return_address(0)), args...);                   \
    }                                                                                              \
  };
SIM_IMAGE_GATE(__attribute__((stdcall)))
SIM_IMAGE_GATE(__attribute__((fastcall)))
SIM_IMAGE_GATE()
#undef SIM_IMAGE_GATE

}  // namespace image
}  // namespace sim
