// The pool's bookkeeping, shared by the pool's files. Host only.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <unordered_map>
#include <vector>

#include <wdm.h>

namespace sim {
namespace io {

struct PoolBlock {
  SIZE_T size = 0;
  ULONG tag = 0;
  uint64_t sequence = 0;
  POOL_TYPE type = NonPagedPool;
  bool system = false;  // the I/O manager's own
};

struct PoolState {
  std::unordered_map<const void *, PoolBlock> live;
  // Addresses freed and not handed out again: a second free names the block.
  std::unordered_map<const void *, PoolBlock> freed;
  // Freed memory is held back (and poisoned for the address sanitizer) so
  // that its address stays unique for a while and use after free is caught.
  std::deque<std::pair<void *, SIZE_T>> quarantine;
  SIZE_T quarantineBytes = 0;
  // Freed while a timer or DPC was still queued in it: kept as it was.
  std::vector<void *> kept;
  uint64_t sequence = 0;
  // Knobs.
  uint64_t failCountdown = 0;  // 0: off
  bool failTagSet = false;
  ULONG failTag = 0;
  unsigned failPermille = 0;
  uint64_t rng = 0;
  uint64_t injected = 0;
  uint64_t driverRequests = 0;  // what FailNth counts
};

PoolState &Pool();
// Whether the knobs refuse this allocation (and count it).
bool InjectFailure(ULONG tag, bool system);
void ResetPoolKnobs();

}  // namespace io
}  // namespace sim
