// Scheduler seeds for concurrency tests: USBMODEM_SEEDS=N runs seeds 1..N
// (default 20); USBMODEM_SEED=S runs S alone, to replay a failing run.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace testing_support {

inline std::vector<uint64_t> Seeds() {
  if (const char *one = std::getenv("USBMODEM_SEED")) return {std::strtoull(one, nullptr, 10)};
  uint64_t count = 20;
  if (const char *n = std::getenv("USBMODEM_SEEDS")) count = std::strtoull(n, nullptr, 10);
  std::vector<uint64_t> seeds;
  for (uint64_t s = 1; s <= count; ++s) seeds.push_back(s);
  return seeds;
}

}  // namespace testing_support
