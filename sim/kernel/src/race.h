// What the race detector must know of the kernel's synchronisation: a
// release in one context and an acquire of the same address in another
// order the driver's plain memory accesses between them. The simulated
// kernel itself is not instrumented; without the race detector these are
// nothing.
#pragma once

#if defined(USBMODEM_RACE_DETECTOR)
#include <sanitizer/tsan_interface.h>
#endif

namespace sim {

inline void RaceRelease(const volatile void *address) {
#if defined(USBMODEM_RACE_DETECTOR)
  __tsan_release(const_cast<void *>(address));
#else
  (void)address;
#endif
}

inline void RaceAcquire(const volatile void *address) {
#if defined(USBMODEM_RACE_DETECTOR)
  __tsan_acquire(const_cast<void *>(address));
#else
  (void)address;
#endif
}

// An interlocked operation is a full barrier on its target.
inline void RaceBarrier(const volatile void *address) {
  RaceAcquire(address);
  RaceRelease(address);
}

}  // namespace sim
