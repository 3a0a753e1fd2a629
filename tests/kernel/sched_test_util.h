// Helpers for the scheduler side's tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "sim/kernel/sim.h"
#include "support/seeds.h"

namespace sched_test {

inline sim::KernelOptions Options(uint64_t seed = 1) {
  sim::KernelOptions o = sim::KernelOptions::FromEnvironment();  // keeps USBMODEM_TRACE
  o.seed = seed;
  return o;
}

// For a test that needs two threads at DISPATCH_LEVEL at once: on one
// processor the spinner would never let the other run, as on real hardware.
inline sim::KernelOptions MultiprocessorOptions(uint64_t seed = 1) {
  sim::KernelOptions o = Options(seed);
  if (o.cpus < 2) o.cpus = 2;
  return o;
}

// For a run that ends the process (death tests run in a child of their own):
// the child must not overwrite the trace the test program is writing.
inline sim::KernelOptions DyingOptions(uint64_t seed) {
  sim::KernelOptions o = Options(seed);
  o.traceFile.clear();
  return o;
}

inline LARGE_INTEGER RelativeMs(LONGLONG ms) {
  LARGE_INTEGER t;
  t.QuadPart = -ms * 10000;
  return t;
}

// The calling thread sleeps this long on the virtual clock.
inline void DelayMs(LONGLONG ms) {
  LARGE_INTEGER t = RelativeMs(ms);
  KeDelayExecutionThread(KernelMode, FALSE, &t);
}

inline int CountFaults(const sim::Kernel &k, sim::Fault f) {
  const auto &all = k.Faults();
  return static_cast<int>(std::count_if(all.begin(), all.end(), [f](const sim::FaultRecord &r) { return r.kind == f; }));
}

inline std::string DescribeFaults(const sim::Kernel &k) {
  std::string r;
  for (const auto &f : k.Faults()) r += std::string(sim::FaultName(f.kind)) + " in " + f.routine + ": " + f.detail + "\n";
  return r;
}

// Runs body in a fresh kernel with this seed, shuts it down and expects the
// verifier to have found nothing.
template <typename Body>
void RunExpectingNoFaults(Body body, uint64_t seed = 1) {
  sim::Kernel k(Options(seed));
  k.Run(body);
  k.Shutdown();
  EXPECT_TRUE(k.Faults().empty()) << DescribeFaults(k);
}

}  // namespace sched_test
