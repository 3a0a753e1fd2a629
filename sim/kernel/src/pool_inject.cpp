// Pool fault injection: the knobs tests set to make allocations fail.
#include "io_private.h"
#include "pool_state.h"
#include "sim/kernel/pool.h"

namespace sim {
namespace io {

PoolState &Pool() {
  // Never destroyed: blocks stay reachable for the leak sanitizer at exit.
  static PoolState *state = new PoolState;
  return *state;
}

namespace {
uint64_t NextRandom(uint64_t &x) {
  uint64_t z = (x += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}
}  // namespace

bool InjectFailure(ULONG tag, bool system) {
  PoolState &s = Pool();
  bool fail = false;
  if (s.failTagSet && (tag & 0x7fffffffu) == (s.failTag & 0x7fffffffu)) fail = true;
  if (!system) {
    ++s.driverRequests;
    if (s.failCountdown && --s.failCountdown == 0) fail = true;
    if (s.failPermille && NextRandom(s.rng) % 1000 < s.failPermille) fail = true;
  }
  if (fail) ++s.injected;
  return fail;
}

void ResetPoolKnobs() {
  PoolState &s = Pool();
  s.failCountdown = 0;
  s.failTagSet = false;
  s.failTag = 0;
  s.failPermille = 0;
  s.injected = 0;
  s.driverRequests = 0;
}

}  // namespace io

namespace pool {

void FailNth(uint64_t n) { io::Pool().failCountdown = n; }

void FailTag(ULONG tag) {
  io::Pool().failTagSet = true;
  io::Pool().failTag = tag;
}

void FailChance(unsigned permille) {
  io::Pool().failPermille = permille > 1000 ? 1000 : permille;
  io::Pool().rng = CurrentKernel().Seed() * 0x2545F4914F6CDD1Dull + 0x706f6f6c;
}

void Clear() {
  uint64_t injected = io::Pool().injected;
  uint64_t requests = io::Pool().driverRequests;
  io::ResetPoolKnobs();
  io::Pool().injected = injected;
  io::Pool().driverRequests = requests;
}

uint64_t InjectedFailures() { return io::Pool().injected; }

uint64_t DriverAllocations() { return io::Pool().driverRequests; }

ULONG TagOf(const char (&s)[5]) { return io::MakeTag(s); }

}  // namespace pool
}  // namespace sim
